#pragma once

#include "httpserver.h"

#include <QByteArray>
#include <QJsonObject>

#include <memory>
#include <optional>

class ConfigurationAccess;
class DeviceProbe;
class StatusSource;
class WorkerThread;

// The setup part of the page, for logged-in users only:
//   GET  /api/einrichtung             the configuration as a document, with a token for changes
//                                     and its fingerprint ("stand")
//   POST /api/einrichtung             the form saved: {"token", "stand", "formular"}
//   POST /api/einrichtung/dokument    a document uploaded: {"token", "stand", "dokument"}
//   POST /api/einrichtung/pruefen     a device fetched once: {"token", "adresse"}
//   GET  /konfiguration.json          the document, to download
// A change is refused unless it is a POST of JSON whose Origin is this page and whose token came
// with the form: the token is an HMAC of the login under a secret drawn at start, so another site
// a logged-in browser visits can neither read one nor send one. Reading and writing go through
// ConfigurationAccess on a thread of their own; fetching a device runs on the event loop. After a
// save the program reads the configuration again and takes it at its next store.
class EinrichtungEndpoints
{
public:
    EinrichtungEndpoints(HttpServer &server, StatusSource &source, bool tls);
    ~EinrichtungEndpoints();

    static QList<QByteArray> postPaths();
    // True when the path is one of the setup part's; then the request is answered.
    bool handle(const HttpServer::Request &request, bool loginRequired);

private:
    void serveDocument(const HttpServer::Request &request, bool download);
    void save(const HttpServer::Request &request, const QJsonObject &body, bool upload);
    void probe(const HttpServer::Request &request, const QJsonObject &body);
    // The body of a change, after its origin and token are checked; nullopt when it was answered.
    std::optional<QJsonObject> change(const HttpServer::Request &request);
    QByteArray token(const HttpServer::Request &request) const;
    void reply(const HttpServer::Request &request, int status, const QJsonObject &json,
               HttpHeaders headers = {});

    HttpServer &m_server;
    StatusSource &m_source;
    bool m_tls;
    QByteArray m_secret;
    std::shared_ptr<ConfigurationAccess> m_access;
    std::unique_ptr<WorkerThread> m_thread;
    std::unique_ptr<DeviceProbe> m_probe;
};
