#pragma once

#include "web/pollingstate.h"

#include <vector>

struct Registry;

// The journal's lines about the devices in a run without a window, where nobody watches the pass
// log: one when a device begins to fail, saying why, and one when it answers again, never one per
// pass. They go to stderr through the Journal; the pass log on stdout stays as it is.
class DeviceJournal
{
public:
    // After each pass, once polling has recorded it.
    void passEnded(const Registry &registry, const PollingState &polling);

private:
    // Each device as the previous pass left it, by position.
    std::vector<PollingState::Device> m_seen;
};
