#pragma once

#include "storage/stundenwerte.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

class BucketGrid;
class Database;
class QSqlQuery;

// Reads Werte for the status page through a connection of its own, opened read-only on the thread
// that uses it (the page's reader thread, or a test's). Every statement is short and finished
// before the next one begins, so the logger's own store, which waits at most 100 ms for a lock on
// an SQLite file, is not kept waiting.
//
// How it reads follows from whether Werte has the covering index (SensorNummer, Zeit, MessWert):
// with it, one sensor's range comes from the index alone; without it, an SQLite file is read in
// slices of rowids, so that no statement holds the file long, and a server scans the table. The
// answers are the same either way, except that an export without the index gives each sensor's
// rows in the order they were stored (which is their time order unless rows were taken in from a
// recovery file).
//
// Times are wall-clock times (see WallClock). A failure is a RuntimeError naming the database;
// the connection is then opened afresh by the next call.
class WerteReader
{
public:
    enum class Index { Unknown, Present, Missing };

    // The rows of one bucket: the time of its first row, and min, mean and max of MessWert.
    struct Bucket
    {
        QDateTime zeit;
        double minimum;
        double mittel;
        double maximum;
        qint64 anzahl;
    };
    struct Series
    {
        // The length of a bucket (see BucketGrid: a week's, or the longest month's).
        qint64 secondsPerBucket = 10;
        // "sekunden", "wochen" or "monate".
        QString raster = QStringLiteral("sekunden");
        // Whether figures of Stundenwerte went into a bucket.
        bool fromFigures = false;
        QList<Bucket> buckets;
    };
    // A row as the driver gives it, for an export that shows what is there.
    struct Row
    {
        qint32 sensorNummer;
        QVariant zeit;
        QVariant wert;
    };
    // Where an export stands: the sensors one after the other, each from von to bis by Zeit.
    struct Cursor
    {
        QList<qint32> sensors;
        QDateTime von;
        QDateTime bis;
        qsizetype sensor = 0;
        // The Zeit of the last row sent and how many rows with it were sent (rows may share a
        // Zeit: the hour that repeats when the clocks go back), or the last rowid of a slice.
        QString lastZeit;
        qint64 sentAtLastZeit = 0;
        qint64 lastRowid = 0;
        bool started = false;

        bool done() const { return sensor >= sensors.size(); }
        void nextSensor()
        {
            ++sensor;
            lastZeit.clear();
            sentAtLastZeit = 0;
            lastRowid = 0;
            started = false;
        }
    };
    struct Latest
    {
        qint32 sensorNummer;
        QDateTime zeit;
        double wert;
    };

    // What the database holds, as far as it can be told without reading all of Werte.
    struct Bestand
    {
        // Bytes of an SQLite file with its log, or of a server's Werte and Stundenwerte.
        std::optional<qint64> groesse;
        // The rows of Werte: from the first and last rowid of an SQLite file (exact unless rows
        // were deleted between them), a server's estimate.
        std::optional<qint64> zeilen;
        bool geschaetzt = true;
        // The smallest Zeit (without an index that begins with Zeit: that of the first row
        // stored).
        std::optional<QDateTime> aeltesteZeit;
    };

    static constexpr int kMaxBuckets = 10000;

    explicit WerteReader(QString databaseName);
    ~WerteReader();

    // Whether the covering index is there; Unknown where the database cannot tell (ODBC).
    Index index();
    // The statement that adds the index, one line, for SQLite and PostgreSQL alike.
    static QString indexStatement();

    // The sensor's rows with von <= Zeit <= bis in the buckets of BucketGrid, at most `punkte` of
    // them (at most kMaxBuckets) where the ladder allows; buckets without a row are left out.
    // Buckets of whole hours take the hours they hold whole from Stundenwerte: the hours before
    // the open one when figuresReady (LangzeitAbgleich has walked through Werte), otherwise only
    // those before the oldest row of Werte, of which the figures are all there is. The rest, and
    // every shorter bucket, comes from Werte, so that the answer is what Werte alone would give.
    Series series(qint32 sensor, const QDateTime &von, const QDateTime &bis, int punkte,
                  bool figuresReady);
    // At least limit rows of the export from where cursor stands (fewer at its end), advancing
    // it.
    QList<Row> page(Cursor &cursor, int limit);
    // The latest row by Zeit of each of the sensors that has one (without the index on an SQLite
    // file: among the rows stored last).
    QList<Latest> latest(const QList<qint32> &sensors);

    // A few short statements, never a count of the whole table.
    Bestand bestand();

    // The connection goes; the next call opens it again.
    void close();

private:
    // Rowids read by one statement without the index: a few milliseconds of the file each.
    static constexpr qint64 kSlice = 50000;

    QSqlQuery prepared(const QString &statement);
    void exec(QSqlQuery &query);
    // Throws the query's error; the connection goes.
    [[noreturn]] void fail(QSqlQuery &query);
    void open();
    Index probeIndex();
    // Without the index on an SQLite file: read in slices of rowids.
    bool slices();
    qint64 maxRowid();

    // A bucket's rows as they are added up from its pieces in time order.
    struct Sums
    {
        std::optional<qint64> first;
        Stundenwerte::Figures figures;
    };
    // The hour from which on Stundenwerte cannot stand in for Werte; nullopt without the table.
    std::optional<qint64> figuresUntil(bool ready);
    void bucketsFromScan(Series &series, qint32 sensor, const BucketGrid &grid, qint64 from,
                         qint64 to);
    QList<Row> pageFromIndex(Cursor &cursor, int limit);
    QList<Row> pageFromSlices(Cursor &cursor, int limit);

    QString m_name;
    std::unique_ptr<Database> m_database;
    QString m_driver;
    Index m_index = Index::Unknown;
    bool m_figures = false;
    // An index that begins with Zeit: without one, finding the bounds of Werte reads all of it.
    bool m_timeFirst = false;
};
