#include "logingate.h"

#include "basiccredentials.h"
#include "runtime/bounds.h"
#include "runtime/journal.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>

namespace {

const HttpHeaders kAskForLogin{{"WWW-Authenticate", "Basic realm=\"Pelvaro\", charset=\"UTF-8\""}};

// Drops what is no longer valid; when that is not enough, everything, so that the table stays
// bounded whatever clients send.
template <typename Table> void makeRoom(Table &table, int limit)
{
    if (table.size() < limit) {
        return;
    }
    table.removeIf([](const auto &entry) { return entry.value().until.hasExpired(); });
    if (table.size() >= limit) {
        table.clear();
    }
}

} // namespace

LoginGate::LoginGate(HttpServer &server, PageUsers users, QObject *parent)
    : QObject(parent), m_server(server), m_users(std::move(users)), m_checker(new QObject)
{
    m_secret.resize(32);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_secret.data()),
                                          m_secret.size() / int(sizeof(quint32)));
    m_checker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_checker, &QObject::deleteLater);
    m_thread.setObjectName(QStringLiteral("Anmeldungen"));
    m_thread.start(QThread::LowPriority);
}

LoginGate::~LoginGate()
{
    m_thread.quit();
    m_thread.wait();
}

void LoginGate::setUsers(PageUsers users)
{
    m_users = std::move(users);
    forget();
}

void LoginGate::forget()
{
    ++m_generation;
    m_remembered.clear();
}

void LoginGate::admit(const HttpServer::Request &request, std::function<void()> admitted)
{
    const QByteArray header = request.headers.value("authorization");
    if (header.isEmpty()) {
        // The first visit of a browser: no delay, it asks its user.
        answer(request.id, 401, "Anmeldung erforderlich.\n");
        return;
    }
    // Only a keyed digest of the header is kept, never a password.
    const QByteArray key =
        QMessageAuthenticationCode::hash(header, m_secret, QCryptographicHash::Sha256);
    if (const auto found = m_remembered.constFind(key);
        found != m_remembered.cend() && !found->until.hasExpired()) {
        if (found->right) {
            m_failures.remove(request.address);
            admitted();
        } else if (shutOut(request.address)) {
            answer(request.id, 401, "Anmeldung fehlgeschlagen.\n");
        } else {
            refuse(request);
        }
        return;
    }
    if (shutOut(request.address)) {
        answer(request.id, 401, "Anmeldung fehlgeschlagen.\n");
        return;
    }
    const std::optional<BasicCredentials> credentials = BasicCredentials::parse(header);
    if (!credentials) {
        refuse(request);
        return;
    }
    QByteArray hash = m_users.hash(credentials->name);
    const bool known = !hash.isNull();
    if (!known) {
        // Checked against a real hash anyway, so that the time of the answer does not tell
        // which names exist.
        hash = m_users.anyHash();
    }
    if (hash.isEmpty()) {
        refuse(request);
        return;
    }
    int &fromAddress = m_waitingFrom[request.address];
    if (m_waiting >= Bounds::kLoginChecksWaiting || fromAddress >= Bounds::kLoginChecksPerAddress) {
        if (fromAddress == 0) {
            m_waitingFrom.remove(request.address);
        }
        m_server.respond(request.id, HttpResponse{503,
                                                  "text/plain; charset=utf-8",
                                                  "Zu viele Anmeldungen auf einmal.\n",
                                                  {{"Retry-After", "2"}}});
        return;
    }
    ++m_waiting;
    ++fromAddress;
    const quint64 generation = m_generation;
    const QByteArray password = credentials->password;
    QMetaObject::invokeMethod(
        m_checker,
        [this, request, key, generation, password, hash, known, admitted] {
            const bool right = passwordMatches(password, hash) && known;
            QMetaObject::invokeMethod(
                this,
                [this, request, key, generation, right, admitted] {
                    checked(request, key, generation, right, admitted);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void LoginGate::checked(const HttpServer::Request &request, const QByteArray &key,
                        quint64 generation, bool right, const std::function<void()> &admitted)
{
    --m_waiting;
    if (--m_waitingFrom[request.address] <= 0) {
        m_waitingFrom.remove(request.address);
    }
    if (!m_server.isOpen(request.id)) {
        return;
    }
    if (generation != m_generation) {
        // The users changed while the hash was checked: asked again of the new ones.
        admit(request, admitted);
        return;
    }
    remember(key, right);
    if (right) {
        m_failures.remove(request.address);
        admitted();
    } else {
        refuse(request);
    }
}

void LoginGate::remember(const QByteArray &key, bool right)
{
    makeRoom(m_remembered, Bounds::kLoginsKept);
    m_remembered.insert(key, Remembered{right, QDeadlineTimer(Bounds::kLoginKeptMs)});
}

void LoginGate::refuse(const HttpServer::Request &request)
{
    if (m_failures.size() >= Bounds::kLoginAddressesKept) {
        m_failures.removeIf([](const auto &entry) { return entry.value().forgotten.hasExpired(); });
        if (m_failures.size() >= Bounds::kLoginAddressesKept) {
            m_failures.clear();
        }
    }
    Failures &failures = m_failures[request.address];
    if (failures.forgotten.hasExpired()) {
        failures = Failures{};
    }
    ++failures.count;
    failures.forgotten = QDeadlineTimer(Bounds::kLoginFailuresKeptMs);
    if (failures.count == Bounds::kLoginFailuresLogged) {
        Journal::write(Journal::Priority::Warning,
                       QStringLiteral("Statusseite: wiederholt falsche Anmeldung von %1.")
                           .arg(QString::fromLatin1(request.address)));
    }
    if (failures.count >= Bounds::kLoginFailuresLogged) {
        const int doublings = std::min(failures.count - Bounds::kLoginFailuresLogged, 20);
        failures.shutOut = QDeadlineTimer(
            std::min(Bounds::kLoginShutOutMaxMs, Bounds::kLoginShutOutMs << doublings));
    }
    const quint64 id = request.id;
    QTimer::singleShot(Bounds::kLoginDelayMs, this,
                       [this, id] { answer(id, 401, "Anmeldung fehlgeschlagen.\n"); });
}

bool LoginGate::shutOut(const QByteArray &address) const
{
    const auto found = m_failures.constFind(address);
    return found != m_failures.cend() && !found->shutOut.hasExpired();
}

void LoginGate::answer(quint64 id, int status, const QByteArray &body)
{
    m_server.respond(id, HttpResponse{status, "text/plain; charset=utf-8", body, kAskForLogin});
}
