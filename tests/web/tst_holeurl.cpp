#include "devicesim/devicesimulator.h"
#include "support/recordingview.h"
#include "web/curldriver.h"
#include "web/holeurl.h"
#include "web/interschneck.h"

#include <QTest>

using Behaviour = DeviceSimulator::Behaviour;

class tst_HoleURL : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fetches_data();
    void fetches();

private:
    RecordingView m_view;
    CurlDriver m_curl;
    Interschneck m_transfer{m_curl};
};

void tst_HoleURL::fetches_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("timeout");
    // For a silent device, all 1 + 50 per second of the time-out; otherwise 0: fewer.
    QTest::addColumn<int>("passes");
    const QByteArray page = "<s><ntpsync>1</ntpsync><t1>21.5</t1></s>";
    const auto row = [](const char *name, Behaviour behaviour, const QByteArray &body,
                        const QString &expected, int timeout = 15, int passes = 0) {
        QTest::newRow(name) << behaviour << body << expected << timeout << passes;
    };
    row("complete page", Behaviour::Normal, page, QString::fromLatin1(page));
    row("bytes over 127 one character each", Behaviour::Normal, "<a>\xe4\xb5</a>",
        "<a>\u00e4\u00b5</a>");
    row("broken off", Behaviour::Reset, QByteArray(3000, 'x'), "");
    row("refused", Behaviour::Refused, {}, "");
    row("silent, 0 s", Behaviour::Silent, {}, "", 0, 1);
    row("silent, 1 s", Behaviour::Silent, {}, "", 1, 51);
}

void tst_HoleURL::fetches()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    QFETCH(int, timeout);
    QFETCH(int, passes);
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setBehaviour(behaviour);
    device.setBody(body);
    // A reset may reach the client before or after the half page; repeated, a half page that
    // slips through is caught.
    const int attempts = behaviour == Behaviour::Reset ? 8 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const FetchResult result =
            fetchUrl(m_view, m_transfer, "http://" + device.address() + "/xml", timeout);
        QCOMPARE(result.text, expected);
        QCOMPARE(result.timedOut, passes > 0);
        // Even a refused connection is over long before the 751 passes of 15 s.
        QVERIFY2(passes > 0 ? result.passes == passes : result.passes >= 1 && result.passes < 751,
                 qPrintable(QString::number(result.passes)));
    }
    // Cancelled: the connection goes away instead of lingering until the device gives up.
    QTRY_COMPARE(device.openConnectionCount(), 0);
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

QTEST_GUILESS_MAIN(tst_HoleURL)
#include "tst_holeurl.moc"
