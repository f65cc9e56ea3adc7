#pragma once

#include "runtime/bounds.h"
#include "storage/settingrows.h"

#include "holeurl.h"

#include <QList>
#include <QtGlobal>

#include <optional>

class Interschneck;
class MainView;
struct PassOutcome;
struct Registry;

// One polling pass over all devices, in table order. The log box is emptied, then holds one line
// per accepted reading ("Keller:  21.5") or one failure line per device whose page did not come
// or lacks the marker, then an empty line and the time stamp "HH:MM:SS DD.MM.YYYY". Every
// accepted reading is added to its sensor's count and sum. While a device is fetched the status
// line names it; at the end it is empty.
//
// A reading below -9999 means "no reading" and is dropped, and so is one too large for a 64-bit
// float or one that would make its sensor's sum infinite: nothing a device sends can end the
// program or poison an average.
//
// With options.parallelSeconds = n >= 1 every device is fetched at once first, for at most n
// seconds together (see fetchAll); the devices are then handled in table order exactly as above,
// a fetch that had not ended counting as a failed one. The log and the accumulators come out as
// in the sequential pass.
//
// outcome, when given, receives which devices answered, why the others did not, and the readings
// taken, for those who watch the program. The log says only that a fetch failed, never why.
struct PassOptions
{
    // The Einstellungen row ParallelAbfrage: seconds a parallel pass may take; 0 or less keeps the
    // sequential pass.
    qint32 parallelSeconds = 0;
    // What each device's fetch may take; only tests shorten it.
    qint32 timeoutSeconds = Bounds::kFetchTimeoutSeconds;

    static QList<SettingRows::Name> settingNames();
    static PassOptions fromSettings(const SettingRows &rows);
};

// Why a fetched page does not count, or None. Acceptance looks at the text alone, as it always
// has: the marker "<ntpsync>" after the page's first character. The reason only tells apart what
// the text cannot, and an error page with the marker is good.
FetchFailure judgedAnswer(const FetchResult &fetched);

// What a pass reads from an accepted page for the sensor at element <tN>, N = anschluss: the
// leading number of the element's content (a missing element, or one that does not begin with a
// number, reads as 0), or nothing for "no reading" (below -9999) and for a number too large.
std::optional<double> readingOf(const QString &answer, qint32 anschluss);

// Every element <tN> of an accepted page, by N, with what a pass would read from it and the
// first characters of what stands there, for a user choosing which to keep.
struct PageElement
{
    qint32 anschluss;
    std::optional<double> reading;
    QString shown;
};
QList<PageElement> pageElements(const QString &answer);

void GeraeteAbfragen(Registry &registry, MainView &view, Interschneck &transfer,
                     const PassOptions &options = {}, PassOutcome *outcome = nullptr);
