#pragma once

#include <QByteArray>

#include <memory>

// Writes text to a file descriptor (stdout) from a thread of its own, so that a reader that stops
// reading (a paused pager, a hung journal) never stalls the polling and storing. At most a few
// texts wait; further ones are dropped and counted, and the count is reported once writing goes
// on. A closed reader only makes the writes fail.
class LogWriter
{
public:
    explicit LogWriter(int fd);
    // Does not wait for a write that is stuck; what is still queued may be lost.
    ~LogWriter();
    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    void write(const QByteArray &text);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
