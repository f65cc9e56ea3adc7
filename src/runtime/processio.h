#pragma once

#include <QtGlobal>

#include <optional>

// What this process has had written to storage so far, as the kernel counts it (Linux:
// /proc/self/io, write_bytes: every file of every thread, its database and log alike); nullopt
// where the system does not tell.
namespace ProcessIo {

std::optional<qint64> writtenBytes();

} // namespace ProcessIo
