#pragma once

#include <QString>
#include <QtGlobal>

// Why a device's page did not count in a pass. The keywords reach the outside (/api/status,
// /metrics, the alerts' webhook) and stay as they are; the texts are German like the window's.
// What counts as a failure is the pass's own rule and does not depend on the reason.
struct FetchFailure
{
    enum class Reason {
        // The page came and was accepted.
        None,
        // The address names no host that could be found, or makes no http URL at all.
        Unresolvable,
        // No connection: refused, or the host or its network could not be reached.
        Refused,
        // No whole answer within the fetch's time-out.
        Timeout,
        // A connection, but no whole HTTP answer over it: it ended early, was reset, or what
        // came was no HTTP.
        BrokenOff,
        // An answer whose first 4096 bytes hold no "<ntpsync>" after their first character.
        NoMarker,
        // The parallel pass's limit came before the answer.
        Deadline,
    };
    // The reasons that are failures, in the order above, for those who count them by reason. The
    // values run from 0 with None first, so a reason indexes an array of size(kFailures) + 1.
    static constexpr Reason kFailures[] = {Reason::Unresolvable, Reason::Refused,
                                           Reason::Timeout,      Reason::BrokenOff,
                                           Reason::NoMarker,     Reason::Deadline};

    Reason reason = Reason::None;
    // The answer's HTTP status, 0 when none came. Shown with NoMarker when it is not 200.
    int httpStatus = 0;
    // The fetch's time-out for Timeout, the pass's limit for Deadline; 0 otherwise.
    qint32 seconds = 0;

    bool failed() const { return reason != Reason::None; }
    // "unresolvable", "refused", "timeout", "broken_off", "no_marker", "deadline"; empty for None.
    static QString keyword(Reason reason);
    QString keyword() const { return keyword(reason); }
    // One phrase without a final point, such as "Zeitüberschreitung nach 15 s" or "Seite ohne
    // Messwerte (HTTP 404)"; empty for None.
    QString text() const;
};
