#include "configuration.h"

#include "storage/aufbewahrung.h"
#include "storage/konfiguration.h"

#include <QScopeGuard>

Configuration readConfiguration(Registry &registry, MainView &view)
{
    Configuration read;
    // The loaders fill a registry of their own, through the one connection, lent for the read.
    read.tables->Datenbank = std::move(registry.Datenbank);
    auto giveBack = qScopeGuard([&] { registry.Datenbank = std::move(read.tables->Datenbank); });
    GeraeteLesen(*read.tables, view);
    SensorenLesen(*read.tables, view);
    const SettingRows options =
        EinstellungenLesen(*read.tables, view,
                           PassOptions::settingNames() + StatusSettings::settingNames()
                               + AlertSettings::settingNames() + Aufbewahrung::settingNames());
    read.passOptions = PassOptions::fromSettings(options);
    read.statusSettings = StatusSettings::fromSettings(options);
    read.alertSettings = AlertSettings::fromSettings(options);
    read.aufbewahrung = Aufbewahrung::fromSettings(options);
    return read;
}

void takeConfiguration(Registry &registry, const Configuration &configuration)
{
    const Registry &tables = *configuration.tables;
    registry.AnzahlGeraete = tables.AnzahlGeraete;
    for (qint32 i = 1; i <= tables.AnzahlGeraete; ++i) {
        registry.GeraetID[i] = tables.GeraetID[i];
        registry.GeraetIP[i] = tables.GeraetIP[i];
        registry.GeraetName[i] = tables.GeraetName[i];
    }
    registry.AnzahlSensoren = tables.AnzahlSensoren;
    for (qint32 j = 1; j <= Registry::kMaxSensoren; ++j) {
        const bool used = j <= tables.AnzahlSensoren;
        registry.SensorID[j] = used ? tables.SensorID[j] : 0;
        registry.SensorGeraet[j] = used ? tables.SensorGeraet[j] : 0;
        registry.SensorAnschluss[j] = used ? tables.SensorAnschluss[j] : 0;
        registry.SensorName[j] = used ? tables.SensorName[j] : QString();
        registry.SensorSumme[j] = 0;
        registry.SensorZaehler[j] = 0;
    }
    registry.MessIntervall = tables.MessIntervall;
    registry.Messungen = tables.Messungen;
}
