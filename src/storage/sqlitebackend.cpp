#include "sqlitebackend.h"

#include "runtime/runtimeerror.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <mutex>

namespace {

// While starting, another program's lock is waited out for a while, as users expect of a program
// that starts beside their database browser.
constexpr int kStartBusyTimeoutMs = 5000;

// Refuses what SQLite would otherwise open without complaint or only fail on later: Access files
// (which users migrating from the old program may still have beside it) and foreign files.
void checkHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("Die Datenbank '%1' kann nicht gelesen werden: %2")
                               .arg(path, file.errorString()));
    }
    const QByteArray head = file.read(100);
    if (head.isEmpty()) {
        return; // SQLite treats an empty file as an empty database.
    }
    if (head.mid(4, 15) == "Standard Jet DB" || head.mid(4, 15) == "Standard ACE DB") {
        throw RuntimeError(
            ErrorNumber::UnrecognisedDatabaseFormat,
            QStringLiteral("'%1' ist eine Microsoft-Access-Datenbank. Dieses Programm "
                           "arbeitet mit SQLite-Dateien: die Tabellen Einstellungen, "
                           "Geraete, Sensoren und Werte müssen in eine SQLite-Datei "
                           "dieses Namens übertragen werden (siehe docs/schema.sql). "
                           "Über ODBC (--database odbc:...) lässt sich eine Access-Datei "
                           "unter Windows verwenden.")
                .arg(path));
    }
    if (!head.startsWith(QByteArrayView("SQLite format 3\0", 16))) {
        throw RuntimeError(ErrorNumber::UnrecognisedDatabaseFormat,
                           QStringLiteral("'%1' ist keine SQLite-Datenbank.").arg(path));
    }
}

// Reads each file's header once in the process, before any connection to it. Closing a descriptor
// of the file drops every POSIX lock the process holds on it, SQLite's included: a header read
// while the store's thread has the file open would let another program take the database from
// under it (with a write-ahead log, delete the log that holds its commits).
void checkHeaderOnce(const QString &path)
{
    static std::mutex mutex;
    static QSet<QString> checked;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const std::lock_guard<std::mutex> lock(mutex);
    if (!checked.contains(absolute)) {
        checkHeader(path);
        checked.insert(absolute);
    }
}

} // namespace

SqliteBackend::SqliteBackend(const QString &path)
    : DbBackend(path, QStringLiteral("QSQLITE"), QStringLiteral("libqt6sql6-sqlite"),
                QStringLiteral("rowid"), false)
{
}

bool SqliteBackend::isMissingTable(const QSqlError &error, const QSqlDatabase &,
                                   const QString &) const
{
    return error.text().contains(QLatin1String("no such table"), Qt::CaseInsensitive);
}

void SqliteBackend::check() const
{
    const QString path = name();
    const QFileInfo info(path);
    if (!info.exists()) {
        throw RuntimeError(ErrorNumber::FileNotFound,
                           QStringLiteral("Die Datenbank '%1' wurde nicht gefunden.").arg(path));
    }
    if (!info.isFile()) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("'%1' ist keine Datei.").arg(path));
    }
    checkHeaderOnce(path);
    if (readOnly()) {
        return;
    }
    if (!info.isWritable()) {
        throw RuntimeError(
            ErrorNumber::CannotOpenFile,
            QStringLiteral("Die Datenbank '%1' ist schreibgeschützt; das Programm muss "
                           "in sie schreiben können.")
                .arg(path));
    }
    if (!QFileInfo(info.absolutePath()).isWritable()) {
        throw RuntimeError(
            ErrorNumber::CannotOpenFile,
            QStringLiteral("Im Verzeichnis '%1' darf das Programm nicht schreiben; "
                           "SQLite legt dort beim Schreiben in '%2' sein Journal an.")
                .arg(info.absolutePath(), info.fileName()));
    }
}

void SqliteBackend::configure(QSqlDatabase &db) const
{
    // mode=rw: open read-write, and never create the file.
    db.setDatabaseName(
        QUrl::fromLocalFile(QFileInfo(name()).absoluteFilePath()).toString(QUrl::FullyEncoded)
        + (readOnly() ? QStringLiteral("?mode=ro") : QStringLiteral("?mode=rw")));
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kStartBusyTimeoutMs)
        + (readOnly() ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
}

QString SqliteBackend::waitForLocks(QSqlDatabase &db, int ms) const
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(ms))
               ? QString()
               : query.lastError().text();
}

QString SqliteBackend::verify(QSqlDatabase &db) const
{
    // SQLite reads the header only on first use; a foreign file must fail here, not at the first
    // query of the loaders.
    QSqlQuery probe(db);
    if (!probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
        return probe.lastError().text();
    }
    // A store is on disk when its commit returns, in a file with a write-ahead log too: there
    // SQLite's default would be the same, but a build of it may lower that.
    if (!readOnly() && !probe.exec(QStringLiteral("PRAGMA synchronous = FULL"))) {
        return probe.lastError().text();
    }
    return QString();
}

RuntimeError SqliteBackend::openFailure(const QString &driverText) const
{
    return RuntimeError(ErrorNumber::UnrecognisedDatabaseFormat,
                        QStringLiteral("Die Datenbank '%1' kann nicht geöffnet werden: %2")
                            .arg(name(), driverText));
}

bool SqliteBackend::refusesRow(const QSqlError &error) const
{
    // SQLite's primary result codes, in the low byte of the extended code the driver gives:
    // SQLITE_TOOBIG, SQLITE_CONSTRAINT (a CHECK, a NOT NULL, a trigger's RAISE), SQLITE_MISMATCH,
    // SQLITE_RANGE.
    bool isNumber = false;
    const int code = error.nativeErrorCode().toInt(&isNumber) & 0xff;
    return isNumber && (code == 18 || code == 19 || code == 20 || code == 25);
}
