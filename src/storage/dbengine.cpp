#include "dbengine.h"

#include "database.h"
#include "runtime/runtimeerror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

namespace {

// Short, so that a store that meets another program's lock gives way at once (its rows wait for the
// next store) and "Ende", a signal and the countdown are answered within a fraction of a second.
constexpr int kBusyTimeoutMs = 100;

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
                           "dieses Namens übertragen werden (siehe docs/schema.sql).")
                .arg(path));
    }
    if (!head.startsWith(QByteArrayView("SQLite format 3\0", 16))) {
        throw RuntimeError(ErrorNumber::UnrecognisedDatabaseFormat,
                           QStringLiteral("'%1' ist keine SQLite-Datenbank.").arg(path));
    }
}

} // namespace

DbEngine &DbEngine::instance()
{
    static DbEngine engine;
    return engine;
}

std::unique_ptr<Database> DbEngine::OpenDatabase(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        throw RuntimeError(ErrorNumber::FileNotFound,
                           QStringLiteral("Die Datenbank '%1' wurde nicht gefunden.").arg(path));
    }
    if (!info.isFile()) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("'%1' ist keine Datei.").arg(path));
    }
    checkHeader(path);
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
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("Der SQLite-Treiber von Qt fehlt (Debian-Paket "
                                          "libqt6sql6-sqlite); '%1' kann nicht geöffnet werden.")
                               .arg(path));
    }

    const QString connectionName = QStringLiteral("pelvaro-%1").arg(++m_connections);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        // mode=rw: open read-write, and never create the file.
        db.setDatabaseName(QUrl::fromLocalFile(info.absoluteFilePath()).toString(QUrl::FullyEncoded)
                           + QStringLiteral("?mode=rw"));
        db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        bool ok = db.open();
        QString failure = db.lastError().text();
        if (ok) {
            // SQLite reads the header only on first use; a foreign file must fail here, not at
            // the first query of the loaders.
            QSqlQuery probe(db);
            ok = probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
            failure = probe.lastError().text();
        }
        if (!ok) {
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(connectionName);
            throw RuntimeError(ErrorNumber::UnrecognisedDatabaseFormat,
                               QStringLiteral("Die Datenbank '%1' kann nicht geöffnet werden: %2")
                                   .arg(path, failure));
        }
    }
    return std::unique_ptr<Database>(new Database(connectionName, path));
}
