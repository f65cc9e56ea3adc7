#include "configcommand.h"

#include "program/configdocument.h"
#include "runtime/journal.h"
#include "runtime/mainview.h"
#include "runtime/quietview.h"
#include "runtime/runtimeerror.h"
#include "storage/datenbankverbindung.h"
#include "storage/registry.h"

#include <QFile>
#include <QSaveFile>

#include <functional>

namespace {

// A document larger than this is no configuration (50 devices and 99 sensors take some 30 kB).
constexpr qint64 kMaxDocumentBytes = 16 * 1024 * 1024;

int withDatabase(const QString &databasePath,
                 const std::function<void(Registry &, MainView &)> &work)
{
    Registry registry;
    QuietView view{false};
    try {
        DatenbankOeffnen(registry, view, databasePath);
        work(registry, view);
        DatenbankSchliessen(registry, view);
        return 0;
    } catch (const RuntimeError &error) {
        Journal::write(Journal::Priority::Error, error.message());
        return 1;
    }
}

} // namespace

int exportConfigurationTo(const QString &databasePath, const QString &file)
{
    return withDatabase(databasePath, [&file](Registry &registry, MainView &) {
        const QByteArray document = exportConfiguration(registry);
        // Whole or not at all: an export cut short by a full disk must not pass for one.
        QSaveFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(document) != document.size()
            || !out.commit()) {
            throw RuntimeError(ErrorNumber::CannotOpenFile,
                               QStringLiteral("Die Konfiguration kann nicht nach '%1' geschrieben "
                                              "werden: %2.")
                                   .arg(file, out.errorString()));
        }
    });
}

int importConfigurationFrom(const QString &databasePath, const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        Journal::write(Journal::Priority::Error,
                       QStringLiteral("Die Konfiguration '%1' kann nicht gelesen werden: %2.")
                           .arg(file, in.errorString()));
        return 1;
    }
    const QByteArray document = in.read(kMaxDocumentBytes + 1);
    if (document.size() > kMaxDocumentBytes) {
        Journal::write(Journal::Priority::Error,
                       QStringLiteral("Die Konfiguration '%1' ist größer als %2 MB.")
                           .arg(file)
                           .arg(kMaxDocumentBytes / 1024 / 1024));
        return 1;
    }
    return withDatabase(databasePath, [&](Registry &registry, MainView &view) {
        try {
            importConfiguration(registry, view, document);
        } catch (const RuntimeError &error) {
            throw RuntimeError(error.number(),
                               QStringLiteral("'%1': %2").arg(file, error.description()));
        }
        Journal::write(Journal::Priority::Notice,
                       QStringLiteral("Konfiguration aus '%1' übernommen.").arg(file));
    });
}
