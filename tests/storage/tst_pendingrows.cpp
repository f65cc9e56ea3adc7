#include "runtime/runtimeerror.h"
#include "storage/pendingrows.h"
#include "storage/recoveryfile.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList contents(const PendingRows &rows)
{
    QStringList texts;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const PendingRows::Row &row = rows.at(i);
        texts << QStringLiteral("%1;%2;%3")
                     .arg(row.sensorNummer)
                     .arg(PendingRows::zeitOf(row).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                     .arg(row.wert, 0, 'g', 17);
    }
    return texts;
}

} // namespace

// Rows that wait to be written: in memory, bounded, and in the recovery file over a restart.
class tst_PendingRows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oldestDroppedPastTheCapacity();
    void recoveryFileKeepsEveryRow();
    void malformedRecoveryFile_data();
    void malformedRecoveryFile();
};

void tst_PendingRows::oldestDroppedPastTheCapacity()
{
    PendingRows rows(3);
    const QDateTime zeit(QDate(2026, 12, 5), QTime(8, 4, 9));
    for (int sensor = 1; sensor <= 5; ++sensor) {
        rows.append(sensor, zeit.addSecs(sensor), sensor / 2.0);
    }
    QCOMPARE(contents(rows), (QStringList{"3;2026-12-05 08:04:12;1.5", "4;2026-12-05 08:04:13;2",
                                          "5;2026-12-05 08:04:14;2.5"}));
    QCOMPARE(rows.dropped(), 2);
}

void tst_PendingRows::recoveryFileKeepsEveryRow()
{
    QTemporaryDir dir;
    const QString path = recoveryFilePath(dir.filePath(QStringLiteral("Messwerte.mdb")));
    QCOMPARE(path, dir.filePath(QStringLiteral("Messwerte.mdb.ausstehend")));
    PendingRows none;
    QVERIFY(!readRecoveryFile(path, none));

    // Exact values, and local times at both ends of daylight saving time.
    PendingRows rows;
    rows.append(-4, QDateTime(QDate(2026, 3, 29), QTime(1, 59, 59)), 0.1 + 0.2);
    rows.append(7, QDateTime(QDate(2026, 10, 25), QTime(2, 30, 0)), -1e300);
    writeRecoveryFile(path, rows);
    writeRecoveryFile(path, rows); // replaces, never appends

    PendingRows back;
    back.append(1, QDateTime(QDate(2026, 1, 1), QTime(0, 0)), 5);
    QVERIFY(readRecoveryFile(path, back));
    QCOMPARE(contents(back), QStringList{"1;2026-01-01 00:00:00;5"} + contents(rows));
}

void tst_PendingRows::malformedRecoveryFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("line");
    const QByteArray header("SensorNummer;Zeit;MessWert\n");
    const auto row = [&header](const char *name, const char *rows, int line, bool headed = true) {
        QTest::newRow(name) << (headed ? header : QByteArray()) + rows << line;
    };
    row("no header", "7;2026-12-05 08:04:09;21.5\n", 1, false);
    row("sensor not a number", "x;2026-12-05 08:04:09;21.5\n", 2);
    row("no time", "7;2026-12-05 08:04:09;1\n7;gestern;21.5\n", 3);
    row("value not a number", "7;2026-12-05 08:04:09;warm\n", 2);
    row("value infinite", "7;2026-12-05 08:04:09;inf\n", 2);
    row("field missing", "7;21.5\n", 2);
    row("cut off", "7;2026-12-05 08:04:09;21.5\n8;2026-12", 3);
}

void tst_PendingRows::malformedRecoveryFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, line);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("Messwerte.mdb.ausstehend")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    PendingRows rows;
    try {
        readRecoveryFile(file.fileName(), rows);
        QFAIL("malformed file read");
    } catch (const RuntimeError &error) {
        const QString expected =
            QStringLiteral("'%1' mit noch nicht gespeicherten Messwerten ist in Zeile %2 unlesbar")
                .arg(file.fileName())
                .arg(line);
        QVERIFY2(error.description().contains(expected), qPrintable(error.description()));
    }
    QVERIFY(rows.isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
}

QTEST_GUILESS_MAIN(tst_PendingRows)
#include "tst_pendingrows.moc"
