#include "endrequest.h"

#include <atomic>
#include <csignal>

#include <pthread.h>

namespace {

// Lock-free, so a signal handler may set it; atomic, so other threads may read it.
std::atomic<int> g_endRequested{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

} // namespace

void markEndRequested()
{
    g_endRequested.store(1, std::memory_order_relaxed);
}

bool endRequested()
{
    return g_endRequested.load(std::memory_order_relaxed) != 0;
}

void leaveStopSignalsToWindowThread()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}
