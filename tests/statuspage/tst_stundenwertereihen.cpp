#include "runtime/wallclock.h"
#include "statuspage/wertereader.h"
#include "storage/database.h"
#include "storage/langzeitabgleich.h"
#include "support/serverschema.h"
#include "support/tempdatabase.h"

#include <QSqlDatabase>
#include <QTest>

#include <memory>

namespace {

// Rows of sensors 7 and 8 every `minutes` of text from `from` to before `to`, leaving out the
// hour that spring skips and writing the hour that autumn repeats twice, as a logger in
// Europe/Berlin does. Sensor 7's values wander, so that buckets differ.
QStringList rows(const char *from, const char *to, int minutes)
{
    QStringList values;
    const QDateTime end = *WallClock::parse(QString::fromLatin1(to));
    int i = 0;
    for (QDateTime t = *WallClock::parse(QString::fromLatin1(from)); t < end;
         t = t.addSecs(60 * minutes), ++i) {
        const QString zeit = WallClock::sqlText(t);
        if (zeit.startsWith(QLatin1String("2026-03-29 02:"))) {
            continue;
        }
        const int copies = zeit.startsWith(QLatin1String("2026-10-25 02:")) ? 2 : 1;
        for (int copy = 0; copy < copies; ++copy) {
            values
                << QStringLiteral("(7, '%1', %2)").arg(zeit).arg((i * 37 + copy * 11) % 101 / 4.0)
                << QStringLiteral("(8, '%1', 50)").arg(zeit);
        }
    }
    return values;
}

QString shown(const WerteReader::Series &series)
{
    QStringList buckets;
    for (const WerteReader::Bucket &bucket : series.buckets) {
        buckets << QStringLiteral("%1 %2 %3 %4 %5")
                       .arg(WallClock::isoText(bucket.zeit))
                       .arg(bucket.minimum)
                       .arg(bucket.mittel, 0, 'g', 10)
                       .arg(bucket.maximum)
                       .arg(bucket.anzahl);
    }
    return buckets.join(QLatin1Char('\n'));
}

} // namespace

// A long chart's buckets as Stundenwerte gives them, once LangzeitAbgleich has made the figures
// from Werte, must be the buckets that Werte alone gives: on SQLite, on SQLite with the figures
// keyed by hour first (files made before), and on the test server.
class tst_StundenwerteReihen : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sameAsWerte_data();
    void sameAsWerte();
};

void tst_StundenwerteReihen::sameAsWerte_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("werte");
    QTest::addColumn<QDateTime>("von");
    QTest::addColumn<QDateTime>("bis");
    QTest::addColumn<int>("punkte");
    QTest::addColumn<QString>("raster");
    // Whether figures went into a bucket: not where no whole closed hour lies in one.
    QTest::addColumn<bool>("figures");
    const auto at = [](const char *text) {
        return *WallClock::parse(QString::fromLatin1(text));
    };
    for (const char *kind : {"SQLite", "SQLite, Stunde zuerst", "PostgreSQL"}) {
        const auto row = [kind](const char *name) {
            return &(QTest::addRow("%s: %s", kind, name) << QString::fromLatin1(kind));
        };
        const QStringList january = rows("2026-01-10T00:00", "2026-01-13T05:35", 5);
        *row("a range within one hour") << january << at("2026-01-10T01:10")
                                        << at("2026-01-10T01:40") << 1 << "sekunden" << false;
        *row("cut first and last hour") << january << at("2026-01-10T00:20")
                                        << at("2026-01-12T05:40") << 10 << "sekunden" << true;
        *row("the open newest hour") << january << at("2026-01-12T00:00")
                                     << at("2026-01-13T23:59:59") << 4 << "sekunden" << true;
        *row("the hour that autumn repeats")
            << rows("2026-10-24T00:00", "2026-10-26T01:00", 10) << at("2026-10-24T00:00")
            << at("2026-10-25T23:59:59") << 4 << "sekunden" << true;
        *row("the hour that spring skips")
            << rows("2026-03-28T00:00", "2026-03-30T01:00", 10) << at("2026-03-28T00:00")
            << at("2026-03-29T23:59:59") << 2 << "sekunden" << true;
        *row("weeks") << rows("2026-01-01T00:00", "2026-03-01T00:00", 30) << at("2026-01-01T07:00")
                      << at("2026-02-28T12:00") << 10 << "wochen" << true;
        *row("months") << rows("2025-06-01T00:00", "2026-06-01T00:00", 120)
                       << at("2025-06-01T00:00") << at("2026-05-31T23:59:59") << 13 << "monate"
                       << true;
    }
}

void tst_StundenwerteReihen::sameAsWerte()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, werte);
    QFETCH(QDateTime, von);
    QFETCH(QDateTime, bis);
    QFETCH(int, punkte);
    QFETCH(QString, raster);
    QFETCH(bool, figures);
    std::unique_ptr<TempDatabase> file;
    std::unique_ptr<ServerSchema> server;
    if (kind == QLatin1String("PostgreSQL")) {
        server = std::make_unique<ServerSchema>();
    } else {
        file = std::make_unique<TempDatabase>();
    }
    const SqlFixture &sql = file ? static_cast<const SqlFixture &>(*file) : *server;
    const QString name = file ? file->path() : server->uri();
    if (kind == QLatin1String("SQLite, Stunde zuerst")) {
        sql.exec(QStringLiteral(
            "DROP TABLE Stundenwerte; CREATE TABLE Stundenwerte (Stunde DATETIME NOT NULL, "
            "SensorNummer INTEGER NOT NULL, Anzahl INTEGER NOT NULL, Minimum REAL NOT NULL, "
            "Summe REAL NOT NULL, Maximum REAL NOT NULL, PRIMARY KEY (Stunde, SensorNummer)) "
            "WITHOUT ROWID"));
    }
    sql.exec(QStringLiteral("INSERT INTO Werte VALUES ") + werte.join(QLatin1Char(',')));
    {
        const std::unique_ptr<Database> database = OpenDatabase(name);
        QSqlDatabase db = database->connection();
        LangzeitAbgleich abgleich;
        abgleich.open(db);
        QVERIFY(abgleich.enabled());
        for (int step = 0; step < 1000 && !abgleich.stand().bereit; ++step) {
            abgleich.step(db);
        }
        QVERIFY(abgleich.stand().bereit);
    }
    WerteReader reader(name);
    const WerteReader::Series fromFigures = reader.series(7, von, bis, punkte, true);
    const WerteReader::Series fromWerte = reader.series(7, von, bis, punkte, false);
    QCOMPARE(fromFigures.raster, raster);
    QCOMPARE(fromFigures.fromFigures, figures);
    QVERIFY(!fromWerte.fromFigures);
    QVERIFY(fromWerte.buckets.size() > 0);
    QCOMPARE(shown(fromFigures), shown(fromWerte));
    QCOMPARE(fromFigures.secondsPerBucket, fromWerte.secondsPerBucket);
}

int main(int argc, char *argv[])
{
    qputenv("TZ", "Europe/Berlin");
    QCoreApplication app(argc, argv);
    tst_StundenwerteReihen test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_stundenwertereihen.moc"
