#include "alerts/alerts.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/mittelwerte.h"
#include "storage/registry.h"
#include "storage/storestate.h"
#include "support/recordingview.h"
#include "support/smtpsink.h"
#include "support/tempdatabase.h"
#include "support/webhookreceiver.h"
#include "web/curldriver.h"
#include "web/pollingstate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTest>

// Alerts against a real SMTP server and webhook receiver on loopback: passes fed into a real
// PollingState over a real database file. The real program's alerts are in tst_endtoend.
class tst_Alerts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The test's own ways out are on loopback; a proxy of the environment must not stand between.
    void initTestCase() { qputenv("no_proxy", "*"); }
    void conditions_data();
    void conditions();
};

// Three devices, a sensor with a Maximum of 30, n = 3 and m = 10. Each row is a run of passes two
// seconds apart, each pass given as which device answered (o) or was refused (x), then the average
// stored after it or "S" and the minutes storing had failed by then. Lines are numbered by their
// pass; each pass with lines must give one mail and one webhook call holding just those, a device
// that begins to fail with the reason.
void tst_Alerts::conditions_data()
{
    QTest::addColumn<QStringList>("passes");
    // The ways out during the passes: Down until after them; Silent takes a message and never
    // confirms it, a webhook answering 400 refuses it: neither is tried again.
    QTest::addColumn<SmtpSink::Mode>("mail");
    QTest::addColumn<int>("webhook");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("subjects");
    const auto device = [](int pass, const QString &name, int port, bool begins) {
        return QStringLiteral("%1 %2: Gerät '%3' (Nr. %4, 127.0.0.1:%5) antwortet %6")
            .arg(pass)
            .arg(begins ? QStringLiteral("Alarm") : QStringLiteral("Entwarnung"), name)
            .arg(port * 10)
            .arg(port)
            .arg(begins ? QStringLiteral("nicht: 3 Abfragen in Folge erfolglos seit 08:00:00 "
                                         "07.12.2026 (Verbindung abgelehnt oder Gerät nicht "
                                         "erreichbar).")
                        : QStringLiteral("wieder (erfolglos seit 08:00:00 07.12.2026)."));
    };
    const auto row = [](const char *name, const QStringList &passes, const QStringList &lines,
                        const QStringList &subjects,
                        SmtpSink::Mode mail = SmtpSink::Mode::Answering, int webhook = 200) {
        QTest::newRow(name) << passes << mail << webhook << lines << subjects;
    };
    const QStringList silent{"xoo", "xoo", "xoo", "ooo"};
    const QStringList lines{device(3, "Heizung", 1, true), device(4, "Heizung", 1, false)};
    const QStringList subjects{"Alarm für Heizung", "Entwarnung für Heizung"};
    row("device silent for n passes, then back", silent, lines, subjects);
    row("fewer than n failures in a row", {"xoo", "xoo", "ooo", "xoo", "xoo"}, {}, {});
    const QString dach = QStringLiteral("Dach  Bcc: boese@example.org");
    row("three devices at once, a name with a line break", {"xxx", "xxx", "xxx", "ooo"},
        {device(3, "Heizung", 1, true), device(3, "Keller", 2, true), device(3, dach, 3, true),
         device(4, "Heizung", 1, false), device(4, "Keller", 2, false), device(4, dach, 3, false)},
        {"Alarm für Heizung, Keller, " + dach, "Entwarnung für Heizung, Keller, " + dach});
    // The hysteresis is 0.3 here: 29.8 is not yet back.
    row("average above Maximum, back past the hysteresis",
        {"ooo 29", "ooo 31", "ooo 30.5", "ooo 29.8", "ooo 29.6"},
        {"2 Alarm: Sensor 'Vorlauf' (Nr. 7): Mittelwert 31 über dem Maximum 30.",
         "5 Entwarnung: Sensor 'Vorlauf' (Nr. 7): Mittelwert 29.6 wieder unter dem Maximum 30."},
        {"Alarm für Vorlauf", "Entwarnung für Vorlauf"});
    row("store failing for m minutes, until the rows are written",
        {"ooo S3", "ooo S9", "ooo S10", "ooo S25", "ooo"},
        {"3 Alarm: Speichern in die Datenbank schlägt seit 07:50:05 07.12.2026 fehl: database is "
         "locked. 4 Messwerte warten.",
         "5 Entwarnung: Speichern in die Datenbank geht wieder: die wartenden Messwerte sind "
         "gespeichert."},
        {"Alarm für Speichern", "Entwarnung für Speichern"});
    row("ways out down during the passes: each message once when back", silent, lines, subjects,
        SmtpSink::Mode::Down, 503);
    row("mail server that takes but never confirms: cut off, not sent twice", silent, lines,
        subjects, SmtpSink::Mode::Silent);
    row("webhook refuses: given up, mail delivered", silent.mid(0, 3), lines.mid(0, 1),
        subjects.mid(0, 1), SmtpSink::Mode::Answering, 400);
}

void tst_Alerts::conditions()
{
    QFETCH(QStringList, passes);
    QFETCH(SmtpSink::Mode, mail);
    QFETCH(int, webhook);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, subjects);
    SmtpSink sink;
    WebhookReceiver receiver;
    QVERIFY(sink.listen() && receiver.listen());
    TempDatabase database;
    database.exec(
        QStringLiteral("INSERT INTO Einstellungen VALUES ('AlarmNachFehlern', 3), "
                       "('AlarmMailServer', '%1'), ('AlarmMailVon', 'logger@example.org'), "
                       "('AlarmMailAn', 'technik@example.org, nacht@example.org'), "
                       "('AlarmWebhook', '%2');")
            .arg(sink.url(), receiver.url())
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
    const AlertSettings settings = AlertSettings::fromSettings(
        EinstellungenLesen(registry, view, AlertSettings::settingNames()));
    CurlDriver driver;
    const std::unique_ptr<Alerts> alerts =
        Alerts::create(registry, settings, driver, AlertTiming{20, 100, 60000, 5000, 2000, 100});
    QVERIFY(alerts);
    sink.setMode(mail);
    receiver.setStatus(webhook);
    const bool down = mail == SmtpSink::Mode::Down;
    const bool unconfirmed = mail == SmtpSink::Mode::Silent;
    const bool refused = webhook == 400;

    PollingState polling;
    QStringList logged;
    QList<QStringList> ofPass;
    const QDateTime start(QDate(2026, 12, 7), QTime(8, 0));
    for (int i = 0; i < passes.size(); ++i) {
        const QStringList given = passes.at(i).split(QLatin1Char(' '));
        PassOutcome pass{start.addSecs(2 * i), start.addSecs(2 * i + 1), {FetchFailure()}, {}};
        for (QChar c : given.at(0)) {
            pass.failures.push_back(c == QLatin1Char('o')
                                        ? FetchFailure()
                                        : FetchFailure{FetchFailure::Reason::Refused, 0, 0});
        }
        polling.record(pass);
        QList<Mittelwert> formed;
        StoreState store;
        if (given.size() > 1 && given.at(1).startsWith(QLatin1Char('S'))) {
            store.failure = QStringLiteral("database is locked");
            store.failingSince = pass.ended.addSecs(-60 * given.at(1).mid(1).toInt());
            store.waiting = 4;
        } else if (given.size() > 1) {
            formed << Mittelwert{1, 7, given.at(1).toDouble(), pass.ended};
        }
        ofPass << alerts->afterPass(registry, polling, formed, store, pass.ended);
        for (const QString &line : ofPass.last()) {
            logged << QString::number(i + 1) + QLatin1Char(' ') + line;
        }
    }
    ofPass.removeAll(QStringList());
    QCOMPARE(logged, lines);
    if (down) {
        // Tried and failed more than once before the ways out come back.
        QTRY_VERIFY(sink.connectionCount() > 1 && receiver.requestCount() > 1);
        sink.setMode(SmtpSink::Mode::Answering);
        receiver.setStatus(200);
    }
    QTRY_COMPARE(alerts->waiting(), 0);

    // One message per pass with lines, in order, each holding exactly the lines of its pass.
    const QString prefix = QStringLiteral("Pelvaro auf %1: ").arg(QSysInfo::machineHostName());
    QCOMPARE(alerts->undelivered(), refused || unconfirmed ? subjects.size() : 0);
    QCOMPARE(sink.mails().size(), unconfirmed ? 0 : subjects.size());
    QCOMPARE(receiver.bodies().size(), refused ? 0 : subjects.size());
    if (unconfirmed) {
        QCOMPARE(sink.connectionCount(), subjects.size());
    }
    static const QRegularExpression headerName(QStringLiteral("^([^ :]+):"),
                                               QRegularExpression::MultilineOption);
    // RFC 2047 encoded words; only the subject has any.
    static const QRegularExpression word(QStringLiteral("=\\?UTF-8\\?B\\?([^?]*)\\?="));
    for (int k = 0; k < sink.mails().size(); ++k) {
        const SmtpSink::Mail sent = sink.mails().at(k);
        QCOMPARE(sent.from, "logger@example.org");
        QCOMPARE(sent.to, (QList<QByteArray>{"technik@example.org", "nacht@example.org"}));
        const qsizetype split = sent.data.indexOf("\r\n\r\n");
        const QString head = QString::fromLatin1(sent.data.left(split));
        QStringList headers;
        for (const QRegularExpressionMatch &m : headerName.globalMatch(head)) {
            headers << m.captured(1);
        }
        QCOMPARE(headers,
                 QStringList({"Date", "From", "To", "Subject", "Message-ID", "Auto-Submitted",
                              "MIME-Version", "Content-Type", "Content-Transfer-Encoding"}));
        QString subject;
        for (const QRegularExpressionMatch &m : word.globalMatch(head)) {
            subject += QString::fromUtf8(QByteArray::fromBase64(m.captured(1).toLatin1()));
        }
        QCOMPARE(subject, prefix + subjects.at(k));
        // "HH:mm:ss dd.MM.yyyy  " before each line, then a blank line and the closing words.
        const QString body = QString::fromUtf8(QByteArray::fromBase64(sent.data.mid(split + 4)));
        QCOMPARE(body.section(QStringLiteral("\r\n\r\n"), 0, 0)
                     .split("\r\n")
                     .replaceInStrings(QRegularExpression(QStringLiteral("^.{21}")), QString()),
                 ofPass.at(k));
    }
    for (int k = 0; k < receiver.bodies().size(); ++k) {
        const QJsonObject hook = QJsonDocument::fromJson(receiver.bodies().at(k)).object();
        QCOMPARE(hook.value("title").toString(), prefix + subjects.at(k));
        QCOMPARE(hook.value("text").toString(),
                 prefix + subjects.at(k) + '\n' + ofPass.at(k).join('\n'));
        QCOMPARE(hook.value("alerts").toArray().size(), ofPass.at(k).size());
        for (const QJsonValue &alert : hook.value("alerts").toArray()) {
            const QJsonObject event = alert.toObject();
            const bool fails = event.value("kind").toString() == QLatin1String("device")
                               && event.value("begins").toBool();
            QCOMPARE(event.value("reason").toString(), QLatin1String(fails ? "refused" : ""));
        }
    }
    // Only the refusing row ends with its device still silent.
    QCOMPARE(alerts->conditions().size(), refused ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_Alerts)
#include "tst_alerts.moc"
