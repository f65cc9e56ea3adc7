#include "httprequest.h"

#include <microhttpd.h>

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
    return request;
}
