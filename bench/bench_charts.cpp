// How long one sensor's chart of 1000 points takes to read (WerteReader::series, as /api/werte
// reads it on the page's reader thread) for 1 day, 30 days, 1 year and 10 years back from the
// newest row. Builds its own SQLite file from docs/schema.sql, as retention would leave it:
// Werte holds the last days of SENSORS sensors at a store every 10 s (interleaved, as the
// logger writes them), Stundenwerte the figures of every hour of YEARS years before the open
// hour. Each range is read ROUNDS times; the median and the slowest are printed. The two
// shortest ranges are also read from Werte alone, as before the figures are ready.
//
//   build/bench/bench_charts [SENSORS [DAYS [YEARS [ROUNDS]]]]   default 10 31 10 5
//   PELVARO_BENCH_KEY=hour   the figures keyed by hour first, as files made before have them

#include "statuspage/wertereader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QDateTime kNewest(QDate(2026, 12, 8), QTime(11, 59, 50), Qt::UTC);

bool sqlite(const QString &path, const QByteArray &statements)
{
    QProcess process;
    process.start(QStringLiteral("sqlite3"), {path});
    process.write(statements);
    process.closeWriteChannel();
    const bool ok = process.waitForFinished(-1) && process.exitCode() == 0;
    if (!ok) {
        std::fprintf(stderr, "sqlite3: %s\n", process.readAllStandardError().constData());
    }
    return ok;
}

QByteArray text(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1();
}

bool build(const QString &path, int sensors, int days, int years)
{
    QFile schema(QStringLiteral(PELVARO_SCHEMA_SQL));
    if (!schema.open(QIODevice::ReadOnly)) {
        return false;
    }
    QByteArray sql = schema.readAll();
    if (qEnvironmentVariable("PELVARO_BENCH_KEY") == QLatin1String("hour")) {
        sql += "DROP TABLE Stundenwerte;\n"
               "CREATE TABLE Stundenwerte (Stunde DATETIME NOT NULL, SensorNummer INTEGER NOT "
               "NULL, Anzahl INTEGER NOT NULL, Minimum REAL NOT NULL, Summe REAL NOT NULL, "
               "Maximum REAL NOT NULL, PRIMARY KEY (Stunde, SensorNummer)) WITHOUT ROWID;\n";
    }
    const QDateTime firstRow = kNewest.addDays(-days).addSecs(10);
    const qint64 stores = firstRow.secsTo(kNewest) / 10 + 1;
    const QDateTime firstHour = kNewest.addYears(-years);
    const QDateTime werteHour(firstRow.date(), QTime(firstRow.time().hour(), 0), Qt::UTC);
    const QDateTime openHour(kNewest.date(), QTime(kNewest.time().hour(), 0), Qt::UTC);
    sql += "BEGIN;\n"
           "WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < "
           + QByteArray::number(sensors)
           + "), t(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM t WHERE i < "
           + QByteArray::number(stores - 1) + ") INSERT INTO Werte SELECT n, datetime('"
           + text(firstRow)
           + "', '+' || (i * 10) || ' seconds'), round(20 + 5 * sin(i / 360.0 + n) + n, 3) "
             "FROM t CROSS JOIN s;\n"
             "WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < "
           + QByteArray::number(sensors)
           + "), h(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM h WHERE datetime('" + text(firstHour)
           + "', '+' || (i + 1) || ' hours') < '" + text(werteHour)
           + "') INSERT INTO Stundenwerte SELECT datetime('" + text(firstHour)
           + "', '+' || i || ' hours'), n, 360, 15 + n, 360 * (20 + n), 25 + n FROM h CROSS "
             "JOIN s;\n"
             "INSERT INTO Stundenwerte SELECT substr(Zeit, 1, 13) || ':00:00', SensorNummer, "
             "count(*), min(MessWert), sum(MessWert), max(MessWert) FROM Werte WHERE Zeit < '"
           + text(openHour) + "' GROUP BY 1, 2;\nCOMMIT;\nANALYZE;\n";
    return sqlite(path, sql);
}

void measure(WerteReader &reader, const char *name, int days, bool figures, int rounds)
{
    std::vector<double> ms;
    WerteReader::Series series;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        series = reader.series(1, kNewest.addDays(-days), kNewest, 1000, figures);
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    qint64 rows = 0;
    for (const WerteReader::Bucket &bucket : series.buckets) {
        rows += bucket.anzahl;
    }
    std::printf("%-9s %-13s %6lld s/Punkt  %5lld Punkte  %9lld Zeilen   Median %8.1f ms   "
                "langsamste %8.1f ms\n",
                name, series.fromFigures ? "Stundenwerte" : "Werte",
                static_cast<long long>(series.secondsPerBucket),
                static_cast<long long>(series.buckets.size()), static_cast<long long>(rows),
                ms.at(ms.size() / 2), ms.back());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto arg = [&args](int i, int fallback) {
        return args.size() > i ? args.at(i).toInt() : fallback;
    };
    const int sensors = arg(1, 10);
    const int days = arg(2, 31);
    const int years = arg(3, 10);
    const int rounds = std::max(1, arg(4, 5));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Messwerte.mdb"));
    QElapsedTimer timer;
    timer.start();
    if (!build(path, sensors, days, years)) {
        return 1;
    }
    std::printf("%d Sensoren, Werte der letzten %d Tage (alle 10 s), Stundenwerte von %d Jahren, "
                "Schlüssel von Stundenwerte nach %s: angelegt in %.0f s, %.0f MB\n",
                sensors, days, years,
                qEnvironmentVariable("PELVARO_BENCH_KEY") == QLatin1String("hour")
                    ? "Stunde, SensorNummer"
                    : "dem Schema",
                double(timer.elapsed()) / 1000, double(QFile(path).size()) / 1e6);
    WerteReader reader(path);
    measure(reader, "1 Tag", 1, false, rounds);
    measure(reader, "1 Tag", 1, true, rounds);
    measure(reader, "30 Tage", 30, false, rounds);
    measure(reader, "30 Tage", 30, true, rounds);
    measure(reader, "1 Jahr", 365, true, rounds);
    measure(reader, "10 Jahre", 3652, true, rounds);
    return 0;
}
