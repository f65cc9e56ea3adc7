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
    QCOMPARE(sizeof(PendingRows::Row), std::size_t(16));
}

void tst_PendingRows::recoveryFileKeepsEveryRow()
{
    QTemporaryDir dir;
    const QString path = recoveryFilePath(dir.filePath(QStringLiteral("Messwerte.mdb")));
    QCOMPARE(path, dir.filePath(QStringLiteral("Messwerte.mdb.ausstehend")));
    PendingRows none;
    QVERIFY(!readRecoveryFile(path, none));

    PendingRows rows;
    rows.append(-4, QDateTime(QDate(2026, 3, 29), QTime(1, 59, 59)), 0.1 + 0.2);
    rows.append(7, QDateTime(QDate(2026, 10, 25), QTime(2, 30, 0)), -1e300);
    writeRecoveryFile(path, rows);
    writeRecoveryFile(path, rows); // replaces, never appends

    PendingRows back;
    back.append(1, QDateTime(QDate(2026, 1, 1), QTime(0, 0)), 5);
    QVERIFY(readRecoveryFile(path, back));
    QCOMPARE(contents(back), QStringList{"1;2026-01-01 00:00:00;5"} + contents(rows));
    QCOMPARE(back.at(1).wert, 0.1 + 0.2);
}

void tst_PendingRows::malformedRecoveryFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("line");
    const QByteArray header("SensorNummer;Zeit;MessWert\n");
    QTest::newRow("no header") << QByteArray("7;2026-12-05 08:04:09;21.5\n") << 1;
    QTest::newRow("sensor not a number") << header + "x;2026-12-05 08:04:09;21.5\n" << 2;
    QTest::newRow("no time") << header + "7;2026-12-05 08:04:09;1\n7;gestern;21.5\n" << 3;
    QTest::newRow("value not a number") << header + "7;2026-12-05 08:04:09;warm\n" << 2;
    QTest::newRow("value infinite") << header + "7;2026-12-05 08:04:09;inf\n" << 2;
    QTest::newRow("field missing") << header + "7;21.5\n" << 2;
    QTest::newRow("cut off") << header + "7;2026-12-05 08:04:09;21.5\n8;2026-12" << 3;
}

void tst_PendingRows::malformedRecoveryFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, line);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Messwerte.mdb.ausstehend"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    PendingRows rows;
    try {
        readRecoveryFile(path, rows);
        QFAIL("malformed file read");
    } catch (const RuntimeError &error) {
        const QString expected = QStringLiteral("'%1' mit noch nicht gespeicherten Messwerten ist "
                                                "in Zeile %2 unlesbar")
                                     .arg(path)
                                     .arg(line);
        QVERIFY2(error.description().contains(expected), qPrintable(error.description()));
    }
    QVERIFY(rows.isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
}

QTEST_GUILESS_MAIN(tst_PendingRows)
#include "tst_pendingrows.moc"
