#include "devicesimulator.h"

#include "deviceconnection.h"
#include "devicepage.h"

#include <QDateTime>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cmath>
#include <utility>

namespace {

const QByteArray xmlType("text/xml; charset=ISO-8859-1");
const QByteArray htmlType("text/html; charset=ISO-8859-1");

// Lets what was sent before a reset reach the client first, the way a device that dies halfway
// through an answer looks from outside.
constexpr int resetDelayMs = 50;

constexpr double pi = 3.14159265358979323846;

struct NamedBehaviour
{
    DeviceSimulator::Behaviour behaviour;
    const char *name;
};

const NamedBehaviour behaviourTable[] = {
    {DeviceSimulator::Behaviour::Normal, "normal"},
    {DeviceSimulator::Behaviour::Silent, "silent"},
    {DeviceSimulator::Behaviour::Trickle, "trickle"},
    {DeviceSimulator::Behaviour::Reset, "reset"},
    {DeviceSimulator::Behaviour::ErrorStatus, "error"},
    {DeviceSimulator::Behaviour::Oversized, "oversized"},
    {DeviceSimulator::Behaviour::Endless, "endless"},
    {DeviceSimulator::Behaviour::Garbage, "garbage"},
    {DeviceSimulator::Behaviour::MarkerAtStart, "marker-at-start"},
    {DeviceSimulator::Behaviour::MarkerWrongCase, "marker-case"},
    {DeviceSimulator::Behaviour::EmptyBody, "empty"},
    {DeviceSimulator::Behaviour::Refused, "refused"},
};

} // namespace

DeviceSimulator::DeviceSimulator(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &DeviceSimulator::acceptConnections);
}

DeviceSimulator::~DeviceSimulator()
{
    // The connections must go while this object is still whole, as their closing reports to it.
    const QList<DeviceConnection *> connections = std::exchange(m_connections, {});
    for (DeviceConnection *connection : connections) {
        QObject::disconnect(connection, nullptr, this, nullptr);
        delete connection;
    }
}

bool DeviceSimulator::behaviourFromName(const QString &name, Behaviour *out)
{
    for (const NamedBehaviour &entry : behaviourTable) {
        if (name == QLatin1String(entry.name)) {
            *out = entry.behaviour;
            return true;
        }
    }
    return false;
}

QString DeviceSimulator::behaviourName(Behaviour behaviour)
{
    for (const NamedBehaviour &entry : behaviourTable) {
        if (entry.behaviour == behaviour)
            return QLatin1String(entry.name);
    }
    return QString();
}

QStringList DeviceSimulator::behaviourNames()
{
    QStringList names;
    for (const NamedBehaviour &entry : behaviourTable)
        names << QLatin1String(entry.name);
    return names;
}

bool DeviceSimulator::listen(quint16 port)
{
    if (isListening()) {
        m_errorString = QStringLiteral("Port %1 ist schon belegt").arg(m_port);
        return false;
    }
    return takePort(port);
}

bool DeviceSimulator::isListening() const
{
    return m_server->isListening() || m_portHolder;
}

void DeviceSimulator::close()
{
    releasePort();
    m_port = 0;
    const QList<DeviceConnection *> connections = std::exchange(m_connections, {});
    for (DeviceConnection *connection : connections) {
        QObject::disconnect(connection, nullptr, this, nullptr);
        connection->deleteLater();
    }
}

quint16 DeviceSimulator::port() const
{
    return m_port;
}

QString DeviceSimulator::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString DeviceSimulator::errorString() const
{
    return m_errorString;
}

void DeviceSimulator::setBehaviour(Behaviour behaviour)
{
    const bool wasRefused = m_behaviour == Behaviour::Refused;
    m_behaviour = behaviour;
    if (!isListening() || wasRefused == (behaviour == Behaviour::Refused))
        return;
    const quint16 port = m_port;
    releasePort();
    if (!takePort(port))
        qWarning("DeviceSimulator: Port %u nicht wieder belegt: %s", port,
                 qPrintable(m_errorString));
}

DeviceSimulator::Behaviour DeviceSimulator::behaviour() const
{
    return m_behaviour;
}

void DeviceSimulator::setSensorCount(int count)
{
    m_sensorCount = qMax(0, count);
}

int DeviceSimulator::sensorCount() const
{
    return m_sensorCount;
}

void DeviceSimulator::setFixedReadings(const QList<double> &readings)
{
    m_fixedReadings = readings;
}

void DeviceSimulator::setBody(const QByteArray &body)
{
    m_body = body;
    m_hasBody = true;
}

void DeviceSimulator::clearBody()
{
    m_body.clear();
    m_hasBody = false;
}

void DeviceSimulator::setStatusCode(int code)
{
    m_statusCode = code;
}

void DeviceSimulator::setTrickleInterval(int ms)
{
    m_trickleInterval = qMax(0, ms);
}

int DeviceSimulator::requestCount() const
{
    return m_requestCount;
}

QByteArray DeviceSimulator::lastRequestHead() const
{
    return m_lastRequestHead;
}

int DeviceSimulator::openConnectionCount() const
{
    return int(m_connections.size());
}

qint64 DeviceSimulator::bytesQueued() const
{
    return m_bytesQueued;
}

bool DeviceSimulator::takePort(quint16 port)
{
    if (m_behaviour != Behaviour::Refused) {
        if (!m_server->listen(QHostAddress::LocalHost, port)) {
            m_errorString = m_server->errorString();
            return false;
        }
        m_port = m_server->serverPort();
        return true;
    }
    // Held exclusively if possible. Connections on the port that are open or still in TIME_WAIT
    // prevent that; sharing then still keeps the kernel from handing the port out for outgoing
    // connections, and only a program binding exactly this port with address reuse could take it.
    auto *holder = new QTcpSocket(this);
    if (!holder->bind(QHostAddress::LocalHost, port, QAbstractSocket::DontShareAddress)
        && port != 0) {
        delete holder;
        holder = new QTcpSocket(this);
        holder->bind(QHostAddress::LocalHost, port, QAbstractSocket::ReuseAddressHint);
    }
    if (holder->state() != QAbstractSocket::BoundState) {
        m_errorString = holder->errorString();
        delete holder;
        return false;
    }
    m_portHolder = holder;
    m_port = holder->localPort();
    return true;
}

void DeviceSimulator::releasePort()
{
    m_server->close();
    delete m_portHolder;
    m_portHolder = nullptr;
}

void DeviceSimulator::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *connection = new DeviceConnection(socket, this);
        m_connections << connection;
        connect(connection, &DeviceConnection::requestRead, this,
                [this, connection](const QByteArray &head) { answer(connection, head); });
        connect(connection, &DeviceConnection::queued, this, &DeviceSimulator::countQueued);
        connect(connection, &DeviceConnection::closed, this,
                [this, connection] { dropConnection(connection); });
    }
}

void DeviceSimulator::answer(DeviceConnection *connection, const QByteArray &head)
{
    ++m_requestCount;
    m_lastRequestHead = head;
    const QPointer<DeviceSimulator> self(this);
    Q_EMIT requestReceived();
    if (!self || !m_connections.contains(connection))
        return;

    if (m_behaviour == Behaviour::Silent)
        return;
    const QList<QByteArray> requestLine = head.left(head.indexOf('\n')).trimmed().split(' ');
    QByteArray path = requestLine.value(1);
    const qsizetype query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    if (path != "/xml") {
        const QByteArray page = DevicePage::htmlPage(404);
        connection->sendAndClose(DevicePage::responseHead(404, htmlType, page.size()) + page);
        return;
    }

    switch (m_behaviour) {
    case Behaviour::Trickle:
        connection->trickle(completeAnswer(), m_trickleInterval);
        break;
    case Behaviour::Reset: {
        const QByteArray data = completeAnswer();
        const qsizetype bodyStart = data.indexOf("\r\n\r\n") + 4;
        connection->sendThenReset(data.left(bodyStart + (data.size() - bodyStart) / 2),
                                  resetDelayMs);
        break;
    }
    case Behaviour::Endless: {
        static const QByteArray chunk = DevicePage::endlessFiller(int(EndlessChunk));
        const int status = m_statusCode > 0 ? m_statusCode : 200;
        connection->stream(DevicePage::responseHead(status, xmlType, -1)
                               + DevicePage::endlessPrefix(readingTexts()),
                           chunk, EndlessHighWater);
        break;
    }
    case Behaviour::Refused:
        // Accepted before the port was given up; a refusing device has no open connections.
        connection->reset();
        break;
    default:
        connection->sendAndClose(completeAnswer());
        break;
    }
}

QByteArray DeviceSimulator::completeAnswer() const
{
    int status = m_statusCode > 0 ? m_statusCode : 200;
    QByteArray type = xmlType;
    QByteArray body;
    switch (m_behaviour) {
    case Behaviour::ErrorStatus:
        if (m_statusCode <= 0)
            status = 500;
        type = htmlType;
        body = DevicePage::htmlPage(status);
        break;
    case Behaviour::Oversized:
        body = DevicePage::oversizedXml(readingTexts());
        break;
    case Behaviour::Garbage:
        body = DevicePage::garbage();
        break;
    case Behaviour::MarkerAtStart:
        body = DevicePage::statusXml(readingTexts(), DevicePage::Marker::AtStart);
        break;
    case Behaviour::MarkerWrongCase:
        body = DevicePage::statusXml(readingTexts(), DevicePage::Marker::WrongCase);
        break;
    case Behaviour::EmptyBody:
        break;
    default:
        body = DevicePage::statusXml(readingTexts());
        break;
    }
    if (m_hasBody) {
        body = m_body;
        type = xmlType;
    }
    return DevicePage::responseHead(status, type, body.size()) + body;
}

QList<QByteArray> DeviceSimulator::readingTexts() const
{
    QList<QByteArray> texts;
    const double seconds = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    for (int i = 0; i < m_sensorCount; ++i) {
        if (!m_fixedReadings.isEmpty()) {
            const double value = i < m_fixedReadings.size() ? m_fixedReadings.at(i) : NoReading;
            texts << QString::number(value, 'g', 15).toLatin1();
            continue;
        }
        // Periods and phases differ per sensor and per device, so that the curves of a demo do
        // not move in lockstep; a period of minutes makes a change visible every few polls.
        const double period = 300.0 + 37.0 * i;
        const double phase = 1.3 * i + 0.7 * m_port;
        const double value = 20.0 + (i + 1) + 1.5 * std::sin(2.0 * pi * seconds / period + phase);
        texts << QByteArray::number(value, 'f', 2);
    }
    return texts;
}

void DeviceSimulator::countQueued(qint64 bytes, qint64)
{
    m_bytesQueued += bytes;
}

void DeviceSimulator::dropConnection(DeviceConnection *connection)
{
    if (!m_connections.removeOne(connection))
        return;
    QObject::disconnect(connection, nullptr, this, nullptr);
    // Later, because this runs inside the connection's own signal.
    connection->deleteLater();
}
