#pragma once

#include <QString>

#include <optional>

struct sockaddr_storage;

// Where the status page listens, as --status and the Einstellungen row StatusAdresse give it:
// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:8080", "localhost:8080", or a bare port ("8080"),
// which means loopback. Port 0 lets the system choose a free port (the tests use that).
struct ListenAddress
{
    // The address without brackets: "127.0.0.1", "::1".
    QString host;
    quint16 port = 0;
    bool ipv6 = false;

    // Empty when text is no such address. Host names other than localhost are not resolved: the
    // page listens on an address of this machine, which is given as such.
    static std::optional<ListenAddress> parse(const QString &text);

    // 127.0.0.0/8 or ::1: reachable from this machine only.
    bool isLoopback() const;
    // "127.0.0.1:8080" or "[::1]:8080", with the port given (the real one after port 0).
    QString authority(quint16 realPort) const;
    // The address as the socket functions take it (sockaddr_in or sockaddr_in6).
    void toSocketAddress(sockaddr_storage &storage) const;
};
