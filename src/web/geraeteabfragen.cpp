#include "geraeteabfragen.h"

#include "holeurl.h"
#include "interschneck.h"
#include "parallelabfrage.h"
#include "pollingstate.h"
#include "runtime/leadingnumber.h"
#include "runtime/mainview.h"
#include "runtime/numbertext.h"
#include "runtime/timeformats.h"
#include "storage/registry.h"
#include "tagwert.h"

#include <QDateTime>
#include <QRegularExpression>

#include <cmath>
#include <limits>
#include <set>

namespace {

constexpr double kNoReadingBelow = -9999;
const QString kCrLf = QStringLiteral("\r\n");

bool accepted(const QString &answer)
{
    // The marker must stand after the first character: a page that begins with it is rejected.
    return !answer.isEmpty() && answer.indexOf(QLatin1String("<ntpsync>")) > 0;
}

} // namespace

FetchFailure judgedAnswer(const FetchResult &fetched)
{
    if (accepted(fetched.text)) {
        return FetchFailure{};
    }
    if (fetched.failure.failed()) {
        return fetched.failure;
    }
    return FetchFailure{FetchFailure::Reason::NoMarker, fetched.failure.httpStatus, 0};
}

std::optional<double> readingOf(const QString &answer, qint32 anschluss)
{
    const std::optional<double> reading =
        leadingNumber(TagWert(answer, QLatin1Char('t') + QString::number(anschluss)));
    if (!reading || *reading < kNoReadingBelow) {
        return std::nullopt;
    }
    return reading;
}

QList<PageElement> pageElements(const QString &answer)
{
    static const QRegularExpression element(QStringLiteral("<t(\\d{1,9})>"),
                                            QRegularExpression::CaseInsensitiveOption);
    std::set<qint32> found;
    for (const QRegularExpressionMatch &match : element.globalMatch(answer)) {
        found.insert(match.captured(1).toInt());
    }
    QList<PageElement> elements;
    for (const qint32 n : found) {
        elements.append({n, readingOf(answer, n),
                         TagWert(answer, QStringLiteral("t%1").arg(n)).simplified().left(40)});
    }
    return elements;
}

namespace {

void readSensors(Registry &registry, MainView &view, qint32 device, const QString &answer,
                 PassOutcome &outcome)
{
    const qint32 sensors = registry.AnzahlSensoren;
    for (qint32 j = 1; j <= sensors; ++j) {
        if (registry.SensorGeraet[j] != device) {
            continue;
        }
        const std::optional<double> reading = readingOf(answer, registry.SensorAnschluss[j]);
        if (!reading || !std::isfinite(registry.SensorSumme[j] + *reading)) {
            continue;
        }
        view.appendLog(registry.SensorName[j] + QStringLiteral(": ") + numberText(*reading)
                       + kCrLf);
        view.pump();
        registry.SensorZaehler[j] += 1;
        registry.SensorSumme[j] += *reading;
        outcome.readings[std::size_t(j)] = *reading;
    }
}

} // namespace

QList<SettingRows::Name> PassOptions::settingNames()
{
    return {{QStringLiteral("ParallelAbfrage"), SettingRows::Kind::Number}};
}

PassOptions PassOptions::fromSettings(const SettingRows &rows)
{
    PassOptions options;
    options.parallelSeconds = rows.number(QStringLiteral("ParallelAbfrage"), 0);
    return options;
}

void GeraeteAbfragen(Registry &registry, MainView &view, Interschneck &transfer,
                     const PassOptions &options, PassOutcome *outcome)
{
    const qint32 timeoutSeconds = options.timeoutSeconds;
    view.clearLog();
    const qint32 devices = registry.AnzahlGeraete;
    PassOutcome pass;
    pass.started = QDateTime::currentDateTime();
    pass.failures.assign(std::size_t(devices) + 1, FetchFailure{});
    pass.readings.assign(std::size_t(registry.AnzahlSensoren) + 1,
                         std::numeric_limits<double>::quiet_NaN());
    const auto url = [&registry](qint32 i) {
        return QStringLiteral("http://") + registry.GeraetIP[i] + QStringLiteral("/xml");
    };
    QList<FetchResult> fetched;
    if (options.parallelSeconds >= 1) {
        QStringList urls;
        for (qint32 i = 1; i <= devices; ++i) {
            urls << url(i);
        }
        fetched = fetchAll(view, transfer.driver(), urls, options.parallelSeconds, timeoutSeconds);
    }
    for (qint32 i = 1; i <= devices; ++i) {
        view.setStatus(QStringLiteral("Datenübertragung (") + registry.GeraetName[i]
                       + QStringLiteral(")..."));
        view.pump();
        const FetchResult answer = fetched.isEmpty()
                                       ? fetchDevicePage(view, transfer, url(i), timeoutSeconds)
                                       : fetched.at(i - 1);
        view.pump();
        const FetchFailure failure = judgedAnswer(answer);
        if (!failure.failed()) {
            readSensors(registry, view, i, answer.text, pass);
        } else {
            pass.failures[std::size_t(i)] = failure;
            view.appendLog(QStringLiteral("Datenholung von ") + registry.GeraetName[i]
                           + QStringLiteral(" war erfolglos.") + kCrLf);
        }
    }
    pass.ended = QDateTime::currentDateTime();
    view.appendLog(kCrLf + TimeFormat::passLogText(pass.ended));
    if (outcome != nullptr) {
        *outcome = std::move(pass);
    }
    view.pump();
    view.setStatus(QString());
    view.pump();
}
