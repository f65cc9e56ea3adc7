#pragma once

#include "alerts/alertsettings.h"
#include "statuspage/statussettings.h"
#include "storage/registry.h"
#include "web/geraeteabfragen.h"

#include <memory>

class MainView;

// The configuration as the database holds it: devices, sensors, the cycle settings and the
// options of the parts, read and checked as a whole before any of it is used.
struct Configuration
{
    // Devices, sensors, MessIntervall and Messungen; no database, empty accumulators.
    std::unique_ptr<Registry> tables = std::make_unique<Registry>();
    PassOptions passOptions;
    StatusSettings statusSettings;
    AlertSettings alertSettings;
    // Days of rows that Werte keeps; 0 keeps every row.
    qint32 aufbewahrung = 0;
};

// Reads Geraete, Sensoren and Einstellungen through registry's open database with the loaders of
// start-up, and checks every option row with its part. registry itself is left as it was. Throws
// the loaders' RuntimeError, which names table, row and column. view is pumped as the loaders
// pump; while the program runs, give it one that does not serve events.
Configuration readConfiguration(Registry &registry, MainView &view);

// Puts the tables of configuration into registry: devices, sensors and the cycle settings, every
// sensor's sum and count at 0. The seconds counter and the database stay.
void takeConfiguration(Registry &registry, const Configuration &configuration);
