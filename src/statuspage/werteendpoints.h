#pragma once

#include "httpserver.h"

class ReaderThread;
class StatusSource;

// The two ways out for the stored averages, both read on the reader thread:
//   /api/werte?sensor=N&von=T&bis=T&punkte=P   one sensor's series in about P buckets (JSON)
//   /werte.csv?sensor=N&sensor=M&von=T&bis=T&format=de   the rows themselves, streamed page by
//                                                          page (every configured sensor without
//                                                          a sensor parameter)
// Times are local ISO text ("2026-12-07T14:30", seconds optional); bis defaults to now, von to a
// day before bis. A bad parameter gets 400 with a short reason, a database that cannot be read
// 503 with its reason, and so does a full reader queue.
class WerteEndpoints
{
public:
    // Rows read for one piece of an export: about 100 KB of CSV.
    static constexpr int kPageRows = 2000;
    static constexpr int kDefaultPunkte = 1000;

    WerteEndpoints(HttpServer &server, ReaderThread &reader, const StatusSource &source);

    void series(const HttpServer::Request &request);
    void csv(const HttpServer::Request &request);

private:
    void refuse(const HttpServer::Request &request, int status, const QString &reason);

    HttpServer &m_server;
    ReaderThread &m_reader;
    const StatusSource &m_source;
};
