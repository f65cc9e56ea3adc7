#pragma once

#include <QByteArray>

class StatusSource;

// /metrics in Prometheus's text format (version 0.0.4), named after its guide: the prefix
// pelvaro_, base units (_seconds, Unix time for time stamps), _total for counters, labels for
// what varies (sensor number, name and device; a device's position, name and address; the reason
// of a failed fetch as FetchFailure's keyword) and build data as pelvaro_build_info with the value
// 1. Label values are escaped as the format says, whatever a name holds. A sensor without a
// reading, or a device before the first pass, has no sample, except for the failure counters,
// which stand at 0 from the start.
QByteArray metricsText(const StatusSource &source);
