#include "probecommand.h"

#include "runtime/journal.h"
#include "runtime/mainview.h"
#include "runtime/numbertext.h"
#include "runtime/quietview.h"
#include "runtime/runtimeerror.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/registry.h"
#include "web/curldriver.h"
#include "web/geraeteabfragen.h"
#include "web/holeurl.h"
#include "web/interschneck.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void print(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
}

QString readingText(const std::optional<double> &reading)
{
    return reading ? numberText(*reading) : QStringLiteral("keine Messung");
}

// The sensors configured for address, as "Sensor 7 'Vorlauf' (t1)" with their element number.
void printSensors(const QString &databasePath, const QString &address, const QString &answer)
{
    Registry registry;
    QuietView view{true};
    DatenbankOeffnen(registry, view, databasePath);
    GeraeteLesen(registry, view);
    SensorenLesen(registry, view);
    bool any = false;
    for (qint32 i = 1; i <= registry.AnzahlGeraete; ++i) {
        if (registry.GeraetIP[i] != address) {
            continue;
        }
        print(QStringLiteral("Gerät %1 '%2' (Position %3) würde speichern:")
                  .arg(registry.GeraetID[i])
                  .arg(registry.GeraetName[i])
                  .arg(i));
        for (qint32 j = 1; j <= registry.AnzahlSensoren; ++j) {
            if (registry.SensorGeraet[j] != i) {
                continue;
            }
            any = true;
            print(QStringLiteral("  Sensor %1 '%2' (t%3): %4")
                      .arg(registry.SensorID[j])
                      .arg(registry.SensorName[j])
                      .arg(registry.SensorAnschluss[j])
                      .arg(answer.isNull()
                               ? QStringLiteral("nichts, die Seite zählt nicht")
                               : readingText(readingOf(answer, registry.SensorAnschluss[j]))));
        }
    }
    if (!any) {
        print(QStringLiteral("In '%1' ist für %2 kein Sensor eingetragen.")
                  .arg(databasePath, address));
    }
    DatenbankSchliessen(registry, view);
}

} // namespace

int probeDevice(const QString &address, const QString &databasePath)
{
    CurlDriver driver;
    Interschneck transfer(driver);
    QuietView view{true};
    const QString url = QStringLiteral("http://") + address + QStringLiteral("/xml");
    const FetchResult fetched = fetchDevicePage(view, transfer, url, Bounds::kFetchTimeoutSeconds);
    const FetchFailure failure = judgedAnswer(fetched);
    if (failure.failed()) {
        print(QStringLiteral("%1: die Seite zählt nicht: %2 (%3).")
                  .arg(url, failure.text(), failure.keyword()));
    } else {
        print(QStringLiteral("%1: die Seite zählt, <ntpsync> ist da.").arg(url));
        const QList<PageElement> elements = pageElements(fetched.text);
        if (elements.isEmpty()) {
            print(QStringLiteral("  kein Element <tN> auf der Seite"));
        }
        for (const PageElement &element : elements) {
            print(QStringLiteral("  t%1: %2 (steht dort: \"%3\")")
                      .arg(element.anschluss)
                      .arg(readingText(element.reading), element.shown));
        }
    }
    if (!databasePath.isEmpty()) {
        try {
            printSensors(databasePath, address, failure.failed() ? QString() : fetched.text);
        } catch (const RuntimeError &error) {
            Journal::write(Journal::Priority::Error, error.message());
            return 1;
        }
    }
    std::fflush(stdout);
    return failure.failed() ? 1 : 0;
}
