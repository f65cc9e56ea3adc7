#include "devicesim/devicesimulator.h"
#include "support/chromiumdriver.h"
#include "support/pageclient.h"
#include "support/programprocess.h"
#include "support/sqlfixture.h"
#include "support/tempdatabase.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Each device serves fixed readings of its own, so that a stored average tells which device it
// came from.
const QList<double> kReadings[] = {{1.5, 2.5, 3.5}, {11.5, 12.5, 13.5}, {21.5, 22.5, 23.5}};

} // namespace

// The page's setup part of the real executable, logged in: what it refuses, what a device's fetch
// shows, saves that collide with another writer or a lock, the document as download and upload,
// and a user in Chromium adding a device, naming its sensors and removing another device, with
// every sensor storing its own device's readings afterwards, without a restart.
class tst_Einrichtung : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void changesRefused_data();
    void changesRefused();
    void probe_data();
    void probe();
    void conflictAndLock();
    void downloadAndUpload();
    void formInBrowser();
    void offWithoutUsers();

private:
    PageAnswer request(const QByteArray &method, const QString &path, const QJsonObject &body = {},
                       QList<QPair<QByteArray, QByteArray>> headers = {}, bool login = true);
    // A change as the page sends it: the form's token, the page's origin.
    PageAnswer change(const QString &path, QJsonObject body);
    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    // Of the rows stored after rowid, the latest value of each sensor.
    QHash<int, double> storedAfter(qint64 rowid);

    QTemporaryDir m_dir;
    DeviceSimulator m_devices[3];
    TempDatabase m_database;
    QProcess m_program;
    quint16 m_port = 0;
    QNetworkAccessManager m_network;
    const QByteArray m_login = "Basic " + QByteArray("anna:geheim").toBase64();
};

void tst_Einrichtung::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (int i = 0; i < 3; ++i) {
        QVERIFY(m_devices[i].listen());
        m_devices[i].setSensorCount(3);
        m_devices[i].setFixedReadings(kReadings[i]);
    }
    QProcess hash;
    hash.start(pelvarodExecutable(), {QStringLiteral("--hash-password"), QStringLiteral("anna")});
    hash.write("geheim\n");
    hash.closeWriteChannel();
    QVERIFY(hash.waitForFinished());
    QFile users(m_dir.filePath(QStringLiteral("users")));
    QVERIFY(users.open(QIODevice::WriteOnly));
    users.write(hash.readAllStandardOutput());
    users.close();
    QFile::setPermissions(users.fileName(), QFile::ReadOwner | QFile::WriteOwner);
    m_database.exec(loggerSetup(2,
                                QStringLiteral("(1, '%1', 'Heizung'), (2, '%2', 'Keller')")
                                    .arg(m_devices[0].address(), m_devices[1].address()),
                                QStringLiteral("(11, 1, 1, 'Eins'), (12, 1, 2, 'Zwei'), "
                                               "(21, 2, 1, 'Luft'), (23, 2, 3, 'Boden')")));
    m_port = startWithPage(m_program, m_database.path(),
                           {QStringLiteral("--status-users"), users.fileName()});
    QVERIFY(m_port != 0);
}

void tst_Einrichtung::cleanupTestCase()
{
    QCOMPARE(stopPelvaro(m_program), 0);
}

PageAnswer tst_Einrichtung::request(const QByteArray &method, const QString &path,
                                    const QJsonObject &body,
                                    QList<QPair<QByteArray, QByteArray>> headers, bool login)
{
    if (login) {
        headers.append({"Authorization", m_login});
    }
    return pageRequest(m_network, m_port, method, path, body, headers);
}

PageAnswer tst_Einrichtung::change(const QString &path, QJsonObject body)
{
    const PageAnswer form = request("GET", QStringLiteral("/api/einrichtung"));
    body.insert(QStringLiteral("token"), form.json[QStringLiteral("token")]);
    if (!body.contains(QStringLiteral("stand"))) {
        body.insert(QStringLiteral("stand"), form.json[QStringLiteral("stand")]);
    }
    return request("POST", path, body,
                   {{"Origin", origin().toLatin1()}, {"Content-Type", "application/json"}});
}

QHash<int, double> tst_Einrichtung::storedAfter(qint64 rowid)
{
    QHash<int, double> latest;
    for (const QVariantList &row :
         m_database.rows(QStringLiteral("SELECT SensorNummer, MessWert FROM Werte WHERE rowid > "
                                        "%1 ORDER BY rowid")
                             .arg(rowid))) {
        latest.insert(row[0].toInt(), row[1].toDouble());
    }
    return latest;
}

void tst_Einrichtung::changesRefused_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("rightToken");
    QTest::addColumn<bool>("login");
    QTest::addColumn<int>("status");
    const QString save = QStringLiteral("/api/einrichtung");
    const QByteArray json = "application/json";
    QTest::newRow("no Origin") << QByteArray("POST") << save << QByteArray() << json << true << true
                               << 403;
    QTest::newRow("another site's Origin")
        << QByteArray("POST") << save << QByteArray("http://127.0.0.1:1") << json << true << true
        << 403;
    QTest::newRow("a token from elsewhere")
        << QByteArray("POST") << save << QByteArray("page") << json << false << true << 403;
    QTest::newRow("a plain form post")
        << QByteArray("POST") << save << QByteArray("page")
        << QByteArray("application/x-www-form-urlencoded") << true << true << 415;
    QTest::newRow("no login") << QByteArray("POST") << save << QByteArray("page") << json << true
                              << false << 401;
    QTest::newRow("a GET never changes")
        << QByteArray("GET") << QStringLiteral("/api/einrichtung/dokument") << QByteArray("page")
        << json << true << true << 405;
}

void tst_Einrichtung::changesRefused()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, contentType);
    QFETCH(bool, rightToken);
    QFETCH(bool, login);
    QFETCH(int, status);
    const PageAnswer form = request("GET", QStringLiteral("/api/einrichtung"));
    QCOMPARE(form.status, 200);
    QJsonObject dokument = form.json[QStringLiteral("dokument")].toObject();
    dokument.insert(QStringLiteral("Geraete"), QJsonArray());
    dokument.insert(QStringLiteral("Sensoren"), QJsonArray());
    QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", contentType}};
    if (!origin.isEmpty()) {
        headers.append({"Origin", origin == "page" ? this->origin().toLatin1() : origin});
    }
    const PageAnswer refused =
        request(method, path,
                {{QStringLiteral("token"), rightToken ? form.json[QStringLiteral("token")]
                                                      : QJsonValue(QStringLiteral("0123"))},
                 {QStringLiteral("stand"), form.json[QStringLiteral("stand")]},
                 {QStringLiteral("dokument"), dokument}},
                headers, login);
    QCOMPARE(refused.status, status);
    QCOMPARE(request("GET", QStringLiteral("/api/einrichtung")).json[QStringLiteral("stand")],
             form.json[QStringLiteral("stand")]);
}

void tst_Einrichtung::probe_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("grund");
    QTest::addColumn<QString>("elements");
    QTest::newRow("a device") << m_devices[2].address() << 200 << QString()
                              << QStringLiteral("t1=21.5 t2=22.5 t3=23.5");
    QTest::newRow("nothing listening")
        << QStringLiteral("127.0.0.1:1") << 200 << QStringLiteral("refused") << QString();
    QTest::newRow("a path") << m_devices[2].address() + QStringLiteral("/xml") << 422 << QString()
                            << QString();
}

void tst_Einrichtung::probe()
{
    QFETCH(QString, address);
    QFETCH(int, status);
    QFETCH(QString, grund);
    QFETCH(QString, elements);
    const PageAnswer probed =
        change(QStringLiteral("/api/einrichtung/pruefen"), {{QStringLiteral("adresse"), address}});
    QCOMPARE(probed.status, status);
    if (status != 200) {
        QCOMPARE(probed.json[QStringLiteral("fehler")][0][QStringLiteral("feld")].toString(),
                 QStringLiteral("adresse"));
        return;
    }
    QCOMPARE(probed.json[QStringLiteral("grund")].toString(), grund);
    QStringList found;
    for (const QJsonValue &element : probed.json[QStringLiteral("elemente")].toArray()) {
        found << QStringLiteral("t%1=%2")
                     .arg(element[QStringLiteral("anschluss")].toInt())
                     .arg(element[QStringLiteral("wert")].toDouble());
    }
    QCOMPARE(found.join(QLatin1Char(' ')), elements);
}

void tst_Einrichtung::conflictAndLock()
{
    const PageAnswer form = request("GET", QStringLiteral("/api/einrichtung"));
    QJsonObject formular = form.json[QStringLiteral("dokument")].toObject();
    QJsonArray geraete;
    for (const QJsonValue &device : formular[QStringLiteral("Geraete")].toArray()) {
        QJsonObject keyed = device.toObject();
        keyed.insert(QStringLiteral("schluessel"), QString::number(geraete.size() + 1));
        keyed.insert(QStringLiteral("Bezeichnung"), QStringLiteral("vom Formular"));
        geraete.append(keyed);
    }
    formular.insert(QStringLiteral("Geraete"), geraete);
    QJsonArray sensoren;
    for (const QJsonValue &sensor : formular[QStringLiteral("Sensoren")].toArray()) {
        QJsonObject keyed = sensor.toObject();
        keyed.insert(QStringLiteral("Geraet"),
                     QString::number(keyed[QStringLiteral("Geraet")].toInt()));
        sensoren.append(keyed);
    }
    formular.insert(QStringLiteral("Sensoren"), sensoren);
    const QString names = QStringLiteral("SELECT group_concat(Bezeichnung) FROM Geraete");

    // Another program holds the write lock past the save's wait: nothing is written.
    {
        const auto lock = m_database.hold({QStringLiteral("BEGIN IMMEDIATE")});
        const PageAnswer locked =
            change(QStringLiteral("/api/einrichtung"), {{QStringLiteral("formular"), formular}});
        QCOMPARE(locked.status, 503);
        QVERIFY2(!locked.json[QStringLiteral("meldung")].toString().isEmpty(),
                 locked.body.constData());
    }
    QCOMPARE(m_database.rows(names).value(0).value(0).toString(), QStringLiteral("Heizung,Keller"));

    // Someone changes the configuration by SQL after the form was loaded.
    m_database.exec(QStringLiteral("UPDATE Geraete SET Bezeichnung = 'per SQL' WHERE ID = 2"));
    const PageAnswer late = change(QStringLiteral("/api/einrichtung"),
                                   {{QStringLiteral("formular"), formular},
                                    {QStringLiteral("stand"), form.json[QStringLiteral("stand")]}});
    QCOMPARE(late.status, 409);
    QCOMPARE(m_database.rows(names).value(0).value(0).toString(),
             QStringLiteral("Heizung,per SQL"));
    m_database.exec(QStringLiteral("UPDATE Geraete SET Bezeichnung = 'Keller' WHERE ID = 2"));
}

void tst_Einrichtung::downloadAndUpload()
{
    const PageAnswer download = request("GET", QStringLiteral("/konfiguration.json"));
    QCOMPARE(download.status, 200);
    const QString exported = m_dir.filePath(QStringLiteral("export.json"));
    QCOMPARE(runPelvaro({QStringLiteral("--database"), m_database.path(),
                         QStringLiteral("--export-config"), exported},
                        false, pelvarodExecutable())
                 .exitCode,
             0);
    QCOMPARE(download.body, fileText(exported).toUtf8());

    // The same document back, one name changed: taken as it stands.
    QJsonObject dokument = download.json;
    QJsonArray geraete = dokument[QStringLiteral("Geraete")].toArray();
    QJsonObject first = geraete[0].toObject();
    first.insert(QStringLiteral("Bezeichnung"), QStringLiteral("Heizung & \"Warmwasser\""));
    geraete[0] = first;
    dokument.insert(QStringLiteral("Geraete"), geraete);
    const PageAnswer upload = change(QStringLiteral("/api/einrichtung/dokument"),
                                     {{QStringLiteral("dokument"), dokument}});
    QCOMPARE(upload.status, 200);
    QCOMPARE(request("GET", QStringLiteral("/konfiguration.json")).json, dokument);
}

void tst_Einrichtung::formInBrowser()
{
    ChromiumDriver browser;
    QVERIFY2(browser.start(m_login), qPrintable(browser.why()));
    QVERIFY2(browser.open(origin() + QStringLiteral("/einrichtung.html")),
             qPrintable(browser.why()));
    QVERIFY2(browser.waitFor(QStringLiteral("!document.getElementById('einrichtung').hidden")),
             qPrintable(browser.why()));
    const auto quoted = [](const QString &text) {
        return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact))
            .mid(1)
            .chopped(1);
    };
    const auto type = [&](const QString &selector, const QString &text) {
        return browser
            .evaluate(QStringLiteral("(() => { const e = document.querySelector(%1); e.value = %2; "
                                     "e.dispatchEvent(new Event('input')); return true; })()")
                          .arg(quoted(selector), quoted(text)))
            .toBool();
    };
    const auto click = [&](const QString &selector) {
        return browser
            .evaluate(QStringLiteral("(() => { document.querySelector(%1).click(); return true; "
                                     "})()")
                          .arg(quoted(selector)))
            .toBool();
    };

    // A device added by its address: its elements with their values, two kept and named.
    QVERIFY(type(QStringLiteral("#neu-adresse"), m_devices[2].address()));
    QVERIFY(click(QStringLiteral("#neu button[type=submit]")));
    QVERIFY2(browser.waitFor(QStringLiteral("document.querySelectorAll('[data-anschluss]').length "
                                            "=== 3")),
             qPrintable(browser.why()));
    QVERIFY(browser.evaluate(QStringLiteral("document.getElementById('neu-ergebnis').textContent"))
                .toString()
                .contains(QStringLiteral("22.5")));
    QVERIFY(click(QStringLiteral("[data-anschluss='1']")));
    QVERIFY(click(QStringLiteral("[data-anschluss='3']")));
    QVERIFY(type(QStringLiteral("[data-neu-name='1']"), QStringLiteral("Vorlauf")));
    QVERIFY(type(QStringLiteral("[data-neu-name='3']"), QStringLiteral("<b>x</b>")));
    QCOMPARE(
        browser.evaluate(QStringLiteral("document.querySelector('[data-neu-nummer=\"3\"]').value")),
        QJsonValue(QStringLiteral("25")));
    QVERIFY(click(QStringLiteral("#neu-uebernehmen")));
    QVERIFY(click(QStringLiteral("#speichern")));
    QVERIFY2(browser.waitFor(QStringLiteral("document.getElementById('meldung').textContent."
                                            "includes('übernommen')"),
                             30000),
             qPrintable(
                 browser.evaluate(QStringLiteral("document.getElementById('meldung').textContent"))
                     .toString()));
    const qint64 taken = m_database.rows(QStringLiteral("SELECT max(rowid) FROM Werte"))
                             .value(0)
                             .value(0)
                             .toLongLong();
    QTRY_VERIFY_WITH_TIMEOUT(storedAfter(taken).contains(24) && storedAfter(taken).contains(25),
                             20000);
    QCOMPARE(storedAfter(taken).value(24), 21.5);
    QCOMPARE(storedAfter(taken).value(25), 23.5);
    QCOMPARE(m_database.rows(QStringLiteral("SELECT Bezeichnung FROM Sensoren WHERE ID = 25"))
                 .value(0)
                 .value(0)
                 .toString(),
             QStringLiteral("<b>x</b>"));

    // On the status page the names are text, never markup.
    QVERIFY(browser.open(origin() + QStringLiteral("/")));
    QVERIFY2(browser.waitFor(QStringLiteral("document.querySelector('#sensoren').textContent."
                                            "includes('<b>x</b>')")),
             qPrintable(browser.why()));
    QCOMPARE(browser.evaluate(QStringLiteral("document.querySelectorAll('#sensoren b').length")),
             QJsonValue(0));

    // The first device goes; every sensor left stores its own device's readings.
    QVERIFY(browser.open(origin() + QStringLiteral("/einrichtung.html")));
    QVERIFY(browser.waitFor(
        QStringLiteral("document.querySelector('[data-geraet-entfernen]') !== null")));
    QVERIFY(click(QStringLiteral("[data-geraet-entfernen='0']")));
    QVERIFY(click(QStringLiteral("#speichern")));
    QVERIFY2(browser.waitFor(QStringLiteral("document.getElementById('meldung').textContent."
                                            "includes('übernommen')"),
                             30000),
             qPrintable(browser.why()));
    const qint64 removed = m_database.rows(QStringLiteral("SELECT max(rowid) FROM Werte"))
                               .value(0)
                               .value(0)
                               .toLongLong();
    QTRY_COMPARE_WITH_TIMEOUT(storedAfter(removed).size(), 4, 20000);
    const QHash<int, double> expected{{21, 11.5}, {23, 13.5}, {24, 21.5}, {25, 23.5}};
    QCOMPARE(storedAfter(removed), expected);
}

void tst_Einrichtung::offWithoutUsers()
{
    QProcess plain;
    const quint16 port = m_port;
    m_port = startWithPage(plain, m_database.path(), {});
    QVERIFY(m_port != 0);
    const PageAnswer off = request("GET", QStringLiteral("/api/einrichtung"), {}, {}, false);
    m_port = port;
    QCOMPARE(stopPelvaro(plain), 0);
    QCOMPARE(off.status, 403);
    QCOMPARE(off.json[QStringLiteral("aus")], QJsonValue(true));
    QVERIFY(
        off.json[QStringLiteral("meldung")].toString().contains(QStringLiteral("--status-users")));
}

QTEST_MAIN(tst_Einrichtung)
#include "tst_einrichtung.moc"
