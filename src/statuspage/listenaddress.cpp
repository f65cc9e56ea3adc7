#include "listenaddress.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr quint16 kMaxPort = 65535;

std::optional<quint16> portOf(const QString &text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok);
    // toUInt takes a leading '+' and blanks; a port is digits only.
    const bool digits = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    if (!ok || !digits || port > kMaxPort) {
        return std::nullopt;
    }
    return static_cast<quint16>(port);
}

bool isAddress(const QString &host, bool ipv6)
{
    const QByteArray text = host.toLatin1();
    unsigned char buffer[sizeof(struct in6_addr)];
    return inet_pton(ipv6 ? AF_INET6 : AF_INET, text.constData(), buffer) == 1;
}

} // namespace

std::optional<ListenAddress> ListenAddress::parse(const QString &text)
{
    const QString trimmed = text.trimmed();
    ListenAddress address;
    QString portText;
    if (const std::optional<quint16> bare = portOf(trimmed)) {
        address.host = QStringLiteral("127.0.0.1");
        address.port = *bare;
        return address;
    }
    if (trimmed.startsWith(QLatin1Char('['))) {
        const qsizetype close = trimmed.indexOf(QLatin1String("]:"));
        if (close < 0) {
            return std::nullopt;
        }
        address.host = trimmed.mid(1, close - 1);
        address.ipv6 = true;
        portText = trimmed.mid(close + 2);
    } else {
        const qsizetype colon = trimmed.lastIndexOf(QLatin1Char(':'));
        if (colon <= 0) {
            return std::nullopt;
        }
        address.host = trimmed.left(colon);
        portText = trimmed.mid(colon + 1);
        if (address.host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
            address.host = QStringLiteral("127.0.0.1");
        }
    }
    const std::optional<quint16> port = portOf(portText);
    if (!port || !isAddress(address.host, address.ipv6)) {
        return std::nullopt;
    }
    address.port = *port;
    return address;
}

bool ListenAddress::isLoopback() const
{
    const QByteArray text = host.toLatin1();
    if (ipv6) {
        struct in6_addr in6;
        return inet_pton(AF_INET6, text.constData(), &in6) == 1 && IN6_IS_ADDR_LOOPBACK(&in6);
    }
    struct in_addr in4;
    return inet_pton(AF_INET, text.constData(), &in4) == 1 && (ntohl(in4.s_addr) >> 24) == 127;
}

QString ListenAddress::authority(quint16 realPort) const
{
    const QString shown = ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shown + QLatin1Char(':') + QString::number(realPort);
}

void ListenAddress::toSocketAddress(sockaddr_storage &storage) const
{
    const QByteArray text = host.toLatin1();
    storage = {};
    if (ipv6) {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        inet_pton(AF_INET6, text.constData(), &in6.sin6_addr);
    } else {
        auto &in4 = reinterpret_cast<sockaddr_in &>(storage);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        inet_pton(AF_INET, text.constData(), &in4.sin_addr);
    }
}
