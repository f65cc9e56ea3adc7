#include "datenbankverbindung.h"

#include "database.h"
#include "registry.h"
#include "runtime/mainview.h"

#include <QCoreApplication>
#include <QDir>

QString defaultDatabasePath()
{
    // Joined as it stands, so a program in the root folder gets "//Messwerte.mdb", which the
    // file system takes as "/Messwerte.mdb".
    return QCoreApplication::applicationDirPath() + QDir::separator()
           + QStringLiteral("Messwerte.mdb");
}

void DatenbankOeffnen(Registry &registry, MainView &view, const QString &path)
{
    registry.Datenbank = OpenDatabase(path);
    view.pump();
}

void DatenbankSchliessen(Registry &registry, MainView &view)
{
    view.timerOff();
    requireDatabase(registry);
    const std::unique_ptr<Database> closing = std::move(registry.Datenbank);
    closing->Close();
    view.pump();
}

Database &requireDatabase(const Registry &registry)
{
    if (!registry.Datenbank) {
        throw RuntimeError(
            ErrorNumber::ObjectNotSet,
            QStringLiteral("Objektvariable nicht festgelegt: keine Datenbank offen."));
    }
    return *registry.Datenbank;
}
