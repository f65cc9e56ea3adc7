#pragma once

#include <QString>

class QDateTime;

// The forms in which the program writes its times, each in one place so that the pass log, Werte,
// the recovery file, the status page, CSV and the alerts never drift apart. The page's JavaScript
// (statuspage/assets/format.js) writes the same forms; a test holds the two together.
namespace TimeFormat {

// As Werte holds it and SQL compares it: "2026-12-05 08:04:09".
inline const QString kWerte = QStringLiteral("yyyy-MM-dd HH:mm:ss");
// The pass log's time stamp, also the alerts' lines: "14:05:09 03.12.2026".
inline const QString kPassLog = QStringLiteral("HH:mm:ss dd.MM.yyyy");
// For JSON: "2026-12-05T08:04:09", local time without a zone.
inline const QString kIso = QStringLiteral("yyyy-MM-ddTHH:mm:ss");

QString werteText(const QDateTime &time);
QString passLogText(const QDateTime &time);
QString isoText(const QDateTime &time);

} // namespace TimeFormat
