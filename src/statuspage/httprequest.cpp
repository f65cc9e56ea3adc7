#include "httprequest.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

HttpServer::Request readRequest(MHD_Connection *connection, quint64 id, const char *method,
                                const char *url)
{
    HttpServer::Request request;
    request.id = id;
    request.method = method;
    request.path = url;
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void *list, MHD_ValueKind, const char *key, const char *value) {
            static_cast<decltype(request.query) *>(list)->append(
                {QString::fromUtf8(key), value ? QString::fromUtf8(value) : QString()});
            return MHD_YES;
        },
        &request.query);
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void *headers, MHD_ValueKind, const char *key, const char *value) {
            static_cast<decltype(request.headers) *>(headers)->insert(
                QByteArray(key).toLower(), QByteArray(value ? value : ""));
            return MHD_YES;
        },
        &request.headers);
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = {};
    if (info != nullptr && info->client_addr != nullptr) {
        const sockaddr *address = info->client_addr;
        const void *bytes = address->sa_family == AF_INET6
                                ? static_cast<const void *>(
                                    &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr)
                                : &reinterpret_cast<const sockaddr_in *>(address)->sin_addr;
        if (::inet_ntop(address->sa_family, bytes, text, sizeof text) != nullptr) {
            request.address = text;
        }
    }
    return request;
}
