#pragma once

#include "fetchfailure.h"

#include <QDateTime>
#include <QtGlobal>

#include <array>
#include <iterator>
#include <vector>

// What one polling pass found, by position as the registry numbers devices and sensors (from 1;
// index 0 stays unused).
struct PassOutcome
{
    QDateTime started;
    QDateTime ended;
    // Why the device's page did not count; Reason::None when it came and was accepted.
    std::vector<FetchFailure> failures;
    // The reading the pass took for the sensor; NaN when it took none.
    std::vector<double> readings;
};

// What the polling passes of this run have found so far, for those who watch the program (the
// status page, the alerts): each device's run of good or failed fetches, each sensor's latest
// reading. Only the window's thread touches it, once per pass.
class PollingState
{
public:
    struct Device
    {
        // Passes in a row whose fetch failed; 0 while the device answers.
        qint32 failuresInRow = 0;
        // When the first of those passes began; invalid while the device answers.
        QDateTime failingSince;
        // The end of the latest pass that accepted its page; invalid before the first.
        QDateTime lastGood;
        // Why the latest of the failed passes in a row failed; None while the device answers.
        FetchFailure failure;
        // Failed passes of this run, indexed by their reason; None's place stays 0.
        std::array<qint64, std::size(FetchFailure::kFailures) + 1> failuresByReason{};

        qint64 failuresFor(FetchFailure::Reason reason) const
        {
            return failuresByReason[std::size_t(reason)];
        }
    };
    struct Sensor
    {
        // The latest reading of this run and the end of the pass that took it; NaN before one.
        double reading;
        QDateTime readAt;
    };

    void record(const PassOutcome &pass);

    // Passes recorded, and the latest of them (empty before the first).
    qint64 passes() const { return m_passes; }
    const PassOutcome &lastPass() const { return m_lastPass; }

    // A position the passes have not seen yet gives a device that never failed and a sensor
    // without a reading.
    Device device(qint32 position) const;
    Sensor sensor(qint32 position) const;
    // The positions name other devices and sensors now: what was found of them is forgotten.
    void forgetPositions()
    {
        m_devices.clear();
        m_sensors.clear();
    }

private:
    qint64 m_passes = 0;
    PassOutcome m_lastPass;
    std::vector<Device> m_devices;
    std::vector<Sensor> m_sensors;
};
