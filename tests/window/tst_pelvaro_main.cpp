#include "devicesim/devicesimulator.h"
#include "storage/registry.h"
#include "support/tempdatabase.h"
#include "window/pelvaro_main.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <limits>

namespace {

constexpr int kWatchdogExit = 99;

// Runs the application's event loop as main() does, with act() called once the loop runs and
// a watchdog that ends a run that does not end by itself. Returns the exit code.
int runUntilEnd(const std::function<void()> &act, int watchdogMs = 20000)
{
    QTimer::singleShot(0, act);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(kWatchdogExit); });
    watchdog.start(watchdogMs);
    return QCoreApplication::exec();
}

// Calls act the first time condition holds, checking every 20 ms on the event loop.
void when(const std::function<bool()> &condition, const std::function<void()> &act)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll, condition, act] {
        if (condition()) {
            poll->deleteLater();
            poll->stop();
            act();
        }
    });
    poll->start(20);
}

} // namespace

class tst_Pelvaro_Main : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void layoutAndStartState();
    void logAndLabelShowPlainText();
    void ends_data();
    void ends();
    void readingsShownAndStored();
    void errorInATickEndsWithCodeOne();

private:
    void prepare(const QString &settings, const QString &deviceAddress);
    template <typename T> T *control(Pelvaro_Main &window, const char *name)
    {
        return window.findChild<T *>(QLatin1String(name));
    }

    std::unique_ptr<TempDatabase> m_database;
    DeviceSimulator m_device;
};

void tst_Pelvaro_Main::init()
{
    m_database = std::make_unique<TempDatabase>();
    if (!m_device.isListening()) {
        QVERIFY(m_device.listen());
    }
    m_device.setBehaviour(DeviceSimulator::Behaviour::Normal);
    m_device.setFixedReadings({21.5, -3.25});
}

void tst_Pelvaro_Main::prepare(const QString &settings, const QString &deviceAddress)
{
    m_database->exec(
        QStringLiteral("DELETE FROM Einstellungen; INSERT INTO Einstellungen VALUES %1;"
                       "INSERT INTO Geraete VALUES (4, '%2', 'Heizraum');"
                       "INSERT INTO Sensoren VALUES (7, 1, 1, 'Vorlauf'), (8, 1, 2, 'Aussen')")
            .arg(settings, deviceAddress));
}

void tst_Pelvaro_Main::layoutAndStartState()
{
    prepare(QStringLiteral("('Messungen', 5)"), m_device.address());
    Pelvaro_Main window(m_database->path());
    window.Form_Load();
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    auto *tb = control<QPlainTextEdit>(window, "TB");
    auto *label = control<QLabel>(window, "lBla");
    auto *ende = control<QPushButton>(window, "kEnde");
    auto *timer = control<QTimer>(window, "Timer1");
    QVERIFY(tb && label && ende && timer);
    QCOMPARE(window.windowTitle(), QStringLiteral("Pelvaro (Access)"));
    QCOMPARE(window.size(), QSize(484, 409));
    QCOMPARE(tb->geometry(), QRect(4, 8, 473, 365));
    QCOMPARE(label->geometry(), QRect(8, 380, 285, 21));
    QCOMPARE(ende->geometry(), QRect(392, 384, 85, 21));
    QCOMPARE(tb->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(tb->toPlainText(), QStringLiteral("Text1"));
    QCOMPARE(window.logText(), QStringLiteral("Text1"));
    QCOMPARE(label->text(), QString());
    QCOMPARE(ende->text(), QStringLiteral("Ende"));
    QCOMPARE(QApplication::focusWidget(), ende);
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), tb);
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), ende);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 1000);
    QCOMPARE(timer->timerType(), Qt::PreciseTimer);
    QCOMPARE(window.registry().AnzahlGeraete, 1);
    QCOMPARE(window.registry().Messungen, 5);
    QCOMPARE(window.registry().MessIntervall, 2);

    window.resize(800, 600);
    QCOMPARE(window.size(), QSize(484, 409));
    QCOMPARE(tb->geometry(), QRect(4, 8, 473, 365));
}

void tst_Pelvaro_Main::logAndLabelShowPlainText()
{
    Pelvaro_Main window(m_database->path());
    window.clearLog();
    window.appendLog(QStringLiteral("<b>Keller</b>:  21.5\r\n"));
    window.appendLog(QStringLiteral("\r\n12:00:00 01.01.2026"));
    window.setStatus(QStringLiteral("Datenübertragung (<i>Dach</i>)..."));
    QCOMPARE(window.logText(), QStringLiteral("<b>Keller</b>:  21.5\r\n\r\n12:00:00 01.01.2026"));
    QCOMPARE(control<QPlainTextEdit>(window, "TB")->toPlainText(),
             QStringLiteral("<b>Keller</b>:  21.5\n\n12:00:00 01.01.2026"));
    auto *label = control<QLabel>(window, "lBla");
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), QStringLiteral("Datenübertragung (<i>Dach</i>)..."));
}

void tst_Pelvaro_Main::ends_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("databaseClosed");
    QTest::newRow("Ende") << "button" << true;
    QTest::newRow("title bar closes without closing the database") << "close" << false;
    // The watchdog fires well before the 15 s the fetch would otherwise wait.
    QTest::newRow("Ende during a silent device") << "button during fetch" << true;
}

void tst_Pelvaro_Main::ends()
{
    QFETCH(QString, how);
    QFETCH(bool, databaseClosed);
    const bool duringFetch = how == QLatin1String("button during fetch");
    if (duringFetch) {
        m_device.setBehaviour(DeviceSimulator::Behaviour::Silent);
    }
    prepare(duringFetch ? QStringLiteral("('MessIntervall', 1), ('Messungen', 1)")
                        : QStringLiteral("('MessIntervall', 100)"),
            m_device.address());
    Pelvaro_Main window(m_database->path());
    window.Form_Load();
    window.show();
    auto *ende = control<QPushButton>(window, "kEnde");
    const int code = runUntilEnd(
        [&] {
            if (how == QLatin1String("close")) {
                window.close();
            } else if (!duringFetch) {
                QTest::mouseClick(ende, Qt::LeftButton);
            } else {
                when([&] { return m_device.openConnectionCount() == 1; },
                     [&] {
                         QCOMPARE(control<QLabel>(window, "lBla")->text(),
                                  QStringLiteral("Datenübertragung (Heizraum)..."));
                         QTest::mouseClick(ende, Qt::LeftButton);
                     });
            }
        },
        8000);
    QCOMPARE(code, 0);
    QCOMPARE(!window.registry().Datenbank, databaseClosed);
    QVERIFY(!window.isVisible());
    QVERIFY(!control<QTimer>(window, "Timer1")->isActive());
    if (duringFetch) {
        QCOMPARE(window.logText(), QString());
        QCOMPARE(m_database->rows(QStringLiteral("SELECT * FROM Werte")).size(), 0);
    }
}

void tst_Pelvaro_Main::readingsShownAndStored()
{
    prepare(QStringLiteral("('MessIntervall', 1), ('Messungen', 2)"), m_device.address());
    Pelvaro_Main window(m_database->path());
    window.Form_Load();
    window.show();
    auto *tb = control<QPlainTextEdit>(window, "TB");
    const int code = runUntilEnd([&] {
        when([&] { return m_database->rows(QStringLiteral("SELECT * FROM Werte")).size() >= 4; },
             [&] { QTest::mouseClick(control<QPushButton>(window, "kEnde"), Qt::LeftButton); });
    });
    QCOMPARE(code, 0);
    QVERIFY2(tb->toPlainText().startsWith(QLatin1String("Vorlauf:  21.5\nAussen: -3.25\n\n")),
             qPrintable(tb->toPlainText()));
    const QStringList stored = storedValues(*m_database);
    QCOMPARE(stored.mid(0, 4), (QStringList{"7=21.5", "8=-3.25", "7=21.5", "8=-3.25"}));
}

void tst_Pelvaro_Main::errorInATickEndsWithCodeOne()
{
    prepare(QStringLiteral("('MessIntervall', %1)").arg(std::numeric_limits<qint32>::min()),
            m_device.address());
    Pelvaro_Main window(m_database->path());
    window.Form_Load();
    window.show();
    const int code = runUntilEnd([] {});
    QCOMPARE(code, 1);
    QVERIFY(!control<QTimer>(window, "Timer1")->isActive());
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(tst_Pelvaro_Main)
#include "tst_pelvaro_main.moc"
