#pragma once

#include <QtGlobal>

// The program's fixed bounds, each written down once; everything that relies on one (the health
// check's idea of a late pass, the parallel pass's own limit, the tests) takes it from here.
namespace Bounds {

// What one device's fetch may take, in seconds, counted in waiting passes of kPassMs.
constexpr qint32 kFetchTimeoutSeconds = 15;
constexpr int kPassMs = 20;
constexpr qint32 kPassesPerSecond = 1000 / kPassMs;
// The longest a whole fetch can wait: timeout × 50 + 1 passes, and the pumps around them.
constexpr qint64 kFetchWaitMs = qint64(kFetchTimeoutSeconds) * 1000 + 1000;

// What is kept of a device's answer: its first bytes, and at most this much of status line and
// headers together.
constexpr qint64 kKeptBytes = 4096;
constexpr qint64 kHeaderBytes = 16 * 1024;
// The transfer component's own request time-out, beyond the fetch's.
constexpr int kRequestTimeoutMs = 60000;

// The status page's connections: at most kPageConnections at once, of them at most
// kPageConnectionsPerAddress from one client address (a quarter, so that one address flooding
// leaves room for the others; a reverse proxy in front counts as one address).
constexpr quint32 kPageConnections = 64;
constexpr quint32 kPageConnectionsPerAddress = 16;
// A request's line and headers must have arrived whole this many seconds after the connection
// was accepted, or after the answer before on the same connection, however slowly they trickle
// in; a connection that sends or reads nothing for kPageIdleSeconds is dropped as well.
constexpr qint32 kPageHeaderSeconds = 5;
constexpr qint32 kPageIdleSeconds = 5;
// The library's memory per connection; request line and headers must fit in about half of it
// (longer ones get 414 or 431), so all connections together hold at most about 1 MB.
constexpr qint64 kPageConnectionMemory = 16 * 1024;
// A POST's body (a changed configuration: 50 devices and 99 sensors with long names take some
// 100 kB) must announce its length and stay within kPageBodyBytes; the bodies being received at
// once hold at most kPageBodiesBytes, so that many clients together cannot fill the memory.
constexpr qint64 kPageBodyBytes = 256 * 1024;
constexpr qint64 kPageBodiesBytes = 1024 * 1024;

// The page's files of its own choosing, a users file and a certificate with its key, are read
// whole; anything larger is no such file.
constexpr qint64 kPageFileBytes = 1024 * 1024;
// A login that was checked is taken again without hashing for this long, and at most this many
// of them are kept; a wrong one is remembered as wrong the same way.
constexpr qint64 kLoginKeptMs = 5 * 60 * 1000;
constexpr int kLoginsKept = 256;
// Hashes wait for the one thread that checks them: at most this many in all and this many from
// one address; beyond that a login is answered 503 at once, so that a flood of passwords costs
// a bounded time and memory.
constexpr int kLoginChecksWaiting = 16;
constexpr int kLoginChecksPerAddress = 2;
// A wrong login is answered after kLoginDelayMs. An address with kLoginFailuresLogged failures is
// named once in the journal, and from then on each further failure shuts it out for twice as
// long as the one before, up to kLoginShutOutMaxMs: a login from it that is not remembered as
// right is refused at once, unchecked, so that guesses slow to a few an hour, and no connection is
// held for them. An address without a failure for kLoginFailuresKeptMs starts afresh; at most
// kLoginAddressesKept addresses are tracked.
constexpr qint64 kLoginDelayMs = 500;
constexpr int kLoginFailuresLogged = 5;
constexpr qint64 kLoginShutOutMs = 1000;
constexpr qint64 kLoginShutOutMaxMs = 10 * 60 * 1000;
constexpr qint64 kLoginFailuresKeptMs = 15 * 60 * 1000;
constexpr int kLoginAddressesKept = 1024;

} // namespace Bounds
