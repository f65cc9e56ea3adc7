#include "pollingstate.h"

#include <cmath>
#include <limits>

void PollingState::record(const PassOutcome &pass)
{
    ++m_passes;
    m_lastPass = pass;
    if (m_devices.size() < pass.failures.size()) {
        m_devices.resize(pass.failures.size());
    }
    for (std::size_t i = 1; i < pass.failures.size(); ++i) {
        Device &device = m_devices[i];
        const FetchFailure &failure = pass.failures[i];
        if (!failure.failed()) {
            device.failuresInRow = 0;
            device.failingSince = QDateTime();
            device.lastGood = pass.ended;
            device.failure = FetchFailure();
            continue;
        }
        if (device.failuresInRow == 0) {
            device.failingSince = pass.started;
        }
        device.failure = failure;
        ++device.failuresByReason[std::size_t(failure.reason)];
        if (device.failuresInRow < std::numeric_limits<qint32>::max()) {
            ++device.failuresInRow;
        }
    }
    if (m_sensors.size() < pass.readings.size()) {
        m_sensors.resize(pass.readings.size(),
                         Sensor{std::numeric_limits<double>::quiet_NaN(), QDateTime()});
    }
    for (std::size_t j = 1; j < pass.readings.size(); ++j) {
        if (!std::isnan(pass.readings[j])) {
            m_sensors[j] = Sensor{pass.readings[j], pass.ended};
        }
    }
}

PollingState::Device PollingState::device(qint32 position) const
{
    return position > 0 && std::size_t(position) < m_devices.size() ? m_devices[position]
                                                                    : Device();
}

PollingState::Sensor PollingState::sensor(qint32 position) const
{
    return position > 0 && std::size_t(position) < m_sensors.size()
               ? m_sensors[position]
               : Sensor{std::numeric_limits<double>::quiet_NaN(), QDateTime()};
}
