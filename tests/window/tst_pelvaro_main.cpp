#include "devicesim/devicesimulator.h"
#include "storage/registry.h"
#include "support/tempdatabase.h"
#include "window/pelvaro_main.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <limits>

class tst_Pelvaro_Main : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void layoutAndStartState();
    void ends_data();
    void ends();

private:
    // The window, loaded and shown, on a database with one device whose names hold markup.
    Pelvaro_Main &open(const QString &settings);
    template <typename T> T *control(const char *name)
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }

    DeviceSimulator m_device;
    std::unique_ptr<TempDatabase> m_database;
    std::unique_ptr<Pelvaro_Main> m_window;
};

void tst_Pelvaro_Main::initTestCase()
{
    QVERIFY(m_device.listen());
    m_device.setFixedReadings({21.5, -3.25});
}

Pelvaro_Main &tst_Pelvaro_Main::open(const QString &settings)
{
    m_window.reset();
    m_database = std::make_unique<TempDatabase>();
    m_database->exec(
        QStringLiteral(
            "DELETE FROM Einstellungen; INSERT INTO Einstellungen VALUES %1;"
            "INSERT INTO Geraete VALUES (4, '%2', '<i>Heizraum</i>');"
            "INSERT INTO Sensoren VALUES (7, 1, 1, '<b>Vorlauf</b>'), (8, 1, 2, 'Aussen')")
            .arg(settings, m_device.address()));
    m_window = std::make_unique<Pelvaro_Main>(m_database->path());
    m_window->Form_Load();
    m_window->show();
    return *m_window;
}

void tst_Pelvaro_Main::layoutAndStartState()
{
    m_device.setBehaviour(DeviceSimulator::Behaviour::Normal);
    Pelvaro_Main &window = open(QStringLiteral("('Messungen', 5)"));
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *tb = control<QPlainTextEdit>("TB");
    auto *label = control<QLabel>("lBla");
    auto *ende = control<QPushButton>("kEnde");
    auto *timer = control<QTimer>("Timer1");
    QVERIFY(tb && label && ende && timer);
    QCOMPARE(window.windowTitle(), QStringLiteral("Pelvaro (Access)"));
    window.resize(800, 600);
    QCOMPARE(window.size(), QSize(484, 409));
    QCOMPARE((QList<QRect>{tb->geometry(), label->geometry(), ende->geometry()}),
             (QList<QRect>{{4, 8, 473, 365}, {8, 380, 285, 21}, {392, 384, 85, 21}}));
    QCOMPARE(tb->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(tb->toPlainText(), QStringLiteral("Text1"));
    QCOMPARE(label->text(), QString());
    // Names come from the database: shown as they are, never as markup.
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(ende->text(), QStringLiteral("Ende"));
    QCOMPARE(QApplication::focusWidget(), ende);
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), tb);
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), ende);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 1000);
    QCOMPARE(timer->timerType(), Qt::PreciseTimer);
}

void tst_Pelvaro_Main::ends_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("code");
    // After an end with code 0.
    QTest::addColumn<bool>("databaseClosed");
    // What the log shows at the end, from its start (markup in names shown as it is).
    QTest::addColumn<QString>("shown");
    const auto row = [](const char *name, const char *how, const QString &settings, int code,
                        bool closed, const char *shown = "") {
        QTest::newRow(name) << QString::fromLatin1(how) << settings << code << closed
                            << QString::fromLatin1(shown);
    };
    const QString oneEach = QStringLiteral("('MessIntervall', 1), ('Messungen', 1)");
    const QString tickError =
        QStringLiteral("('MessIntervall', %1)").arg(std::numeric_limits<qint32>::min());
    row("Ende", "button", QStringLiteral("('MessIntervall', 100)"), 0, true);
    row("title bar closes without closing the database", "close", oneEach, 0, false);
    row("Ende during a silent device", "button during fetch", oneEach, 0, true);
    row("Ende once readings are shown", "button after readings", oneEach, 0, true,
        "<b>Vorlauf</b>:  21.5\nAussen: -3.25\n\n");
    row("run-time error in a tick", "none", tickError, 1, true);
}

void tst_Pelvaro_Main::ends()
{
    QFETCH(QString, how);
    QFETCH(QString, settings);
    QFETCH(int, code);
    QFETCH(bool, databaseClosed);
    QFETCH(QString, shown);
    const bool duringFetch = how == QLatin1String("button during fetch");
    m_device.setBehaviour(duringFetch ? DeviceSimulator::Behaviour::Silent
                                      : DeviceSimulator::Behaviour::Normal);
    Pelvaro_Main &window = open(settings);
    auto *tb = control<QPlainTextEdit>("TB");
    const auto ready = [&] {
        return duringFetch ? m_device.openConnectionCount() == 1
               // The pass's log whole, its time stamp last: the readings' lines come one pump
               // apart, and a click between them would find the log half written.
               : how == QLatin1String("button after readings") ? tb->toPlainText().contains(
                     QRegularExpression(QStringLiteral("Aussen.*\\n\\n\\d\\d:\\d\\d:\\d\\d"),
                                        QRegularExpression::DotMatchesEverythingOption))
                                                               : how != QLatin1String("none");
    };
    // The application's event loop as main() runs it; the end comes the first time ready()
    // holds. A watchdog (exit 99) ends a run that does not end by itself well before the 15 s a
    // fetch may wait.
    QString captionAtClick;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!ready()) {
            return;
        }
        poll.stop();
        captionAtClick = control<QLabel>("lBla")->text();
        if (how == QLatin1String("close")) {
            window.close();
        } else {
            QTest::mouseClick(control<QPushButton>("kEnde"), Qt::LeftButton);
        }
    });
    poll.start(20);
    QTimer::singleShot(12000, &window, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), code);
    QVERIFY(code != 0 || !window.registry().Datenbank == databaseClosed);
    QVERIFY(!window.isVisible());
    QVERIFY(!control<QTimer>("Timer1")->isActive());
    QVERIFY2(tb->toPlainText().startsWith(shown), qPrintable(tb->toPlainText()));
    if (duringFetch) {
        QCOMPARE(captionAtClick, QStringLiteral("Datenübertragung (<i>Heizraum</i>)..."));
        QCOMPARE(window.logText(), QString());
        QCOMPARE(m_database->rows(QStringLiteral("SELECT * FROM Werte")).size(), 0);
    }
}

QTEST_MAIN(tst_Pelvaro_Main)
#include "tst_pelvaro_main.moc"
