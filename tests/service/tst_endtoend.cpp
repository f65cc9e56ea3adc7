#include "devicesimulator.h"
#include "programprocess.h"
#include "tempdatabase.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

using Behaviour = DeviceSimulator::Behaviour;

// The real executable against a real database file and simulated devices, served by this test's
// event loop while it waits for the program, and stopped the way a service manager stops it.
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void storesAveragesUntilStopped_data();
    void storesAveragesUntilStopped();
    void stopDuringASilentDeviceEndsPromptly_data();
    void stopDuringASilentDeviceEndsPromptly();

private:
    void start(bool headless);
    int stop();
    void checkClosedCleanly();
    int rowCount(const QString &where = QString());

    std::unique_ptr<TempDatabase> m_database;
    DeviceSimulator m_heizung;
    DeviceSimulator m_aus;
    std::unique_ptr<QProcess> m_process;
};

void tst_EndToEnd::init()
{
    m_database = std::make_unique<TempDatabase>();
    for (DeviceSimulator *device : {&m_heizung, &m_aus}) {
        if (!device->isListening()) {
            QVERIFY(device->listen());
        }
    }
    m_heizung.setBehaviour(Behaviour::Normal);
    m_heizung.setFixedReadings({21.5, -3.25});
    m_aus.setBehaviour(Behaviour::Refused);
    m_database->exec(QStringLiteral("DELETE FROM Einstellungen;"
                                    "INSERT INTO Einstellungen VALUES ('MessIntervall', 1), ('Messungen', 2);"
                                    "INSERT INTO Geraete VALUES (10, '%1', 'Heizung'), (20, '%2', 'Aus');"
                                    "INSERT INTO Sensoren VALUES (7, 1, 1, 'Vorlauf'), (8, 1, 2, 'Aussen'),"
                                    " (9, 2, 1, 'Keller')")
                         .arg(m_heizung.address(), m_aus.address()));
}

void tst_EndToEnd::start(bool headless)
{
    m_process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (headless) {
        // Headless needs no display at all, not even the offscreen one.
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("DISPLAY"));
    }
    m_process->setProcessEnvironment(environment);
    QStringList arguments{QStringLiteral("--database"), m_database->path()};
    if (headless) {
        arguments << QStringLiteral("--headless");
    }
    m_process->start(pelvaroExecutable(), arguments);
    QVERIFY(m_process->waitForStarted());
}

int tst_EndToEnd::stop()
{
    ::kill(static_cast<pid_t>(m_process->processId()), SIGTERM);
    // Served by QTRY's event loop: the devices keep answering while the program ends.
    [&] { QTRY_VERIFY_WITH_TIMEOUT(m_process->state() == QProcess::NotRunning, 5000); }();
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished();
        return -1;
    }
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -2;
}

void tst_EndToEnd::checkClosedCleanly()
{
    QVERIFY(!QFileInfo::exists(m_database->path() + QStringLiteral("-journal")));
    QCOMPARE(m_database->rows(QStringLiteral("PRAGMA integrity_check")).at(0).at(0).toString(),
             QStringLiteral("ok"));
}

int tst_EndToEnd::rowCount(const QString &where)
{
    return m_database->rows(QStringLiteral("SELECT * FROM Werte ") + where).size();
}

void tst_EndToEnd::storesAveragesUntilStopped_data()
{
    QTest::addColumn<bool>("headless");
    QTest::newRow("headless") << true;
    QTest::newRow("window") << false;
}

void tst_EndToEnd::storesAveragesUntilStopped()
{
    QFETCH(bool, headless);
    const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
    start(headless);
    QTRY_VERIFY_WITH_TIMEOUT(rowCount() >= 4, 20000);
    QCOMPARE(stop(), 0);
    const QDateTime stopped = QDateTime::currentDateTime().addSecs(1);
    checkClosedCleanly();

    // Sensor 9 sits on the device that refuses: it has no rows at all.
    const QStringList stored = storedValues(*m_database);
    QVERIFY(stored.size() % 2 == 0);
    for (int i = 0; i < stored.size(); i += 2) {
        QCOMPARE(stored.mid(i, 2), (QStringList{"7=21.5", "8=-3.25"}));
    }
    for (const QVariantList &row : m_database->rows(QStringLiteral("SELECT Zeit FROM Werte"))) {
        const QDateTime zeit = QDateTime::fromString(row.at(0).toString(), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY2(zeit.isValid() && zeit >= started && zeit <= stopped, qPrintable(row.at(0).toString()));
    }

    const QString out = QString::fromUtf8(m_process->readAllStandardOutput());
    const QString err = QString::fromUtf8(m_process->readAllStandardError());
    if (headless) {
        static const QRegularExpression pass(QStringLiteral(
            "^Vorlauf:  21\\.5\nAussen: -3\\.25\nDatenholung von Aus war erfolglos\\.\n\n"
            "\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d\\d\\.\\d{4}\n\n"));
        QVERIFY2(pass.match(out).hasMatch(), qPrintable(out));
        QVERIFY2(out.count(QLatin1String("Datenholung von Aus")) >= 2, qPrintable(out));
    } else {
        QCOMPARE(out, QString());
    }
    QVERIFY2(!err.contains(QLatin1String("Laufzeitfehler")), qPrintable(err));
}

void tst_EndToEnd::stopDuringASilentDeviceEndsPromptly_data()
{
    storesAveragesUntilStopped_data();
}

void tst_EndToEnd::stopDuringASilentDeviceEndsPromptly()
{
    QFETCH(bool, headless);
    m_heizung.setBehaviour(Behaviour::Silent);
    start(headless);
    QTRY_COMPARE_WITH_TIMEOUT(m_heizung.openConnectionCount(), 1, 10000);
    // The fetch would wait 15 s for the silent device; the stop must not.
    QCOMPARE(stop(), 0);
    QCOMPARE(rowCount(), 0);
    checkClosedCleanly();
    QCOMPARE(m_process->readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
