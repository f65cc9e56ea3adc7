#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/serverschema.h"

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <csignal>

// The server goes away for 20 s while the program runs, then comes back: the program keeps
// polling, and every store's rows arrive afterwards, with their own time stamps, none twice.
class tst_ServerOutage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyStoreArrivesAfterTheServerIsBack();
};

void tst_ServerOutage::everyStoreArrivesAfterTheServerIsBack()
{
    ServerSchema schema;
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setSensorCount(1);
    device.setFixedReadings({21.5});
    // One store per pass, so every second has its row.
    schema.exec(QStringLiteral("DELETE FROM Einstellungen;"
                               "INSERT INTO Einstellungen (Parameter, Wert) VALUES "
                               "('MessIntervall', 1), ('Messungen', 1);"
                               "INSERT INTO Geraete VALUES (10, '%1', 'Heizung');"
                               "INSERT INTO Sensoren VALUES (7, 1, 1, 'Vorlauf')")
                    .arg(device.address()));
    const auto rowsSince = [&](const QDateTime &since) {
        return schema
            .rows(QStringLiteral("SELECT count(*) FROM Werte WHERE Zeit > '%1'")
                      .arg(since.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))))
            .at(0)
            .at(0)
            .toInt();
    };

    QProcess program;
    program.start(pelvaroExecutable(),
                  {QStringLiteral("--headless"), QStringLiteral("--database"), schema.uri()});
    QVERIFY(program.waitForStarted());
    const QDateTime started = QDateTime::currentDateTime();
    QTRY_VERIFY_WITH_TIMEOUT(rowsSince(started.addSecs(-1)) >= 2, 15000);

    const QDateTime away = QDateTime::currentDateTime();
    ServerSchema::pauseServer();
    // The outage itself; the test's event loop serves the device meanwhile.
    QTest::qWait(20000);
    const bool pollingWhileAway = program.state() == QProcess::Running;
    const QDateTime back = QDateTime::currentDateTime();
    ServerSchema::resumeServer();
    QVERIFY2(pollingWhileAway, program.readAllStandardError().constData());
    // A store after the server is back brings the waiting rows along with its own.
    QTRY_VERIFY_WITH_TIMEOUT(rowsSince(back.addSecs(1)) >= 1, 20000);

    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);

    const QList<QVariantList> rows = schema.rows(QStringLiteral(
        "SELECT SensorNummer, to_char(Zeit, 'YYYY-MM-DD HH24:MI:SS'), MessWert FROM Werte "
        "ORDER BY Zeit"));
    QSet<QString> stamps;
    int duringOutage = 0;
    for (const QVariantList &row : rows) {
        QCOMPARE(row.at(0).toInt(), 7);
        QCOMPARE(row.at(2).toDouble(), 21.5);
        const QString zeit = row.at(1).toString();
        QVERIFY2(!stamps.contains(zeit), qPrintable(zeit + QStringLiteral(" twice")));
        stamps.insert(zeit);
        const QDateTime when = QDateTime::fromString(zeit, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (when > away.addSecs(1) && when < back.addSecs(-1)) {
            ++duringOutage;
        }
    }
    // Stamped when their store ran, not when they were finally written.
    QVERIFY2(duringOutage >= 10, qPrintable(QString::number(duringOutage)));
    // Each pass logs its time, and each pass stores: one row per pass, the last pass's store
    // perhaps cut off by the stop.
    static const QRegularExpression passTime(
        QStringLiteral("^\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d\\d\\.\\d{4}$"),
        QRegularExpression::MultilineOption);
    const qsizetype passes = QString::fromUtf8(program.readAllStandardOutput()).count(passTime);
    QVERIFY2(rows.size() == passes || rows.size() == passes - 1,
             qPrintable(QStringLiteral("%1 rows, %2 passes").arg(rows.size()).arg(passes)));
}

QTEST_GUILESS_MAIN(tst_ServerOutage)
#include "tst_serveroutage.moc"
