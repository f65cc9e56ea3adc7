#pragma once

#include "httpserver.h"

// The request whose header has just arrived on connection, as the handler gets it: method,
// decoded path and query, headers with their names in lower case. id names the exchange.
HttpServer::Request readRequest(MHD_Connection *connection, quint64 id, const char *method,
                                const char *url);
