#include "fetchfailure.h"

QString FetchFailure::keyword(Reason reason)
{
    switch (reason) {
    case Reason::None:
        break;
    case Reason::Unresolvable:
        return QStringLiteral("unresolvable");
    case Reason::Refused:
        return QStringLiteral("refused");
    case Reason::Timeout:
        return QStringLiteral("timeout");
    case Reason::BrokenOff:
        return QStringLiteral("broken_off");
    case Reason::NoMarker:
        return QStringLiteral("no_marker");
    case Reason::Deadline:
        return QStringLiteral("deadline");
    }
    return QString();
}

QString FetchFailure::text() const
{
    switch (reason) {
    case Reason::None:
        break;
    case Reason::Unresolvable:
        return QStringLiteral("Adresse nicht auflösbar");
    case Reason::Refused:
        return QStringLiteral("Verbindung abgelehnt oder Gerät nicht erreichbar");
    case Reason::Timeout:
        return QStringLiteral("Zeitüberschreitung nach %1 s").arg(seconds);
    case Reason::BrokenOff:
        return QStringLiteral("Antwort abgebrochen");
    case Reason::NoMarker:
        // A 200 page without the marker is some other page at the device's address; a status
        // beside it tells the user where to look (404: wrong path or firmware, 401: a login).
        return httpStatus == 200 || httpStatus == 0
                   ? QStringLiteral("Seite ohne Messwerte")
                   : QStringLiteral("Seite ohne Messwerte (HTTP %1)").arg(httpStatus);
    case Reason::Deadline:
        return QStringLiteral("Zeitgrenze der parallelen Abfrage (%1 s) erreicht").arg(seconds);
    }
    return QString();
}
