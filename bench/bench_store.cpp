// What storing costs: the heap taken by a day's backlog of pending rows, the time of one store of
// 99 rows as one transaction against 99 statements each in its own transaction and as the program
// makes it (on the store's thread, waiting for its outcome), and the time to
// write a full day's backlog in one transaction, with and without a row the database refuses. Real
// SQLite files in a temporary folder.
//
//   build/bench/bench_store [rounds]      (PELVARO_BENCH_JOURNAL=delete: rollback journal)

#include "storage/database.h"
#include "storage/mittelwerte.h"
#include "storage/pendingrows.h"
#include "storage/registry.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <vector>

namespace {

constexpr int kSensors = 99;
constexpr qsizetype kDayOfRows = 860000;

QString freshDatabase(const QTemporaryDir &dir, const QString &name)
{
    const QString path = dir.filePath(name);
    QProcess sqlite;
    sqlite.setStandardInputFile(QStringLiteral(PELVARO_SCHEMA_SQL));
    sqlite.start(QStringLiteral("sqlite3"), {path});
    if (!sqlite.waitForFinished() || sqlite.exitCode() != 0) {
        std::fprintf(stderr, "sqlite3 fehlt oder scheitert an %s\n", qPrintable(path));
        std::exit(1);
    }
    // PELVARO_BENCH_JOURNAL=delete: an older file's rollback journal instead of the schema's log.
    if (qEnvironmentVariable("PELVARO_BENCH_JOURNAL") == QLatin1String("delete")) {
        OpenDatabase(path)->Execute(QStringLiteral("PRAGMA journal_mode = DELETE"));
    }
    return path;
}

double medianMs(std::vector<qint64> &ns)
{
    std::sort(ns.begin(), ns.end());
    return static_cast<double>(ns.at(ns.size() / 2)) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    const QDateTime zeit = QDateTime::currentDateTime();

    // Heap in use before and after a day's backlog, from the allocator's own count.
    const std::size_t before = mallinfo2().uordblks;
    {
        PendingRows rows;
        for (qsizetype i = 0; i < kDayOfRows; ++i) {
            rows.append(static_cast<qint32>(i % kSensors + 1), zeit.addSecs(i / kSensors * 10),
                        20.0 + static_cast<double>(i % 7));
        }
        const std::size_t after = mallinfo2().uordblks;
        std::printf("%lld pending rows: %.1f MB heap (%.1f bytes a row, %zu bytes of data)\n",
                    static_cast<long long>(rows.size()), static_cast<double>(after - before) / 1e6,
                    static_cast<double>(after - before) / static_cast<double>(rows.size()),
                    sizeof(PendingRows::Row));
    }

    QTemporaryDir dir;
    const std::unique_ptr<Database> oneDb =
        OpenDatabase(freshDatabase(dir, QStringLiteral("eins.mdb")));
    const std::unique_ptr<Database> singleDb =
        OpenDatabase(freshDatabase(dir, QStringLiteral("einzeln.mdb")));
    const auto statement = [&zeit](qsizetype i) {
        return insertStatement(static_cast<qint32>(i + 1), 20.5 + static_cast<double>(i), zeit);
    };
    std::vector<qint64> oneTransaction;
    std::vector<qint64> singleStatements;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        const QString failure = oneDb->executeInTransaction(kSensors, statement);
        oneTransaction.push_back(timer.nsecsElapsed());
        timer.restart();
        for (qsizetype i = 0; i < kSensors; ++i) {
            singleDb->Execute(statement(i));
        }
        singleStatements.push_back(timer.nsecsElapsed());
        if (!failure.isEmpty()) {
            std::fprintf(stderr, "Speichern fehlgeschlagen: %s\n", qPrintable(failure));
            return 1;
        }
    }
    const double one = medianMs(oneTransaction);
    const double single = medianMs(singleStatements);
    std::printf("store of %d rows, median of %d: one transaction %.2f ms, %d statements %.2f ms "
                "(%.0fx)\n",
                kSensors, rounds, one, kSensors, single, single / one);

    // Stores as the program makes them, on the store's own thread with its own connection: rounds
    // of kSensors rows each, the time of each store; false when one that should land did not.
    const auto timedStores = [&](PendingRows &rows, bool shouldLand, std::vector<qint64> &ns) {
        for (int round = 0; round < rounds; ++round) {
            for (qint32 i = 0; i < kSensors; ++i) {
                rows.append(i + 1, zeit.addSecs(round), 20.5 + i);
            }
            QElapsedTimer timer;
            timer.start();
            const bool written = rows.write();
            ns.push_back(timer.nsecsElapsed());
            if (shouldLand && !written) {
                std::fprintf(stderr, "Speichern fehlgeschlagen: %s\n", qPrintable(rows.failure()));
                return false;
            }
        }
        return true;
    };
    PendingRows waiting;
    waiting.setDatabaseName(freshDatabase(dir, QStringLiteral("faden.mdb")));
    waiting.open();
    std::vector<qint64> onItsThread;
    if (!timedStores(waiting, true, onItsThread)) {
        return 1;
    }
    std::printf("store of %d rows on the store's thread, median of %d: %.2f ms\n", kSensors, rounds,
                medianMs(onItsThread));

    // A store that fails (its table is gone): what the append of its rows to the recovery file
    // and that file's sync add, as the rows of an outage pile up.
    PendingRows failing;
    const QString failingPath = freshDatabase(dir, QStringLiteral("ohne.mdb"));
    OpenDatabase(failingPath)->Execute(QStringLiteral("DROP TABLE Werte"));
    failing.setDatabaseName(failingPath);
    failing.open();
    std::vector<qint64> failedStores;
    timedStores(failing, false, failedStores);
    std::printf("failed store of %d more rows each, median of %d: %.2f ms (%lld rows in '%s')\n",
                kSensors, rounds, medianMs(failedStores), static_cast<long long>(failing.size()),
                qPrintable(QFileInfo(failing.recoveryFile()).fileName()));

    // The worst catch-up: a full day's backlog written by the first store that works again.
    PendingRows pending;
    pending.setDatabaseName(freshDatabase(dir, QStringLiteral("tag.mdb")));
    pending.open();
    for (qsizetype i = 0; i < kDayOfRows; ++i) {
        pending.append(static_cast<qint32>(i % kSensors + 1), zeit.addSecs(i / kSensors * 10),
                       21.5);
    }
    QElapsedTimer timer;
    timer.start();
    const bool written = pending.write();
    std::printf("catch-up of %lld rows in one transaction: %.1f s (%s)\n",
                static_cast<long long>(kDayOfRows), static_cast<double>(timer.elapsed()) / 1e3,
                written ? "geschrieben" : qPrintable(pending.failure()));

    // The same backlog with one row the database refuses, near its end: what finding it by
    // halving under savepoints adds.
    Registry refusing;
    PendingRows refusingRows;
    refusing.Datenbank = OpenDatabase(freshDatabase(dir, QStringLiteral("abgelehnt.mdb")));
    refusing.Datenbank->Execute(QStringLiteral("CREATE TRIGGER nein BEFORE INSERT ON Werte WHEN "
                                               "NEW.MessWert > 100 BEGIN SELECT RAISE(ABORT, "
                                               "'zu gross'); END"));
    refusingRows.setDatabaseName(refusing.Datenbank->path());
    refusingRows.open();
    for (qsizetype i = 0; i < kDayOfRows; ++i) {
        refusingRows.append(static_cast<qint32>(i % kSensors + 1), zeit.addSecs(i / kSensors * 10),
                            i == kDayOfRows - 1000 ? 1000.0 : 21.5);
    }
    timer.restart();
    const bool refused = refusingRows.write();
    std::printf("the same with one refused row: %.1f s (%lld refused)\n",
                static_cast<double>(timer.elapsed()) / 1e3,
                static_cast<long long>(refusingRows.lastRefused()));
    return written && refused ? 0 : 1;
}
