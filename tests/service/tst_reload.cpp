#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/tempdatabase.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

namespace {

constexpr int kMessungen = 3;

} // namespace

// SIGHUP to the real service while it polls a simulated device whose readings change with every
// pass: a configuration broken by hand is not taken and the journal says why; a good one is
// taken right after a store, so that the averages on both sides hold exactly their polls.
class tst_Reload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void brokenConfigurationKept_data();
    void brokenConfigurationKept();
    void goodConfigurationTakenAfterStore();

private:
    bool stderrHas(const QString &text);
    // The readings the pass logs on stdout show for a sensor, in order.
    QList<double> logged(const QString &sensorName);
    int rowsOf(int sensor) const;

    DeviceSimulator m_device;
    TempDatabase m_database;
    QProcess m_program;
    QByteArray m_out;
    QByteArray m_err;
};

void tst_Reload::initTestCase()
{
    QVERIFY(m_device.listen());
    m_database.exec(loggerSetup(kMessungen,
                                QStringLiteral("(10, '%1', 'Heizung')").arg(m_device.address()),
                                QStringLiteral("(7, 1, 1, 'Alt')")));
    QVERIFY(startPelvaro(m_program, m_database.path()));
    QTRY_VERIFY_WITH_TIMEOUT(rowsOf(7) >= 1, 20000);
}

void tst_Reload::cleanupTestCase()
{
    QCOMPARE(stopPelvaro(m_program), 0);
}

bool tst_Reload::stderrHas(const QString &text)
{
    return QTest::qWaitFor(
        [&] {
            m_err += m_program.readAllStandardError();
            return QString::fromUtf8(m_err).contains(text);
        },
        15000);
}

QList<double> tst_Reload::logged(const QString &sensorName)
{
    m_out += m_program.readAllStandardOutput();
    QList<double> readings;
    const QRegularExpression line(QStringLiteral("^%1: *(\\S+)$").arg(sensorName),
                                  QRegularExpression::MultilineOption);
    for (const QRegularExpressionMatch &match : line.globalMatch(QString::fromUtf8(m_out))) {
        readings << match.captured(1).toDouble();
    }
    return readings;
}

int tst_Reload::rowsOf(int sensor) const
{
    return m_database
        .rows(QStringLiteral("SELECT COUNT(*) FROM Werte WHERE SensorNummer = %1").arg(sensor))
        .value(0)
        .value(0)
        .toInt();
}

void tst_Reload::brokenConfigurationKept_data()
{
    QTest::addColumn<QString>("breaking");
    QTest::addColumn<QString>("mending");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a text where a number belongs") << "UPDATE Sensoren SET Anschluss = 'eins'"
                                                   << "UPDATE Sensoren SET Anschluss = 1"
                                                   << "Tabelle 'Sensoren', Zeile 1";
    QTest::newRow("no device left") << "DELETE FROM Geraete"
                                    << QStringLiteral("INSERT INTO Geraete VALUES (10, '%1', "
                                                      "'Heizung')")
                                    << "'Geraete'";
    QTest::newRow("a setting that is no number")
        << "UPDATE Einstellungen SET Wert = 'drei' WHERE Parameter = 'Messungen'"
        << QStringLiteral("UPDATE Einstellungen SET Wert = %1 WHERE Parameter = 'Messungen'")
               .arg(kMessungen)
        << "Tabelle 'Einstellungen', Zeile 2";
}

void tst_Reload::brokenConfigurationKept()
{
    QFETCH(QString, breaking);
    QFETCH(QString, mending);
    QFETCH(QString, reason);
    m_database.exec(breaking);
    m_err.clear();
    ::kill(pid_t(m_program.processId()), SIGHUP);
    QVERIFY(stderrHas(QStringLiteral("Die Konfiguration bleibt, wie sie war")));
    QVERIFY2(QString::fromUtf8(m_err).contains(reason), m_err.constData());
    m_database.exec(mending.arg(m_device.address()));
    // The old configuration goes on storing.
    const int before = rowsOf(7);
    QTRY_VERIFY_WITH_TIMEOUT(rowsOf(7) > before, 20000);
    QVERIFY(m_program.state() == QProcess::Running);
}

void tst_Reload::goodConfigurationTakenAfterStore()
{
    // The old sensor moves to element 2, a new one comes on element 1: positions and numbers
    // as a pass would have to get them right.
    m_database.exec(QStringLiteral("UPDATE Sensoren SET Anschluss = 2;"
                                   "INSERT INTO Sensoren VALUES (8, 1, 1, 'Neu')"));
    m_err.clear();
    ::kill(pid_t(m_program.processId()), SIGHUP);
    QVERIFY2(stderrHas(QStringLiteral("gilt ab der nächsten Speicherung")), m_err.constData());
    QVERIFY(stderrHas(QStringLiteral("Neue Konfiguration übernommen: 1 Geräte, 2 Sensoren")));
    QTRY_VERIFY_WITH_TIMEOUT(rowsOf(8) >= 1, 20000);
    // The first average of the new sensor holds exactly its first Messungen readings: none was
    // taken before the change, and the change came right after a store.
    // The passes' lines may reach this end of the pipe after the store has landed.
    QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("Neu")).size() >= kMessungen, 10000);
    const QList<double> neu = logged(QStringLiteral("Neu"));
    double sum = 0;
    for (int i = 0; i < kMessungen; ++i) {
        sum += neu[i];
    }
    const double firstNeu = m_database
                                .rows(QStringLiteral("SELECT MessWert FROM Werte WHERE "
                                                     "SensorNummer = 8 ORDER BY Zeit LIMIT 1"))
                                .value(0)
                                .value(0)
                                .toDouble();
    QVERIFY2(qAbs(firstNeu - sum / kMessungen) < 1e-9,
             qPrintable(QStringLiteral("%1 against %2").arg(firstNeu).arg(sum / kMessungen)));
    // Every stored average of the old sensor is one of Messungen readings in a row: the one
    // before the change among them.
    const QList<double> alt = logged(QStringLiteral("Alt"));
    const QList<QVariantList> stored = m_database.rows(
        QStringLiteral("SELECT MessWert FROM Werte WHERE SensorNummer = 7 ORDER BY Zeit"));
    for (qsizetype k = 0; k < stored.size() && (k + 1) * kMessungen <= alt.size(); ++k) {
        double block = 0;
        for (int i = 0; i < kMessungen; ++i) {
            block += alt[k * kMessungen + i];
        }
        QVERIFY2(qAbs(stored[k].value(0).toDouble() - block / kMessungen) < 1e-9,
                 qPrintable(QStringLiteral("average %1").arg(k + 1)));
    }
}

QTEST_GUILESS_MAIN(tst_Reload)
#include "tst_reload.moc"
