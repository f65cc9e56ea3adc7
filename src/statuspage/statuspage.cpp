#include "statuspage.h"

#include "einrichtungendpoints.h"
#include "logingate.h"
#include "metricstext.h"
#include "pagecertificate.h"
#include "pagefiles.h"
#include "pageusers.h"
#include "readerthread.h"
#include "runtime/journal.h"
#include "runtime/runtimeerror.h"
#include "statussource.h"
#include "storage/registry.h"
#include "werteendpoints.h"
#include "wertereader.h"

#include <QDateTime>

StatusPage::StatusPage(StatusSource &source, QString databaseName, QObject *parent)
    : QObject(parent), m_source(source), m_databaseName(std::move(databaseName))
{
}

StatusPage::~StatusPage()
{
    // The reader first: a job's answer must not arrive at a server that is gone. The server then
    // closes the connections that waited for one.
    m_reader.reset();
    m_einrichtung.reset();
    m_gate.reset();
    m_server.reset();
}

void StatusPage::start(const QString &address, const StatusFiles &access)
{
    m_address = ListenAddress::parse(address);
    if (!m_address) {
        throw RuntimeError(ErrorNumber::AddressNotAvailable,
                           QStringLiteral("'%1' ist keine Adresse für die Statusseite; erwartet "
                                          "ADRESSE:PORT oder einen Port, etwa 127.0.0.1:8080 "
                                          "oder 8080.")
                               .arg(address));
    }
    if (access.cert.isEmpty() != access.key.isEmpty()) {
        throw RuntimeError(ErrorNumber::InvalidArgument,
                           QStringLiteral("Für HTTPS braucht die Statusseite ein Zertifikat und "
                                          "seinen Schlüssel; es fehlt %1.")
                               .arg(access.cert.isEmpty() ? QStringLiteral("das Zertifikat")
                                                          : QStringLiteral("der Schlüssel")));
    }
    m_access = access;
    std::optional<PageUsers> users;
    if (!access.users.isEmpty()) {
        users = PageUsers::load(access.users);
    }
    const bool tls = !access.cert.isEmpty();
    if (tls) {
        PageCertificate::use(PageCertificate::load(access.cert, access.key));
    }
    m_server = std::make_unique<HttpServer>(
        [this](const HttpServer::Request &request) { handle(request); });
    if (users) {
        m_gate = std::make_unique<LoginGate>(*m_server, std::move(*users));
    }
    // Everything a request needs is there before the first one can come.
    m_reader = std::make_unique<ReaderThread>(m_databaseName);
    m_werte = std::make_unique<WerteEndpoints>(*m_server, *m_reader, m_source);
    m_einrichtung = std::make_unique<EinrichtungEndpoints>(*m_server, m_source, tls);
    m_server->setPostPaths(EinrichtungEndpoints::postPaths());
    m_server->listen(*m_address, tls);
    readFacts();
    readBestand();
    for (const auto &[file, what] : {std::pair{access.users, QStringLiteral("Die Benutzerdatei")},
                                     std::pair{access.key, QStringLiteral("Der Schlüssel")}}) {
        if (const QString warning = PageFiles::othersMayRead(file, what);
            !file.isEmpty() && !warning.isEmpty()) {
            Journal::write(Journal::Priority::Warning, warning);
        }
    }
    warnAboutAddress();
}

void StatusPage::reload()
{
    if (!m_server) {
        return;
    }
    if (m_gate) {
        try {
            m_gate->setUsers(PageUsers::load(m_access.users));
            Journal::write(Journal::Priority::Notice,
                           QStringLiteral("Statusseite: Benutzerdatei neu gelesen."));
        } catch (const RuntimeError &error) {
            m_gate->forget();
            Journal::write(Journal::Priority::Warning,
                           QStringLiteral("Statusseite: die bisherigen Benutzer bleiben. %1")
                               .arg(error.description()));
        }
    }
    if (!m_access.cert.isEmpty()) {
        try {
            PageCertificate::use(PageCertificate::load(m_access.cert, m_access.key));
            Journal::write(Journal::Priority::Notice,
                           QStringLiteral("Statusseite: Zertifikat und Schlüssel neu gelesen."));
        } catch (const RuntimeError &error) {
            Journal::write(Journal::Priority::Warning,
                           QStringLiteral("Statusseite: das bisherige Zertifikat bleibt. %1")
                               .arg(error.description()));
        }
    }
}

void StatusPage::warnAboutAddress() const
{
    if (isLoopback()) {
        return;
    }
    if (!m_gate) {
        Journal::write(Journal::Priority::Warning,
                       QStringLiteral("Die Statusseite %1 ist ohne Anmeldung von anderen Rechnern "
                                      "aus erreichbar; eine Benutzerdatei (--status-users) und "
                                      "ein Zertifikat (--status-cert, --status-key) schützen "
                                      "sie (siehe README, Abschnitt TLS und ein Passwort).")
                           .arg(url()));
    } else if (m_access.cert.isEmpty()) {
        Journal::write(Journal::Priority::Warning,
                       QStringLiteral("Die Statusseite %1 verlangt eine Anmeldung, aber ohne TLS: "
                                      "die Passwörter gehen im Klartext über das Netz "
                                      "(--status-cert, --status-key).")
                           .arg(url()));
    }
}

QString StatusPage::url() const
{
    return m_address && m_server ? QStringLiteral("%1://%2/")
                                       .arg(m_access.cert.isEmpty() ? QStringLiteral("http")
                                                                    : QStringLiteral("https"),
                                            m_address->authority(m_server->port()))
                                 : QString();
}

bool StatusPage::isLoopback() const
{
    return m_address && m_address->isLoopback();
}

void StatusPage::readFacts()
{
    const Registry &registry = m_source.registry();
    QList<qint32> sensors;
    for (qint32 j = 1; j <= registry.AnzahlSensoren; ++j) {
        sensors << registry.SensorID[j];
    }
    auto facts = std::make_shared<WerteFacts>();
    m_reader->submit(
        [facts, sensors](WerteReader &reader) {
            try {
                facts->index = reader.index();
                for (const WerteReader::Latest &latest : reader.latest(sensors)) {
                    facts->storedAtStart.insert(latest.sensorNummer,
                                                StatusSource::Stored{latest.wert, latest.zeit});
                }
            } catch (const std::exception &) {
                // The page shows nothing stored until the next store, and the charts say why
                // they cannot be read.
            }
        },
        [this, facts] {
            const WerteReader::Bestand bestand = m_facts.bestand;
            m_facts = *facts;
            m_facts.bestand = bestand;
            ++m_changes;
        });
}

void StatusPage::readBestand()
{
    constexpr qint64 kBestandMaxAgeMs = 60000;
    if (m_bestandReading
        || (m_bestandRead.isValid() && m_bestandRead.elapsed() < kBestandMaxAgeMs)) {
        return;
    }
    auto bestand = std::make_shared<WerteReader::Bestand>();
    m_bestandReading = m_reader->submit(
        [bestand](WerteReader &reader) {
            try {
                *bestand = reader.bestand();
            } catch (const std::exception &) {
                // Shown as unknown; the next status asks again.
            }
        },
        [this, bestand] {
            m_bestandReading = false;
            m_bestandRead.start();
            m_facts.bestand = *bestand;
            ++m_changes;
        });
}

void StatusPage::passEnded()
{
    ++m_changes;
}

void StatusPage::configurationChanged()
{
    ++m_changes;
    readFacts();
}

void StatusPage::reply(const HttpServer::Request &request, int status,
                       const QByteArray &contentType, const QByteArray &body, HttpHeaders headers)
{
    m_server->respond(request.id, HttpResponse{status, contentType, body, std::move(headers)});
}

void StatusPage::handle(const HttpServer::Request &request)
{
    // The health check stays open, for a service manager or load balancer without the password.
    if (m_gate && request.path != "/healthz") {
        m_gate->admit(request, [this, request] { dispatch(request); });
    } else {
        dispatch(request);
    }
}

void StatusPage::dispatch(const HttpServer::Request &request)
{
    const QByteArray &path = request.path;
    if (m_einrichtung->handle(request, m_gate != nullptr)) {
        return;
    }
    if (path == "/api/status") {
        serveStatus(request);
    } else if (path == "/api/werte") {
        m_werte->series(request);
    } else if (path == "/werte.csv") {
        m_werte->csv(request);
    } else if (path == "/metrics") {
        reply(request, 200, "text/plain; version=0.0.4; charset=utf-8", metricsText(m_source));
    } else if (path == "/healthz") {
        const StatusReport::Health health =
            StatusReport::health(m_source, QDateTime::currentDateTime());
        reply(request, health.ok ? 200 : 503, "text/plain; charset=utf-8",
              health.ok ? QByteArray("ok\n") : (health.reason + QLatin1Char('\n')).toUtf8());
    } else {
        serveAsset(request);
    }
}

void StatusPage::serveAsset(const HttpServer::Request &request)
{
    const PageAssets::Asset *asset = m_assets.find(request.path);
    if (asset == nullptr) {
        reply(request, 404, "text/plain; charset=utf-8", "Diese Seite gibt es nicht.\n");
        return;
    }
    // Checked again on every load, and answered with 304 while unchanged.
    HttpHeaders headers{{"Cache-Control", "no-cache"}, {"ETag", asset->etag}};
    if (request.headers.value("if-none-match") == asset->etag) {
        reply(request, 304, asset->contentType, {}, headers);
        return;
    }
    if (!asset->deflated.isEmpty()
        && PageAssets::acceptsDeflate(request.headers.value("accept-encoding"))) {
        headers << qMakePair(QByteArray("Content-Encoding"), QByteArray("deflate"))
                << qMakePair(QByteArray("Vary"), QByteArray("Accept-Encoding"));
        reply(request, 200, asset->contentType, asset->deflated, headers);
        return;
    }
    reply(request, 200, asset->contentType, asset->body, headers);
}

void StatusPage::serveStatus(const HttpServer::Request &request)
{
    readBestand();
    const QByteArray etag =
        QByteArray("\"") + QByteArray::number(m_changes) + '.'
        + QByteArray::number(QDateTime::currentMSecsSinceEpoch() / kStateMaxAgeMs) + '"';
    HttpHeaders headers{{"ETag", etag}, {"Cache-Control", "no-cache"}};
    if (request.headers.value("if-none-match") == etag) {
        reply(request, 304, "application/json", {}, headers);
        return;
    }
    const QByteArray json = StatusReport::json(m_source, m_facts);
    const QByteArray deflated = PageAssets::acceptsDeflate(request.headers.value("accept-encoding"))
                                    ? PageAssets::deflate(json)
                                    : QByteArray();
    if (deflated.isEmpty()) {
        reply(request, 200, "application/json", json, headers);
        return;
    }
    headers << qMakePair(QByteArray("Content-Encoding"), QByteArray("deflate"))
            << qMakePair(QByteArray("Vary"), QByteArray("Accept-Encoding"));
    reply(request, 200, "application/json", deflated, headers);
}
