#include "storage/pendingrows.h"
#include "storage/recoveryfile.h"
#include "support/eitherdatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Werte and Stundenwerte in an SQLite file or a schema of the test server.
struct Store : EitherDatabase
{
    using EitherDatabase::EitherDatabase;

    // "Stunde Sensor Anzahl Minimum Summe Maximum" per line, in key order.
    QStringList lines(const QString &query) const
    {
        QStringList lines;
        for (const QVariantList &row : sql().rows(query)) {
            QStringList fields;
            for (const QVariant &field : row) {
                fields << field.toString();
            }
            lines << fields.join(QLatin1Char(' '));
        }
        return lines;
    }
    QStringList figures() const
    {
        const QString stunde = isServer()
                                   ? QStringLiteral("to_char(Stunde, 'YYYY-MM-DD HH24:MI:SS')")
                                   : QStringLiteral("Stunde");
        return lines(QStringLiteral("SELECT %1, SensorNummer, Anzahl, Minimum, Summe, Maximum "
                                    "FROM Stundenwerte WHERE SensorNummer <> 1 ORDER BY Stunde, "
                                    "SensorNummer")
                         .arg(stunde));
    }
    // What SQL makes of Werte itself.
    QStringList fromWerte() const
    {
        const QString stunde =
            isServer()
                ? QStringLiteral("to_char(date_trunc('hour', Zeit), 'YYYY-MM-DD HH24:MI:SS')")
                : QStringLiteral("substr(Zeit, 1, 13) || ':00:00'");
        return lines(QStringLiteral("SELECT %1 AS s, SensorNummer, count(*), min(MessWert), "
                                    "sum(MessWert), max(MessWert) FROM Werte WHERE "
                                    "SensorNummer <> 1 GROUP BY s, "
                                    "SensorNummer ORDER BY s, SensorNummer")
                         .arg(stunde));
    }
};

} // namespace

// The hourly figures as stores, a start's recovery file and the check against Werte leave them,
// on SQLite and PostgreSQL, in the program's time zone (Europe/Berlin): they must be what SQL
// computes from Werte, hour by hour of its text.
class tst_Stundenwerte : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void figures_data();
    void figures();

private:
    // The recovery files of a server's schema.
    QTemporaryDir m_state;
};

void tst_Stundenwerte::figures_data()
{
    QTest::addColumn<bool>("server");
    // Rows in Werte before the program starts: "sensor|Zeit|MessWert".
    QTest::addColumn<QStringList>("before");
    // The recovery file of an earlier run, as its lines.
    QTest::addColumn<QStringList>("recovered");
    // Stores, each "store|sensor|UTC time|value"; MessWert above 1000 is refused. A last store
    // (sensor 1, left out of the comparison) follows in a later hour, so that every hour of the
    // case is closed.
    QTest::addColumn<QStringList>("stores");
    // Worked out by hand: "Stunde Sensor Anzahl Minimum Summe Maximum".
    QTest::addColumn<QStringList>("expected");
    for (const bool server : {false, true}) {
        const auto row = [server](const char *name) {
            return &(QTest::addRow("%s: %s", server ? "PostgreSQL" : "SQLite", name) << server);
        };
        *row("nothing stored") << QStringList() << QStringList() << QStringList() << QStringList();
        *row("one row") << QStringList() << QStringList()
                        << QStringList{"1|7|2026-12-05T07:04:09|21.5"}
                        << QStringList{"2026-12-05 08:00:00 7 1 21.5 21.5 21.5"};
        *row("empty hours between")
            << QStringList() << QStringList()
            << QStringList{"1|7|2026-12-05T07:10:00|1", "2|7|2026-12-05T10:20:00|2"}
            << QStringList{"2026-12-05 08:00:00 7 1 1 1 1", "2026-12-05 11:00:00 7 1 2 2 2"};
        *row("two stores, two sensors, one hour")
            << QStringList() << QStringList()
            << QStringList{"1|7|2026-12-05T07:10:00|1", "1|8|2026-12-05T07:10:00|100",
                           "2|7|2026-12-05T07:50:00|3.5"}
            << QStringList{"2026-12-05 08:00:00 7 2 1 4.5 3.5",
                           "2026-12-05 08:00:00 8 1 100 100 100"};
        *row("the hour that repeats when the clocks go back")
            << QStringList() << QStringList()
            << QStringList{"1|7|2026-10-25T00:30:00|1", "2|7|2026-10-25T01:30:00|3",
                           "3|7|2026-10-25T02:10:00|5"}
            << QStringList{"2026-10-25 02:00:00 7 2 1 4 3", "2026-10-25 03:00:00 7 1 5 5 5"};
        *row("the hour that is skipped in spring")
            << QStringList() << QStringList()
            << QStringList{"1|7|2026-03-29T00:59:00|1", "2|7|2026-03-29T01:00:00|2"}
            << QStringList{"2026-03-29 01:00:00 7 1 1 1 1", "2026-03-29 03:00:00 7 1 2 2 2"};
        *row("rows of the recovery file with old times")
            << QStringList()
            << QStringList{"SensorNummer;Zeit;MessWert", "7;2026-12-01 10:15:00;2",
                           "7;2026-12-01 10:45:00;4", "8;2026-12-02 23:59:59;-1.25"}
            << QStringList{"1|7|2026-12-05T07:10:00|1"}
            << QStringList{"2026-12-01 10:00:00 7 2 2 6 4",
                           "2026-12-02 23:00:00 8 1 -1.25 -1.25 -1.25",
                           "2026-12-05 08:00:00 7 1 1 1 1"};
        *row("refused rows") << QStringList() << QStringList()
                             << QStringList{"1|7|2026-12-05T07:10:00|5",
                                            "1|8|2026-12-05T07:10:00|5000",
                                            "2|7|2026-12-05T07:20:00|7000",
                                            "2|8|2026-12-05T07:20:00|1"}
                             << QStringList{"2026-12-05 08:00:00 7 1 5 5 5",
                                            "2026-12-05 08:00:00 8 1 1 1 1"};
        *row("a later store with a row of a closed hour")
            << QStringList() << QStringList()
            << QStringList{"1|7|2026-12-05T07:10:00|1", "2|7|2026-12-05T08:10:00|2",
                           "3|7|2026-12-05T07:30:00|4", "3|7|2026-12-05T08:20:00|8"}
            << QStringList{"2026-12-05 08:00:00 7 2 1 5 4", "2026-12-05 09:00:00 7 2 2 10 8"};
        *row("rows that were there before, in the hour a store adds to")
            << QStringList{"7|2026-11-01 05:00:00|1", "7|2026-11-01 05:30:00|2",
                           "8|2025-01-01 00:00:00|9"}
            << QStringList() << QStringList{"1|7|2026-11-01T04:40:00|3"}
            << QStringList{"2025-01-01 00:00:00 8 1 9 9 9", "2026-11-01 05:00:00 7 3 1 6 3"};
    }
}

void tst_Stundenwerte::figures()
{
    QFETCH(bool, server);
    QFETCH(QStringList, before);
    QFETCH(QStringList, recovered);
    QFETCH(QStringList, stores);
    QFETCH(QStringList, expected);
    qputenv("STATE_DIRECTORY", m_state.path().toUtf8());
    Store store(server);
    if (server) {
        store.sql().exec(QStringLiteral("ALTER TABLE Werte ADD CHECK (MessWert <= 1000)"));
    } else {
        store.sql().rows(QStringLiteral("CREATE TRIGGER nein BEFORE INSERT ON Werte WHEN "
                                        "NEW.MessWert > 1000 BEGIN SELECT RAISE(ABORT, 'zu "
                                        "gross'); END"));
    }
    for (const QString &row : std::as_const(before)) {
        const QStringList field = row.split(QLatin1Char('|'));
        store.sql().exec(QStringLiteral("INSERT INTO Werte VALUES (%1, '%2', %3)")
                             .arg(field.at(0), field.at(1), field.at(2)));
    }
    PendingRows rows;
    rows.setDatabaseName(store.name());
    if (!recovered.isEmpty()) {
        QFile file(recoveryFilePath(store.name()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(recovered.join(QLatin1Char('\n')).toUtf8() + '\n');
    }
    rows.open();
    rows.takeIn();
    QString current;
    for (const QString &entry : std::as_const(stores)) {
        const QStringList field = entry.split(QLatin1Char('|'));
        if (field.at(0) != current && !current.isEmpty()) {
            rows.write();
        }
        current = field.at(0);
        QDateTime zeit = QDateTime::fromString(field.at(2), Qt::ISODate);
        zeit.setTimeSpec(Qt::UTC);
        rows.append(field.at(1).toInt(), zeit.toLocalTime(), field.at(3).toDouble());
    }
    if (!rows.isEmpty()) {
        rows.write();
    }
    rows.append(1, QDateTime(QDate(2027, 1, 1), QTime(12, 0)), 0);
    rows.write();
    QCOMPARE(rows.size(), 0);
    QVERIFY(rows.state().langzeit.vorhanden);
    QTRY_VERIFY_WITH_TIMEOUT(rows.state().langzeit.bereit, 20000);
    QCOMPARE(store.fromWerte(), expected);
    QCOMPARE(store.figures(), expected);
}

int main(int argc, char *argv[])
{
    // The program's local time, with both changes of the clock in its year.
    qputenv("TZ", "Europe/Berlin");
    QCoreApplication app(argc, argv);
    tst_Stundenwerte test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_stundenwerte.moc"
