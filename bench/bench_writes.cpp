// What a store writes to the disk: bytes written per store of 90 rows (9 devices of 10 sensors)
// on an SQLite file that already holds a week of their rows at the default rhythm (a store every
// 10 s), as the kernel counts them for this process (/proc/self/io, write_bytes: the database,
// its log or journal and the derived figures alike). The stores run as the program makes them,
// on the store's own thread, one a second for a minute; then as many again back to back, so that
// the log's copy into the file (every thousand pages) is counted too. Builds its own file.
//
//   build/bench/bench_writes [stores]
//   PELVARO_BENCH_JOURNAL=delete   an older file's rollback journal instead of the schema's log
//   PELVARO_BENCH_INDEX=sensor     an older file's covering index (SensorNummer, Zeit, MessWert)
//   PELVARO_BENCH_HOURS=none       without the table of hourly figures
//   PELVARO_BENCH_SCHEMA=FILE      another schema than docs/schema.sql

#include "storage/database.h"
#include "storage/pendingrows.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

constexpr int kSensors = 90;
constexpr int kWeekOfStores = 7 * 24 * 360;

qint64 writtenBytes()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("write_bytes:")) {
            return line.mid(12).trimmed().toLongLong();
        }
    }
    return -1;
}

bool sqlite(const QString &path, const QByteArray &statements)
{
    QProcess process;
    process.start(QStringLiteral("sqlite3"), {path});
    process.write(statements);
    process.closeWriteChannel();
    return process.waitForFinished(-1) && process.exitCode() == 0;
}

QString weekOfRows(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("Messwerte.mdb"));
    const QString other = qEnvironmentVariable("PELVARO_BENCH_SCHEMA");
    QFile schema(other.isEmpty() ? QStringLiteral(PELVARO_SCHEMA_SQL) : other);
    if (!schema.open(QIODevice::ReadOnly)) {
        return {};
    }
    QByteArray sql = schema.readAll();
    if (qEnvironmentVariable("PELVARO_BENCH_JOURNAL") == QLatin1String("delete")) {
        sql += "PRAGMA journal_mode = DELETE;\n";
    }
    if (qEnvironmentVariable("PELVARO_BENCH_INDEX") == QLatin1String("sensor")) {
        sql += "DROP INDEX WerteZeit;\n"
               "CREATE INDEX WerteSensorZeit ON Werte (SensorNummer, Zeit, MessWert);\n";
    }
    const bool hours = qEnvironmentVariable("PELVARO_BENCH_HOURS") != QLatin1String("none");
    if (!hours) {
        sql += "DROP TABLE Stundenwerte;\n";
    }
    // The week ends now, so that the stores append to it as the program's would.
    sql += QByteArrayLiteral("BEGIN;\n"
                             "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < STORES - 1), s(k) AS (SELECT 1 UNION ALL SELECT k + 1 "
                             "FROM s WHERE k < SENSORS) INSERT INTO Werte SELECT k, "
                             "datetime('now', 'localtime', '-SECONDS seconds', '+' || (i * 10) "
                             "|| ' seconds'), 20 + k / 10.0 + (i % 360) / 100.0 FROM n, s;\n")
               .replace("STORES", QByteArray::number(kWeekOfStores))
               .replace("SENSORS", QByteArray::number(kSensors))
               .replace("SECONDS", QByteArray::number(kWeekOfStores * 10));
    if (hours) {
        sql += "INSERT INTO Stundenwerte SELECT substr(Zeit, 1, 13) || ':00:00', SensorNummer, "
               "count(*), min(MessWert), sum(MessWert), max(MessWert) FROM Werte GROUP BY 1, 2;\n";
    }
    sql += "COMMIT;\n";
    return sqlite(path, sql) ? path : QString();
}

// count stores of kSensors rows, pauseMs apart; the bytes written per store, or -1. Their rows
// carry the times of the default rhythm from *zeit on, whatever the pause: stores always lie a
// second or more apart, and rows of many stores under one time would land in the middle of the
// index instead of at its end.
double perStore(PendingRows &rows, int count, int pauseMs, QDateTime *next)
{
    const qint64 before = writtenBytes();
    for (int store = 0; store < count; ++store) {
        const QDateTime zeit = *next;
        *next = next->addSecs(10);
        for (qint32 sensor = 1; sensor <= kSensors; ++sensor) {
            rows.append(sensor, zeit, 20.0 + sensor / 10.0 + store % 7);
        }
        if (!rows.write()) {
            std::fprintf(stderr, "Speichern fehlgeschlagen: %s\n", qPrintable(rows.failure()));
            return -1;
        }
        if (pauseMs > 0) {
            QThread::msleep(static_cast<unsigned long>(pauseMs));
        }
    }
    return static_cast<double>(writtenBytes() - before) / count;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int stores = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    if (writtenBytes() < 0) {
        std::fprintf(stderr, "/proc/self/io lässt sich nicht lesen\n");
        return 1;
    }
    QTemporaryDir dir;
    QElapsedTimer timer;
    timer.start();
    const QString path = weekOfRows(dir);
    if (path.isEmpty()) {
        std::fprintf(stderr, "sqlite3 fehlt oder scheitert\n");
        return 1;
    }
    std::printf("a week of %d sensors: %lld rows, %.0f MB, made in %.0f s\n", kSensors,
                static_cast<long long>(kWeekOfStores) * kSensors,
                static_cast<double>(QFileInfo(path).size()) / 1e6,
                static_cast<double>(timer.elapsed()) / 1e3);

    PendingRows rows;
    rows.setDatabaseName(path);
    rows.open();
    QDateTime zeit = QDateTime::currentDateTime();
    const double paced = perStore(rows, stores, 1000, &zeit);
    const double backToBack = perStore(rows, stores * 10, 0, &zeit);
    if (paced < 0 || backToBack < 0) {
        return 1;
    }
    std::printf("bytes written per store of %d rows: %.0f (%d stores a second apart), "
                "%.0f (%d back to back, log copies included)\n",
                kSensors, paced, stores, backToBack, stores * 10);
    return 0;
}
