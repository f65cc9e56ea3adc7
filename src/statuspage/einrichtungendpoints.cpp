#include "einrichtungendpoints.h"

#include "configurationaccess.h"
#include "deviceprobe.h"
#include "einrichtungform.h"
#include "runtime/runtimeerror.h"
#include "statussource.h"
#include "workerthread.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

const QByteArray kDocument = "/api/einrichtung";
const QByteArray kUpload = "/api/einrichtung/dokument";
const QByteArray kProbe = "/api/einrichtung/pruefen";
const QByteArray kDownload = "/konfiguration.json";

// Reads and saves wait one behind the other; a few are enough for the people who set one box up.
constexpr int kQueued = 4;

const QString kBusy = QStringLiteral("Zu viele Anfragen auf einmal; bitte gleich noch einmal.");

QJsonObject message(const QString &text)
{
    return {{QStringLiteral("meldung"), text}};
}

QJsonArray faultsJson(const QList<EinrichtungForm::Fault> &faults)
{
    QJsonArray list;
    for (const EinrichtungForm::Fault &fault : faults) {
        list.append(QJsonObject{{QStringLiteral("feld"), fault.feld},
                                {QStringLiteral("text"), fault.text}});
    }
    return list;
}

// Where the checks of start-up found the fault ("Tabelle 'Geraete', Zeile 2: Spalte 'Ip': ..."),
// as the form's field.
QList<EinrichtungForm::Fault> faultsOf(const QString &refusal)
{
    static const QRegularExpression where(
        QStringLiteral("Tabelle '(\\w+)', Zeile (\\d+)(?:: Spalte '(\\w+)')?"));
    static const QStringList columns{QStringLiteral("ID"),          QStringLiteral("IP"),
                                     QStringLiteral("Bezeichnung"), QStringLiteral("Geraet"),
                                     QStringLiteral("Anschluss"),   QStringLiteral("Parameter"),
                                     QStringLiteral("Wert"),        QStringLiteral("SensorNummer"),
                                     QStringLiteral("Minimum"),     QStringLiteral("Maximum")};
    const QRegularExpressionMatch match = where.match(refusal);
    if (!match.hasMatch()) {
        return {};
    }
    QString feld =
        QStringLiteral("%1[%2]").arg(match.captured(1)).arg(match.captured(2).toInt() - 1);
    for (const QString &column : columns) {
        if (column.compare(match.captured(3), Qt::CaseInsensitive) == 0) {
            feld += QLatin1Char('.') + column;
        }
    }
    return {
        {feld,
         refusal.mid(match.capturedEnd()).remove(QRegularExpression(QStringLiteral("^:\\s*")))}};
}

// A document as the form would send it: each device keyed by its position.
QJsonObject formOf(const QJsonObject &document)
{
    QJsonObject form = document;
    QJsonArray geraete;
    qint32 position = 0;
    for (const QJsonValue &row : document.value(QStringLiteral("Geraete")).toArray()) {
        QJsonObject device = row.toObject();
        device.insert(QStringLiteral("schluessel"), QString::number(++position));
        geraete.append(device);
    }
    form.insert(QStringLiteral("Geraete"), geraete);
    QJsonArray sensoren;
    for (const QJsonValue &row : document.value(QStringLiteral("Sensoren")).toArray()) {
        QJsonObject sensor = row.toObject();
        const QJsonValue geraet = sensor.value(QStringLiteral("Geraet"));
        sensor.insert(QStringLiteral("Geraet"),
                      geraet.isDouble() ? QString::number(geraet.toInteger()) : QString());
        sensoren.append(sensor);
    }
    form.insert(QStringLiteral("Sensoren"), sensoren);
    return form;
}

struct Outcome
{
    int status = 200;
    QJsonObject json;
};

} // namespace

EinrichtungEndpoints::EinrichtungEndpoints(HttpServer &server, StatusSource &source, bool tls)
    : m_server(server), m_source(source), m_tls(tls), m_access(source.configurationAccess())
{
    m_secret.resize(32);
    QRandomGenerator::system()->generate(m_secret.begin(), m_secret.end());
}

EinrichtungEndpoints::~EinrichtungEndpoints() = default;

QList<QByteArray> EinrichtungEndpoints::postPaths()
{
    return {kDocument, kUpload, kProbe};
}

bool EinrichtungEndpoints::handle(const HttpServer::Request &request, bool loginRequired)
{
    const QByteArray &path = request.path;
    if (path != kDocument && path != kUpload && path != kProbe && path != kDownload) {
        return false;
    }
    if (!loginRequired || !m_access) {
        QJsonObject off = message(
            QStringLiteral("Die Einrichtung ist aus, weil die Seite ohne Anmeldung läuft. Mit "
                           "einer Benutzerdatei ist sie da: pelvarod --hash-password NAME >> "
                           "benutzer, dann pelvarod --status-users benutzer (oder die Zeile "
                           "StatusBenutzer in Einstellungen) und neu starten; siehe README, "
                           "Abschnitt Einrichtung."));
        off.insert(QStringLiteral("aus"), true);
        reply(request, 403, off);
        return true;
    }
    // Made at the first use, so that a page nobody sets up costs no thread.
    if (!m_thread) {
        m_thread = std::make_unique<WorkerThread>(kQueued);
        m_probe = std::make_unique<DeviceProbe>();
    }
    const bool post = request.method == "POST";
    if ((path == kUpload || path == kProbe) && !post) {
        reply(request, 405, message(QStringLiteral("Nur POST.")), {{"Allow", "POST"}});
        return true;
    }
    if (!post) {
        serveDocument(request, path == kDownload);
        return true;
    }
    const std::optional<QJsonObject> body = change(request);
    if (!body) {
        return true;
    }
    if (path == kProbe) {
        probe(request, *body);
    } else {
        save(request, *body, path == kUpload);
    }
    return true;
}

QByteArray EinrichtungEndpoints::token(const HttpServer::Request &request) const
{
    return QMessageAuthenticationCode::hash("einrichtung " + request.headers.value("authorization"),
                                            m_secret, QCryptographicHash::Sha256)
        .toHex();
}

std::optional<QJsonObject> EinrichtungEndpoints::change(const HttpServer::Request &request)
{
    const QByteArray origin = (m_tls ? "https://" : "http://") + request.headers.value("host");
    if (request.headers.value("origin") != origin) {
        reply(request, 403,
              message(QStringLiteral("Änderungen nimmt die Seite nur von sich "
                                     "selbst an (Origin).")));
        return std::nullopt;
    }
    if (!request.headers.value("content-type").startsWith("application/json")) {
        reply(request, 415, message(QStringLiteral("Erwartet JSON.")));
        return std::nullopt;
    }
    const QJsonDocument parsed = QJsonDocument::fromJson(request.body);
    if (!parsed.isObject()) {
        reply(request, 400, message(QStringLiteral("Die Anfrage ist kein JSON-Objekt.")));
        return std::nullopt;
    }
    const QByteArray expected = token(request);
    const QByteArray given = parsed.object().value(QStringLiteral("token")).toString().toLatin1();
    // Compared in full whatever differs first, so the time does not tell how much was right.
    int differs = given.size() != expected.size() ? 1 : 0;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        differs |= expected[i] ^ (i < given.size() ? given[i] : 0);
    }
    if (differs != 0) {
        reply(request, 403,
              message(QStringLiteral("Das Formular ist abgelaufen (die Anmeldung "
                                     "oder das Programm sind neu); bitte die Seite "
                                     "neu laden.")));
        return std::nullopt;
    }
    return parsed.object();
}

void EinrichtungEndpoints::serveDocument(const HttpServer::Request &request, bool download)
{
    auto snapshot = std::make_shared<ConfigurationAccess::Snapshot>();
    auto failure = std::make_shared<QString>();
    const bool queued = m_thread->submit(
        [access = m_access, snapshot, failure] {
            try {
                *snapshot = access->read();
            } catch (const RuntimeError &error) {
                *failure = error.message();
            }
        },
        [this, request, snapshot, failure, download] {
            if (!failure->isEmpty()) {
                reply(request, 503, message(*failure));
            } else if (download) {
                m_server.respond(
                    request.id,
                    HttpResponse{200,
                                 "application/json",
                                 snapshot->document,
                                 {{"Content-Disposition",
                                   "attachment; filename=\"pelvaro-konfiguration.json\""}}});
            } else {
                QJsonArray files;
                for (const char *name :
                     {"StatusBenutzer", "StatusZertifikat", "StatusSchluessel"}) {
                    files.append(QLatin1String(name));
                }
                reply(request, 200,
                      {{QStringLiteral("token"), QString::fromLatin1(token(request))},
                       {QStringLiteral("stand"), QString::fromLatin1(snapshot->stand)},
                       {QStringLiteral("dokument"),
                        QJsonDocument::fromJson(snapshot->document).object()},
                       {QStringLiteral("dateiZeilen"), files},
                       {QStringLiteral("ausstehend"), m_source.configurationPending()},
                       {QStringLiteral("problem"), m_source.configurationProblem()}});
            }
        });
    if (!queued) {
        reply(request, 503, message(kBusy));
    }
}

void EinrichtungEndpoints::save(const HttpServer::Request &request, const QJsonObject &body,
                                bool upload)
{
    const QByteArray stand = body.value(QStringLiteral("stand")).toString().toLatin1();
    const QJsonObject form =
        body.value(upload ? QStringLiteral("dokument") : QStringLiteral("formular")).toObject();
    if (stand.isEmpty() || form.isEmpty()) {
        reply(request, 400, message(QStringLiteral("Es fehlen \"stand\" oder das Formular.")));
        return;
    }
    auto outcome = std::make_shared<Outcome>();
    const auto conflict = [outcome] {
        outcome->status = 409;
        outcome->json = message(QStringLiteral("Die Konfiguration wurde inzwischen geändert (in "
                                               "der Datenbank oder in einem anderen Browser); "
                                               "nichts ist gespeichert. Bitte neu laden."));
    };
    const bool queued = m_thread->submit(
        [access = m_access, outcome, stand, form, upload, conflict] {
            try {
                const ConfigurationAccess::Snapshot current = access->read();
                if (current.stand != stand) {
                    conflict();
                    return;
                }
                const QJsonObject currentDocument =
                    QJsonDocument::fromJson(current.document).object();
                if (upload
                    && (form.value(QStringLiteral("format"))
                            != currentDocument.value(QStringLiteral("format"))
                        || form.value(QStringLiteral("version"))
                               != currentDocument.value(QStringLiteral("version")))) {
                    outcome->status = 422;
                    outcome->json = message(
                        QStringLiteral("Die Datei ist keine Konfiguration von Pelvaro (\"format\": "
                                       "\"pelvaro-konfiguration\", \"version\": 1)."));
                    return;
                }
                const EinrichtungForm::Result checked =
                    EinrichtungForm::toDocument(upload ? formOf(form) : form, currentDocument);
                if (!checked.faults.isEmpty()) {
                    outcome->status = 422;
                    outcome->json = message(QStringLiteral(
                        "Nichts ist gespeichert: bitte die markierten Felder ändern."));
                    outcome->json.insert(QStringLiteral("fehler"), faultsJson(checked.faults));
                    return;
                }
                if (!access->replace(checked.document, stand)) {
                    conflict();
                }
            } catch (const RuntimeError &error) {
                const bool refused = error.number() == ErrorNumber::InvalidArgument;
                outcome->status = refused ? 422 : 503;
                outcome->json = message(error.message());
                outcome->json.insert(QStringLiteral("fehler"),
                                     faultsJson(refused ? faultsOf(error.description())
                                                        : QList<EinrichtungForm::Fault>{}));
            }
        },
        [this, request, outcome] {
            if (outcome->status == 200) {
                m_source.reloadConfiguration();
                outcome->json =
                    message(m_source.configurationProblem().isEmpty()
                                ? QStringLiteral("Gespeichert. Die neue Konfiguration gilt ab der "
                                                 "nächsten Speicherung.")
                                : QStringLiteral("Gespeichert, aber nicht übernommen: %1")
                                      .arg(m_source.configurationProblem()));
                outcome->json.insert(QStringLiteral("gespeichert"), true);
                outcome->json.insert(QStringLiteral("ausstehend"), m_source.configurationPending());
            }
            reply(request, outcome->status, outcome->json);
        });
    if (!queued) {
        reply(request, 503, message(kBusy));
    }
}

void EinrichtungEndpoints::probe(const HttpServer::Request &request, const QJsonObject &body)
{
    const QString address = body.value(QStringLiteral("adresse")).toString().trimmed();
    if (const QString problem = EinrichtungForm::addressProblem(address); !problem.isEmpty()) {
        QJsonObject refused = message(problem);
        refused.insert(QStringLiteral("fehler"),
                       faultsJson({{QStringLiteral("adresse"), problem}}));
        reply(request, 422, refused);
        return;
    }
    const bool started = m_probe->start(
        address, [this, request](const QJsonObject &answer) { reply(request, 200, answer); });
    if (!started) {
        reply(request, 503, message(kBusy));
    }
}

void EinrichtungEndpoints::reply(const HttpServer::Request &request, int status,
                                 const QJsonObject &json, HttpHeaders headers)
{
    m_server.respond(request.id, HttpResponse{status, "application/json",
                                              QJsonDocument(json).toJson(QJsonDocument::Compact),
                                              std::move(headers)});
}
