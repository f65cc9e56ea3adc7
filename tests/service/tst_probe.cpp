#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/tempdatabase.h"

#include <QProcess>
#include <QTest>

// pelvarod --probe against simulated devices: what it says of a page, its exit code, and what a
// pass would store for the sensors of a database. The test serves the devices while it waits.
class tst_Probe : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void probe_data();
    void probe();
};

void tst_Probe::probe_data()
{
    QTest::addColumn<DeviceSimulator::Behaviour>("behaviour");
    QTest::addColumn<bool>("withDatabase");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lines");
    using B = DeviceSimulator::Behaviour;
    // Readings as the pass log writes them, a blank before a positive one.
    QTest::newRow("a good page") << B::Normal << false << 0
                                 << QStringList{"die Seite zählt",
                                                "t1:  21.5 (steht dort: \"21.5\")", "t2: -3.25",
                                                "t3: keine Messung"};
    QTest::newRow("the sensors of a database")
        << B::Normal << true << 0
        << QStringList{
               "Gerät 10 'Heizung' (Position 2) würde speichern:", "Sensor 7 'Vorlauf' (t2): -3.25",
               // A sensor whose element is missing stores 0, as a pass does.
               "Sensor 8 'fehlt' (t9):  0"};
    QTest::newRow("an error page with the marker counts")
        << B::ServerError << false << 0 << QStringList{"die Seite zählt"};
    QTest::newRow("no marker") << B::NoMarker << false << 1
                               << QStringList{"die Seite zählt nicht", "(no_marker)"};
    QTest::newRow("a 404 page") << B::NotFound << false << 1
                                << QStringList{"(HTTP 404)", "(no_marker)"};
    QTest::newRow("refused") << B::Refused << true << 1
                             << QStringList{"(refused)",
                                            "Sensor 7 'Vorlauf' (t2): nichts, die Seite zählt "
                                            "nicht"};
    QTest::newRow("broken off") << B::Reset << false << 1 << QStringList{"(broken_off)"};
}

void tst_Probe::probe()
{
    QFETCH(DeviceSimulator::Behaviour, behaviour);
    QFETCH(bool, withDatabase);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setSensorCount(3);
    device.setFixedReadings({21.5, -3.25, -99999});
    device.setBehaviour(behaviour);
    TempDatabase database;
    database.exec(loggerSetup(
        5,
        QStringLiteral("(20, '127.0.0.1:1', 'anderes'), (10, '%1', 'Heizung')")
            .arg(device.address()),
        QStringLiteral("(7, 2, 2, 'Vorlauf'), (8, 2, 9, 'fehlt'), (9, 1, 1, 'anderswo')")));
    QStringList arguments{QStringLiteral("--probe"), device.address()};
    if (withDatabase) {
        arguments << QStringLiteral("--database") << database.path();
    }
    QProcess process;
    process.start(pelvarodExecutable(), arguments);
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 30000);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    QCOMPARE(process.exitCode(), exitCode);
    for (const QString &line : lines) {
        QVERIFY2(out.contains(line), qPrintable(out));
    }
    QVERIFY2(!out.contains(QLatin1String("anderswo")), qPrintable(out));
    // It writes nothing.
    QCOMPARE(database.rows(QStringLiteral("SELECT COUNT(*) FROM Werte")).value(0).value(0).toInt(),
             0);
}

QTEST_GUILESS_MAIN(tst_Probe)
#include "tst_probe.moc"
