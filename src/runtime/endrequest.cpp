#include "endrequest.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t g_endRequested = 0;

} // namespace

void markEndRequested()
{
    g_endRequested = 1;
}

bool endRequested()
{
    return g_endRequested != 0;
}
