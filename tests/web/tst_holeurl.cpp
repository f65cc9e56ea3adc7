#include "devicesim/devicesimulator.h"
#include "support/recordingview.h"
#include "web/holeurl.h"
#include "web/interschneck.h"

#include <QTest>

using Behaviour = DeviceSimulator::Behaviour;

class tst_HoleURL : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data();
    void answers();
    void silentDeviceTimesOutAfterTheBound_data();
    void silentDeviceTimesOutAfterTheBound();
    void nextFetchCancelsTheLeftover();

private:
    FetchResult fetch(DeviceSimulator &device, qint32 timeout = 15);
    RecordingView m_view;
    Interschneck m_transfer;
};

FetchResult tst_HoleURL::fetch(DeviceSimulator &device, qint32 timeout)
{
    return fetchUrl(m_view, m_transfer,
                    QStringLiteral("http://") + device.address() + QStringLiteral("/xml"), timeout);
}

void tst_HoleURL::answers_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("status");
    const QByteArray page = "<s><ntpsync>1</ntpsync><t1>21.5</t1></s>";
    QTest::newRow("complete page") << Behaviour::Normal << page << QString::fromLatin1(page) << 200;
    QTest::newRow("empty body") << Behaviour::Normal << QByteArray("") << "" << 200;
    QTest::newRow("error page kept")
        << Behaviour::Normal << QByteArray("<h1>Fehler 500</h1>") << "<h1>Fehler 500</h1>" << 500;
    QTest::newRow("bytes over 127 one character each")
        << Behaviour::Normal << QByteArray("<a>\xe4\xb5</a>")
        << QStringLiteral("<a>\u00e4\u00b5</a>") << 200;
    QTest::newRow("trickled in") << Behaviour::Trickle << page << QString::fromLatin1(page) << 200;
    QTest::newRow("broken off") << Behaviour::Reset << QByteArray(3000, 'x') << "" << 200;
    QTest::newRow("refused") << Behaviour::Refused << QByteArray() << "" << 200;
}

void tst_HoleURL::answers()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    QFETCH(int, status);
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setBehaviour(behaviour);
    device.setTrickleInterval(1);
    device.setStatusCode(status);
    if (behaviour != Behaviour::Refused) {
        device.setBody(body);
    }
    // A reset may reach the client before or after the half page; repeated, a half page that
    // slips through is caught.
    const int attempts = behaviour == Behaviour::Reset ? 8 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const FetchResult result = fetch(device);
        QCOMPARE(result.text, expected);
        QVERIFY(!result.timedOut);
        // Even a refused connection is over long before the 751 passes of the time-out.
        QVERIFY2(result.passes >= 1 && result.passes < 751,
                 qPrintable(QString::number(result.passes)));
    }
    if (behaviour != Behaviour::Refused) {
        // One request per fetch: nothing is sent again on a connection that broke off.
        QCOMPARE(device.requestCount(), attempts);
        const QByteArray head = device.lastRequestHead();
        QVERIFY2(head.startsWith("GET /xml HTTP/1.1\r\n") && head.contains("\r\nConnection: close")
                     && head.contains("\r\nUser-Agent: Pelvaro/1.00")
                     && head.contains("\r\nAccept-Encoding: identity"),
                 head.constData());
    }
}

void tst_HoleURL::silentDeviceTimesOutAfterTheBound_data()
{
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("passes");
    QTest::newRow("0 s: one pass") << 0 << 1;
    QTest::newRow("1 s: 51 passes") << 1 << 51;
}

void tst_HoleURL::silentDeviceTimesOutAfterTheBound()
{
    QFETCH(int, timeout);
    QFETCH(int, passes);
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setBehaviour(Behaviour::Silent);
    const FetchResult result = fetch(device, timeout);
    QVERIFY(result.timedOut);
    QCOMPARE(result.passes, passes);
    QCOMPARE(result.text, QString());
    // Cancelled: the connection goes away instead of lingering until the device gives up.
    QTRY_COMPARE(device.openConnectionCount(), 0);
}

void tst_HoleURL::nextFetchCancelsTheLeftover()
{
    DeviceSimulator silent;
    DeviceSimulator oversized;
    QVERIFY(silent.listen());
    QVERIFY(oversized.listen());
    silent.setBehaviour(Behaviour::Silent);
    QByteArray big;
    for (int i = 0; big.size() < 10000; ++i) {
        big += QByteArray::number(i) + ' ';
    }
    oversized.setBody(big);
    m_transfer.Execute(QStringLiteral("http://") + silent.address() + QStringLiteral("/xml"));
    QTRY_COMPARE(silent.openConnectionCount(), 1);
    const FetchResult result = fetch(oversized);
    QTRY_COMPARE(silent.openConnectionCount(), 0);
    QCOMPARE(result.text.size(), 4096);
    QCOMPARE(result.text.toLatin1(), big.left(4096));
}

QTEST_GUILESS_MAIN(tst_HoleURL)
#include "tst_holeurl.moc"
