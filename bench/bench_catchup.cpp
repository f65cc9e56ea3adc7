// How long LangzeitAbgleich takes to make Stundenwerte from a file that never had them: Werte of
// SENSORS sensors at a store every 10 s for DAYS days (default a year of ten: 31.5 million rows),
// walked through as the store's thread walks it, a step at a time with its pauses between. Prints
// the time to `bereit`, the number of steps and how long the longest step held the database (a
// store waits at most that long). Builds its own SQLite file from docs/schema.sql; the file of a
// year takes a few minutes and about 3 GB in the temporary folder.
//
//   build/bench/bench_catchup [SENSORS [DAYS]]   default 10 365

#include "storage/database.h"
#include "storage/langzeitabgleich.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

bool build(const QString &path, int sensors, int days)
{
    QFile schema(QStringLiteral(PELVARO_SCHEMA_SQL));
    if (!schema.open(QIODevice::ReadOnly)) {
        return false;
    }
    const qint64 stores = qint64(days) * 8640;
    const QByteArray sql = schema.readAll()
                           + "BEGIN;\nWITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 "
                             "FROM s WHERE n < "
                           + QByteArray::number(sensors)
                           + "), t(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM t WHERE i < "
                           + QByteArray::number(stores - 1)
                           + ") INSERT INTO Werte SELECT n, datetime('2025-12-08 00:00:00', '+' "
                             "|| (i * 10) || ' seconds'), round(20 + 5 * sin(i / 360.0 + n), 3) "
                             "FROM t CROSS JOIN s;\nCOMMIT;\n";
    QProcess process;
    process.start(QStringLiteral("sqlite3"), {path});
    process.write(sql);
    process.closeWriteChannel();
    return process.waitForFinished(-1) && process.exitCode() == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int sensors = args.size() > 1 ? args.at(1).toInt() : 10;
    const int days = args.size() > 2 ? args.at(2).toInt() : 365;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Messwerte.mdb"));
    QElapsedTimer timer;
    timer.start();
    if (!build(path, sensors, days)) {
        std::fprintf(stderr, "sqlite3 konnte die Datei nicht anlegen.\n");
        return 1;
    }
    std::printf("%d Sensoren, %d Tage alle 10 s: %lld Zeilen, angelegt in %.0f s, %.0f MB\n",
                sensors, days, static_cast<long long>(qint64(sensors) * days * 8640),
                double(timer.elapsed()) / 1000, double(QFile(path).size()) / 1e6);
    const std::unique_ptr<Database> database = OpenDatabase(path);
    QSqlDatabase db = database->connection();
    LangzeitAbgleich abgleich;
    abgleich.open(db);
    if (!abgleich.enabled()) {
        std::fprintf(stderr, "Stundenwerte werden in dieser Datei nicht geführt.\n");
        return 1;
    }
    std::vector<double> steps;
    timer.restart();
    int tenth = 0;
    while (!abgleich.stand().bereit) {
        QThread::msleep(static_cast<unsigned long>(abgleich.pauseMs()));
        QElapsedTimer step;
        step.start();
        abgleich.step(db);
        steps.push_back(double(step.nsecsElapsed()) / 1e6);
        if (int(abgleich.stand().fortschritt * 10) > tenth) {
            tenth = int(abgleich.stand().fortschritt * 10);
            std::printf("  %3d %% nach %.0f s\n", tenth * 10, double(timer.elapsed()) / 1000);
            std::fflush(stdout);
        }
    }
    const double total = double(timer.elapsed()) / 1000;
    std::sort(steps.begin(), steps.end());
    QSqlQuery count(db);
    count.exec(QStringLiteral("SELECT count(*), sum(Anzahl) FROM Stundenwerte"));
    count.next();
    std::printf("bereit nach %.1f s: %zu Schritte, Median %.1f ms, langsamster %.1f ms; "
                "%lld Stundenwerte über %lld Zeilen\n",
                total, steps.size(), steps.at(steps.size() / 2), steps.back(),
                count.value(0).toLongLong(), count.value(1).toLongLong());
    return 0;
}
