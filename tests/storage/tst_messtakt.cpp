#include "storage/messtakt.h"
#include "storage/registry.h"
#include "support/recordingview.h"

#include <QTest>

// The tick is driven directly: the rhythm is a matter of counts, not of the clock.
class tst_MessTakt : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rhythm_data();
    void rhythm();
};

void tst_MessTakt::rhythm_data()
{
    // One token per tick: "Cn" shows "Noch n Sekunden...", "P" polls, "PS" polls and stores.
    QTest::addColumn<int>("messIntervall");
    QTest::addColumn<int>("messungen");
    QTest::addColumn<QString>("ticks");
    const auto row = [](const char *name, int messIntervall, int messungen, const char *ticks) {
        QTest::newRow(name) << messIntervall << messungen << ticks;
    };
    row("defaults 2 and 5", 2, 5, "C1 P C1 P C1 P C1 P C1 PS C1 P");
    row("interval 3", 3, 2, "C2 C1 P C2 C1 PS C2");
    row("interval 1", 1, 3, "P P PS P");
    row("interval -5", -5, 3, "P P PS P");
    row("12 seconds", 13, 1, "C12 C11 C10");
    row("store every pass", 2, 1, "C1 PS C1 PS");
    row("stores -5", 1, -5, "PS PS PS");
}

void tst_MessTakt::rhythm()
{
    QFETCH(int, messIntervall);
    QFETCH(int, messungen);
    QFETCH(QString, ticks);
    Registry registry;
    RecordingView view;
    registry.MessIntervall = messIntervall;
    registry.Messungen = messungen;
    registry.AnzahlSensoren = 1;
    registry.SensorID[1] = 1;
    bool polled = false;
    MessTakt takt(registry, view, [&] {
        // The timer stays off for the whole pass.
        QCOMPARE(view.timerEvents, QStringList{QStringLiteral("off")});
        polled = true;
        registry.SensorZaehler[1] += 1;
        registry.SensorSumme[1] += 10;
    });

    QStringList seen;
    for (int tick = 0; tick < ticks.split(QLatin1Char(' ')).size(); ++tick) {
        view.statuses.clear();
        view.timerEvents.clear();
        polled = false;
        takt.run();
        QCOMPARE(view.timerEvents, (QStringList{"off", "on"}));
        if (polled) {
            // A store takes the readings, written or not.
            const bool stored = registry.SensorZaehler[1] == 0.0;
            seen << (stored ? QStringLiteral("PS") : QStringLiteral("P"));
            QVERIFY(view.statuses.isEmpty());
        } else {
            QCOMPARE(view.statuses.size(), 1);
            seen << view.statuses.first()
                        .replace(QLatin1String("Noch "), QLatin1String("C"))
                        .remove(QLatin1String(" Sekunden..."));
        }
    }
    QCOMPARE(seen.join(QLatin1Char(' ')), ticks);
}

QTEST_GUILESS_MAIN(tst_MessTakt)
#include "tst_messtakt.moc"
