#include "timeformats.h"

#include <QDateTime>

namespace TimeFormat {

QString werteText(const QDateTime &time)
{
    return time.toString(kWerte);
}

QString passLogText(const QDateTime &time)
{
    return time.toString(kPassLog);
}

QString isoText(const QDateTime &time)
{
    return time.toString(kIso);
}

} // namespace TimeFormat
