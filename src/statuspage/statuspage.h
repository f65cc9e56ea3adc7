#pragma once

#include "httpserver.h"
#include "listenaddress.h"
#include "pageassets.h"
#include "statusreport.h"
#include "statussettings.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class EinrichtungEndpoints;
class LoginGate;
class PageCertificate;
class ReaderThread;
class StatusSource;
class WerteEndpoints;

// The status page the program serves when asked to (--status, or the Einstellungen row
// StatusAdresse): a page for a person, JSON for scripts, CSV, Prometheus metrics and a health
// check, all read-only. With a users file every path but /healthz asks for a login (LoginGate);
// with a certificate and key the page speaks only HTTPS.
//
//   /                  the page (its files are compiled in; see assets/)
//   /api/status        what the page shows, as JSON; with If-None-Match, 304 while nothing changed
//                      (the page asks every second)
//   /api/werte         one sensor's stored averages in buckets (WerteEndpoints)
//   /werte.csv         the stored rows as CSV (WerteEndpoints)
//   /metrics           Prometheus text format (metricsText)
//   /healthz           200 "ok", or 503 with the reason (StatusReport::health)
//
// The server runs on the thread the page lives on, the window's thread, and reads the running
// program only through source, between two events. Werte is read on a thread of its own through
// a read-only connection of the page's own (ReaderThread), so no request delays a pass.
class StatusPage : public QObject
{
    Q_OBJECT

public:
    // The state's ETag changes with every pass, and at the latest after this long, so that a
    // page sees the time go on while a long pass runs.
    static constexpr qint64 kStateMaxAgeMs = 10000;

    StatusPage(StatusSource &source, QString databaseName, QObject *parent = nullptr);
    ~StatusPage() override;

    // Reads the files of access, listens on address (see ListenAddress) and begins reading what
    // the page needs of Werte. Throws RuntimeError, in German and naming the address or the file,
    // when address is no such address or cannot be listened on, or a file is wrong. Warnings (a
    // file others may read, passwords in clear beyond this machine) go to the journal.
    void start(const QString &address, const StatusFiles &access = {});
    // Reads the files again. One that is wrong now is not taken: the page goes on with what it
    // had, and the journal says why. Remembered logins are forgotten either way.
    void reload();
    // Where it listens, "http://127.0.0.1:8080/", with the real port after port 0.
    QString url() const;
    bool isLoopback() const;
    // A tick that ran a polling pass has ended: what the page shows has changed.
    void passEnded();
    // Devices and sensors are others now: what the page read of Werte for them is read again.
    void configurationChanged();

private:
    // The lines for the journal when the page listens beyond this machine.
    void warnAboutAddress() const;
    void handle(const HttpServer::Request &request);
    void dispatch(const HttpServer::Request &request);
    void reply(const HttpServer::Request &request, int status, const QByteArray &contentType,
               const QByteArray &body, HttpHeaders headers = {});
    void serveAsset(const HttpServer::Request &request);
    void serveStatus(const HttpServer::Request &request);
    void readFacts();
    // The size and rows of the database, when what the page has is a minute old.
    void readBestand();

    StatusSource &m_source;
    QString m_databaseName;
    std::optional<ListenAddress> m_address;
    WerteFacts m_facts;
    PageAssets m_assets;
    StatusFiles m_access;
    std::unique_ptr<HttpServer> m_server;
    // Null without a users file.
    std::unique_ptr<LoginGate> m_gate;
    std::unique_ptr<ReaderThread> m_reader;
    std::unique_ptr<WerteEndpoints> m_werte;
    std::unique_ptr<EinrichtungEndpoints> m_einrichtung;
    // Ticks with a pass, and answers of the reader that changed the facts.
    quint64 m_changes = 0;
    QElapsedTimer m_bestandRead;
    bool m_bestandReading = false;
};
