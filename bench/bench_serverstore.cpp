// How long a store of 99 rows into a PostgreSQL server takes over its Unix socket, through the
// program's own Database: one transaction per store (BEGIN, 99 INSERTs as the program writes them,
// COMMIT), and for comparison 99 statements that each commit on their own. Prints the median of
// the rounds. The server is a throwaway one (tests/support/pgserver.sh) with PostgreSQL's default
// durability, so every COMMIT waits for its flush to disk.
//
//   build/bench/bench_serverstore [rounds]

#include "storage/database.h"
#include "storage/mittelwerte.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRows = 99;

bool server(const char *command, const QString &folder)
{
    return QProcess::execute(QStringLiteral(PELVARO_PGSERVER),
                             {QString::fromLatin1(command), folder})
           == 0;
}

bool createTables(const QString &folder)
{
    QFile schema(QStringLiteral(PELVARO_SCHEMA_POSTGRESQL));
    if (!schema.open(QIODevice::ReadOnly)) {
        return false;
    }
    bool ok = true;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("setup"));
        db.setConnectOptions(QStringLiteral("host='%1' dbname=pelvaro user=pelvaro").arg(folder));
        ok = db.open();
        QString script;
        for (const QString &line : QString::fromUtf8(schema.readAll()).split(QLatin1Char('\n'))) {
            if (!line.trimmed().startsWith(QLatin1String("--"))) {
                script += line + QLatin1Char('\n');
            }
        }
        for (const QString &statement : script.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            if (ok && !statement.trimmed().isEmpty()) {
                QSqlQuery query(db);
                ok = query.exec(statement);
                if (!ok) {
                    std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
                }
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));
    return ok;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One store as the program makes it; milliseconds.
double store(Database &db, bool oneTransaction, int round)
{
    QElapsedTimer timer;
    timer.start();
    if (oneTransaction) {
        db.Execute(QStringLiteral("BEGIN"));
    }
    const QDateTime now = QDateTime::currentDateTime();
    for (int sensor = 1; sensor <= kRows; ++sensor) {
        db.Execute(insertStatement(sensor, 20.0 + sensor / 7.0 + round / 1000.0, now));
    }
    if (oneTransaction) {
        db.Execute(QStringLiteral("COMMIT"));
    }
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 50;
    const QString folder =
        QStringLiteral("/tmp/pelvaro-bench-%1").arg(QCoreApplication::applicationPid());
    if (!server("start", folder)) {
        std::fprintf(stderr, "bench_serverstore: der Testserver startet nicht\n");
        return 1;
    }
    int status = 0;
    if (!createTables(folder)) {
        status = 1;
    } else {
        const std::unique_ptr<Database> db =
            OpenDatabase(QStringLiteral("postgresql://pelvaro@/pelvaro?host=") + folder);
        for (int warmUp = 0; warmUp < 5; ++warmUp) {
            store(*db, true, -1);
        }
        std::vector<double> transaction;
        std::vector<double> single;
        for (int round = 0; round < rounds; ++round) {
            transaction.push_back(store(*db, true, round));
            single.push_back(store(*db, false, round));
        }
        db->Close();
        std::printf("Speichern von %d Zeilen in PostgreSQL über den Unix-Socket, Median aus %d:\n"
                    "  eine Transaktion (BEGIN, %d INSERT, COMMIT): %.2f ms\n"
                    "  %d einzelne Anweisungen:                    %.2f ms\n",
                    kRows, rounds, kRows, median(transaction), kRows, median(single));
    }
    server("stop", folder);
    return status;
}
