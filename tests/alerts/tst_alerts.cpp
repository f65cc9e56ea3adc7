#include "alerts/alerts.h"
#include "devicesim/devicesimulator.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/mittelwerte.h"
#include "storage/registry.h"
#include "storage/storestate.h"
#include "support/programprocess.h"
#include "support/recordingview.h"
#include "support/smtpsink.h"
#include "support/sqlfixture.h"
#include "support/tempdatabase.h"
#include "support/webhookreceiver.h"
#include "web/curldriver.h"
#include "web/pollingstate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTest>

#include <cmath>
#include <limits>

// Alerts against a real SMTP server and webhook receiver on loopback: passes fed into a real
// PollingState over a real database file, and the real executable polling simulated devices.
class tst_Alerts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The test's own ways out are on loopback; a proxy of the environment must not stand between.
    void initTestCase() { qputenv("no_proxy", "*"); }
    void conditions_data();
    void conditions();
    void program_data();
    void program();
};

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// Header names of a mail, its subject decoded, and its body decoded.
struct ReadMail
{
    QStringList headers;
    QString subject;
    QString body;
};

ReadMail read(const QByteArray &data)
{
    ReadMail mail;
    const qsizetype split = data.indexOf("\r\n\r\n");
    static const QRegularExpression word(QStringLiteral("=\\?UTF-8\\?B\\?([^?]*)\\?="));
    for (const QByteArray &line : data.left(split).split('\n')) {
        if (!line.startsWith(' ')) {
            mail.headers << QString::fromLatin1(line.left(line.indexOf(':')));
        }
        if (mail.headers.constLast() == QLatin1String("Subject")) {
            for (const QRegularExpressionMatch &m : word.globalMatch(QString::fromLatin1(line))) {
                mail.subject += QString::fromUtf8(QByteArray::fromBase64(m.captured(1).toLatin1()));
            }
        }
    }
    mail.body = QString::fromUtf8(QByteArray::fromBase64(data.mid(split + 4)));
    return mail;
}

// The settings that send alerts to sink and receiver.
QString alarmRows(const SmtpSink &sink, const WebhookReceiver &receiver, int failuresInRow)
{
    return QStringLiteral("INSERT INTO Einstellungen VALUES ('AlarmNachFehlern', %1), "
                          "('AlarmMailServer', '%2'), ('AlarmMailVon', 'logger@example.org'), "
                          "('AlarmMailAn', 'technik@example.org, nacht@example.org'), "
                          "('AlarmWebhook', '%3');")
        .arg(QString::number(failuresInRow), sink.url(), receiver.url());
}

} // namespace

// Three devices, a sensor with a Maximum of 30, n = 3 and m = 10; each row a run of passes two
// seconds apart: which device answered (o) or failed (x), the average stored after the pass
// (NaN: no store), the minutes storing had failed by then (-1: it works). Lines are numbered by
// their pass; each pass with lines must give one mail and one webhook call holding just those.
void tst_Alerts::conditions_data()
{
    QTest::addColumn<QStringList>("answered");
    QTest::addColumn<QList<double>>("averages");
    QTest::addColumn<QList<int>>("storeMinutes");
    // "up"; "down" until after the passes; "mail unconfirmed" (the message taken, never
    // confirmed); "webhook refuses" (HTTP 400). The last two are not tried again.
    QTest::addColumn<QString>("ways");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("subjects");
    const QString heizung = QStringLiteral("Gerät 'Heizung' (Nr. 10, 127.0.0.1:1)");
    const QString down = heizung
                         + QStringLiteral(" antwortet nicht: 3 Abfragen in Folge "
                                          "erfolglos seit 08:00:00 07.12.2026.");
    const QString back =
        heizung + QStringLiteral(" antwortet wieder (erfolglos seit 08:00:00 07.12.2026).");
    const QStringList silentAndBack{"xoo", "xoo", "xoo", "ooo"};
    const QStringList silentLines{"3 Alarm: " + down, "4 Entwarnung: " + back};
    const QStringList silentSubjects{"Alarm für Heizung", "Entwarnung für Heizung"};
    QTest::newRow("device silent for n passes, then back")
        << silentAndBack << QList<double>() << QList<int>() << "up" << silentLines
        << silentSubjects;
    QTest::newRow("fewer than n failures in a row")
        << QStringList{"xoo", "xoo", "ooo", "xoo", "xoo"} << QList<double>() << QList<int>() << "up"
        << QStringList() << QStringList();
    const QString dach =
        QStringLiteral("Gerät 'Dach  Bcc: boese@example.org' (Nr. 30, 127.0.0.1:3)");
    const QString keller = QStringLiteral("Gerät 'Keller' (Nr. 20, 127.0.0.1:2)");
    const QString downSuffix = QStringLiteral(" antwortet nicht: 3 Abfragen in Folge erfolglos "
                                              "seit 08:00:00 07.12.2026.");
    const QString backSuffix =
        QStringLiteral(" antwortet wieder (erfolglos seit 08:00:00 07.12.2026).");
    QTest::newRow("three devices at once, a name with a line break")
        << QStringList{"xxx", "xxx", "xxx", "ooo"} << QList<double>() << QList<int>() << "up"
        << QStringList{"3 Alarm: " + down,
                       "3 Alarm: " + keller + downSuffix,
                       "3 Alarm: " + dach + downSuffix,
                       "4 Entwarnung: " + back,
                       "4 Entwarnung: " + keller + backSuffix,
                       "4 Entwarnung: " + dach + backSuffix}
        << QStringList{"Alarm für Heizung, Keller, Dach  Bcc: boese@example.org",
                       "Entwarnung für Heizung, Keller, Dach  Bcc: boese@example.org"};
    // The hysteresis is 0.3 here: 29.8 is not yet back.
    QTest::newRow("average above Maximum, back past the hysteresis")
        << QStringList(5, "ooo") << QList<double>{29, 31, 30.5, 29.8, 29.6} << QList<int>() << "up"
        << QStringList{"2 Alarm: Sensor 'Vorlauf' (Nr. 7): Mittelwert 31 über dem Maximum 30.",
                       "5 Entwarnung: Sensor 'Vorlauf' (Nr. 7): Mittelwert 29.6 wieder unter dem "
                       "Maximum 30."}
        << QStringList{"Alarm für Vorlauf", "Entwarnung für Vorlauf"};
    QTest::newRow("store failing for m minutes, until the rows are written")
        << QStringList(5, "ooo") << QList<double>() << QList<int>{3, 9, 10, 25, -1} << "up"
        << QStringList{"3 Alarm: Speichern in die Datenbank schlägt seit 07:50:05 07.12.2026 "
                       "fehl: database is locked. 4 Messwerte warten.",
                       "5 Entwarnung: Speichern in die Datenbank geht wieder: die wartenden "
                       "Messwerte sind gespeichert."}
        << QStringList{"Alarm für Speichern", "Entwarnung für Speichern"};
    QTest::newRow("ways out down during the passes: each message once when back")
        << silentAndBack << QList<double>() << QList<int>() << "down" << silentLines
        << silentSubjects;
    QTest::newRow("mail server that takes but never confirms: cut off, not sent twice")
        << silentAndBack << QList<double>() << QList<int>() << "mail unconfirmed" << silentLines
        << silentSubjects;
    QTest::newRow("webhook refuses: given up, mail delivered")
        << silentAndBack.mid(0, 3) << QList<double>() << QList<int>() << "webhook refuses"
        << silentLines.mid(0, 1) << silentSubjects.mid(0, 1);
}

void tst_Alerts::conditions()
{
    QFETCH(QStringList, answered);
    QFETCH(QList<double>, averages);
    QFETCH(QList<int>, storeMinutes);
    QFETCH(QString, ways);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, subjects);
    SmtpSink sink;
    WebhookReceiver receiver;
    QVERIFY(sink.listen() && receiver.listen());
    TempDatabase database;
    database.exec(alarmRows(sink, receiver, 3)
                  + QStringLiteral("INSERT INTO Geraete VALUES (10, '127.0.0.1:1', 'Heizung'), "
                                   "(20, '127.0.0.1:2', 'Keller'), (30, '127.0.0.1:3', 'Dach' || "
                                   "char(13, 10) || 'Bcc: boese@example.org');"
                                   "INSERT INTO Sensoren VALUES (7, 1, 1, 'Vorlauf');"
                                   "INSERT INTO Grenzwerte VALUES (7, NULL, 30)"));
    Registry registry;
    RecordingView view;
    DatenbankOeffnen(registry, view, database.path());
    GeraeteLesen(registry, view);
    SensorenLesen(registry, view);
    EinstellungenLesen(registry, view);
    CurlDriver driver;
    const std::unique_ptr<Alerts> alerts =
        Alerts::create(registry, driver, AlertTiming{20, 100, 60000, 5000, 2000, 100});
    QVERIFY(alerts);
    const bool down = ways == QLatin1String("down");
    const bool unconfirmed = ways == QLatin1String("mail unconfirmed");
    const bool refused = ways == QLatin1String("webhook refuses");
    sink.setMode(down          ? SmtpSink::Mode::Down
                 : unconfirmed ? SmtpSink::Mode::Silent
                               : SmtpSink::Mode::Answering);
    receiver.setStatus(down ? 503 : refused ? 400 : 200);

    PollingState polling;
    QStringList logged;
    const QDateTime start(QDate(2026, 12, 7), QTime(8, 0));
    for (int i = 0; i < answered.size(); ++i) {
        PassOutcome pass{start.addSecs(2 * i), start.addSecs(2 * i + 1), {false}, {kNone, kNone}};
        for (QChar c : answered.at(i)) {
            pass.answered.push_back(c == QLatin1Char('o'));
        }
        polling.record(pass);
        QList<Mittelwert> formed;
        if (i < averages.size() && !std::isnan(averages.at(i))) {
            formed << Mittelwert{1, 7, averages.at(i), pass.ended};
        }
        StoreState store;
        if (i < storeMinutes.size() && storeMinutes.at(i) >= 0) {
            store.failure = QStringLiteral("database is locked");
            store.failingSince = pass.ended.addSecs(-60 * storeMinutes.at(i));
            store.waiting = 4;
        }
        for (const QString &line :
             alerts->afterPass(registry, polling, formed, store, pass.ended)) {
            logged << QString::number(i + 1) + QLatin1Char(' ') + line;
        }
    }
    QCOMPARE(logged, lines);
    if (down) {
        // Tried and failed more than once before the ways out come back.
        QTRY_VERIFY(sink.connectionCount() > 1 && receiver.requestCount() > 1);
        sink.setMode(SmtpSink::Mode::Answering);
        receiver.setStatus(200);
    }
    QTRY_COMPARE(alerts->waiting(), 0);

    // One message per pass with lines, in order, each holding exactly the lines of its pass.
    QList<QStringList> passes;
    QString pass;
    for (const QString &line : lines) {
        if (line.section(QLatin1Char(' '), 0, 0) != pass) {
            pass = line.section(QLatin1Char(' '), 0, 0);
            passes << QStringList();
        }
        passes.last() << line.section(QLatin1Char(' '), 1);
    }
    const QString prefix = QStringLiteral("Pelvaro auf %1: ").arg(QSysInfo::machineHostName());
    QCOMPARE(alerts->undelivered(), refused || unconfirmed ? subjects.size() : 0);
    QCOMPARE(sink.mails().size(), unconfirmed ? 0 : subjects.size());
    QCOMPARE(receiver.bodies().size(), refused ? 0 : subjects.size());
    if (unconfirmed) {
        QCOMPARE(sink.connectionCount(), subjects.size());
    }
    for (int k = 0; k < sink.mails().size(); ++k) {
        const SmtpSink::Mail sent = sink.mails().at(k);
        QCOMPARE(sent.from, "logger@example.org");
        QCOMPARE(sent.to, (QList<QByteArray>{"technik@example.org", "nacht@example.org"}));
        const ReadMail mail = read(sent.data);
        QCOMPARE(mail.headers,
                 QStringList({"Date", "From", "To", "Subject", "Message-ID", "Auto-Submitted",
                              "MIME-Version", "Content-Type", "Content-Transfer-Encoding"}));
        QCOMPARE(mail.subject, prefix + subjects.at(k));
        // "HH:mm:ss dd.MM.yyyy  " before each line, then a blank line and the closing words.
        QStringList bodyLines = mail.body.section(QStringLiteral("\r\n\r\n"), 0, 0).split("\r\n");
        for (QString &line : bodyLines) {
            line.remove(0, 21);
        }
        QCOMPARE(bodyLines, passes.at(k));
    }
    for (int k = 0; k < receiver.bodies().size(); ++k) {
        const QJsonObject hook = QJsonDocument::fromJson(receiver.bodies().at(k)).object();
        QCOMPARE(hook.value("title").toString(), prefix + subjects.at(k));
        QCOMPARE(hook.value("text").toString(),
                 prefix + subjects.at(k) + '\n' + passes.at(k).join('\n'));
        QCOMPARE(hook.value("alerts").toArray().size(), passes.at(k).size());
    }
    // Only the refusing row ends with its device still silent.
    QCOMPARE(alerts->conditions().size(), refused ? 1 : 0);
}

// The real executable with one device that answers (Vorlauf 21.5 against a Maximum of 20) and
// one that refuses connections; alerts after n = 2 failures.
void tst_Alerts::program_data()
{
    QTest::addColumn<bool>("alarm");
    QTest::addColumn<int>("webhookStatus");
    QTest::addColumn<QString>("err");
    QTest::newRow("alerts on: a silent device, a value above its Maximum")
        << true << 200
        << "pelvaro-access: Alarm: Sensor 'Vorlauf' (Nr. 7): Mittelwert 21.5 über dem Maximum 20.";
    QTest::newRow("no Alarm row: nothing sent, the pass log as before") << false << 200 << "";
    QTest::newRow("a webhook that never answers: the end does not wait")
        << true << 0 << "wegen des Programmendes nicht zugestellt.";
}

void tst_Alerts::program()
{
    QFETCH(bool, alarm);
    QFETCH(int, webhookStatus);
    QFETCH(QString, err);
    SmtpSink sink;
    WebhookReceiver receiver;
    DeviceSimulator heizung;
    DeviceSimulator aus;
    QVERIFY(sink.listen() && receiver.listen() && heizung.listen() && aus.listen());
    heizung.setFixedReadings({21.5});
    aus.setBehaviour(DeviceSimulator::Behaviour::Refused);
    receiver.setStatus(webhookStatus);
    TempDatabase database;
    database.exec(loggerSetup(1,
                              QStringLiteral("(10, '%1', 'Heizung'), (20, '%2', 'Aus')")
                                  .arg(heizung.address(), aus.address()),
                              QStringLiteral("(7, 1, 1, 'Vorlauf')"))
                  + QStringLiteral("; INSERT INTO Grenzwerte VALUES (7, NULL, 20);")
                  + (alarm ? alarmRows(sink, receiver, 2) : QString()));
    QProcess process;
    QVERIFY(startPelvaro(process, database.path()));
    QString out;
    const auto passesLogged = [&] {
        out += QString::fromUtf8(process.readAllStandardOutput());
        return out.count(QStringLiteral("Datenholung von Aus war erfolglos."));
    };
    const QString limit =
        QStringLiteral("Alarm: Sensor 'Vorlauf' (Nr. 7): Mittelwert 21.5 über dem Maximum 20.");
    const QString silent = QStringLiteral("Alarm: Gerät 'Aus' (Nr. 20, %1) antwortet nicht: 2 "
                                          "Abfragen in Folge erfolglos seit ")
                               .arg(aus.address());
    const auto mailed = [&](const QString &text) {
        for (const SmtpSink::Mail &mail : sink.mails()) {
            if (read(mail.data).body.contains(text)) {
                return true;
            }
        }
        return false;
    };
    const auto posted = [&](const QString &text) {
        for (const QByteArray &body : receiver.bodies()) {
            if (QString::fromUtf8(body).contains(text)) {
                return true;
            }
        }
        return false;
    };
    if (!alarm) {
        QTRY_VERIFY_WITH_TIMEOUT(passesLogged() >= 6, 20000);
    } else if (webhookStatus == 0) {
        QTRY_VERIFY_WITH_TIMEOUT(receiver.requestCount() > 0, 20000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(passesLogged() >= 3 && mailed(limit) && mailed(silent)
                                     && posted(limit) && posted(silent),
                                 20000);
        QVERIFY2(out.contains(limit) && out.contains(silent), qPrintable(out));
    }
    QCOMPARE(stopPelvaro(process), 0);
    passesLogged();
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    if (!alarm) {
        static const QRegularExpression plainLogs(QStringLiteral(
            "^(Vorlauf:  21\\.5\nDatenholung von Aus war erfolglos\\.\n\n\\d\\d:\\d\\d:\\d\\d "
            "\\d\\d\\.\\d\\d\\.\\d{4}\n\n)+$"));
        QVERIFY2(plainLogs.match(out).hasMatch(), qPrintable(out));
        QCOMPARE(errors, QString());
        QCOMPARE(sink.connectionCount() + receiver.requestCount(), 0);
    } else {
        QVERIFY2(errors.contains(err), qPrintable(errors));
    }
}

QTEST_GUILESS_MAIN(tst_Alerts)
#include "tst_alerts.moc"
