#include "devicesimulator.h"

#include "deviceconnection.h"

#include <QDateTime>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <cmath>
#include <utility>

namespace {

// Lets what was sent before a reset reach the client first, the way a device that dies halfway
// through an answer looks from outside.
constexpr int kResetDelayMs = 50;
constexpr double kPi = 3.14159265358979323846;

const QByteArray kDeclaration("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<status>\r\n");
const QByteArray kMarker("<ntpsync>1</ntpsync>\r\n");

const struct
{
    DeviceSimulator::Behaviour behaviour;
    const char *name;
} kBehaviourNames[] = {
    {DeviceSimulator::Behaviour::Normal, "normal"},
    {DeviceSimulator::Behaviour::Silent, "silent"},
    {DeviceSimulator::Behaviour::Trickle, "trickle"},
    {DeviceSimulator::Behaviour::Reset, "reset"},
    {DeviceSimulator::Behaviour::Endless, "endless"},
    {DeviceSimulator::Behaviour::Refused, "refused"},
    {DeviceSimulator::Behaviour::NoMarker, "nomarker"},
    {DeviceSimulator::Behaviour::NotFound, "notfound"},
    {DeviceSimulator::Behaviour::ServerError, "servererror"},
};

const QByteArray kXmlType("text/xml; charset=ISO-8859-1");
const QByteArray kNotFoundPage("<!DOCTYPE html>\r\n<html><head><title>404 Not Found</title></head>"
                               "<body><h1>Not Found</h1></body></html>\r\n");

QByteArray sensorElements(const QList<QByteArray> &readings)
{
    QByteArray elements;
    for (int i = 0; i < readings.size(); ++i) {
        const QByteArray tag = 't' + QByteArray::number(i + 1);
        elements += '<' + tag + '>' + readings.at(i) + "</" + tag + ">\r\n";
    }
    return elements;
}

// Status line and headers up to the blank line; contentLength < 0 leaves out Content-Length, so
// that the body ends with the connection.
QByteArray responseHead(int status, qint64 contentLength, const QByteArray &type = kXmlType)
{
    const QByteArray reason = status == 200   ? "OK"
                              : status == 404 ? "Not Found"
                              : status == 500 ? "Internal Server Error"
                                              : "Status";
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
                      + "\r\nServer: pelvaro-devicesim\r\nContent-Type: " + type + "\r\n";
    if (contentLength >= 0)
        head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

// Whole <pad> elements of 32 bytes each, so that consecutive pieces join into valid XML.
QByteArray endlessFiller()
{
    QByteArray filler;
    while (filler.size() < DeviceSimulator::kEndlessChunk)
        filler += "<pad>-------------------</pad>\r\n";
    return filler;
}

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
    for (const auto &entry : kBehaviourNames) {
        if (name == QLatin1String(entry.name)) {
            *out = entry.behaviour;
            return true;
        }
    }
    return false;
}

QStringList DeviceSimulator::behaviourNames()
{
    QStringList names;
    for (const auto &entry : kBehaviourNames)
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

void DeviceSimulator::setSensorCount(int count)
{
    m_sensorCount = qMax(0, count);
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
        connect(connection, &DeviceConnection::queued, this,
                [this](qint64 bytes) { m_bytesQueued += bytes; });
        connect(connection, &DeviceConnection::closed, this,
                [this, connection] { dropConnection(connection); });
    }
}

void DeviceSimulator::answer(DeviceConnection *connection, const QByteArray &head)
{
    ++m_requestCount;
    m_lastRequestHead = head;
    if (m_behaviour == Behaviour::Silent)
        return;
    QByteArray path = head.left(head.indexOf('\n')).trimmed().split(' ').value(1);
    const qsizetype query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    if (path != "/xml") {
        connection->sendAndClose(responseHead(404, 0));
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
                                  kResetDelayMs);
        break;
    }
    case Behaviour::Endless: {
        static const QByteArray chunk = endlessFiller();
        const QByteArray start = responseHead(m_statusCode > 0 ? m_statusCode : 200, -1)
                                 + kDeclaration + kMarker + sensorElements(readingTexts());
        connection->stream(start, chunk, kEndlessHighWater);
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
    int status = 200;
    QByteArray type = kXmlType;
    QByteArray body = kDeclaration + (m_behaviour == Behaviour::NoMarker ? QByteArray() : kMarker)
                      + sensorElements(readingTexts()) + "</status>\r\n";
    if (m_behaviour == Behaviour::NotFound) {
        status = 404;
        type = "text/html; charset=utf-8";
        body = kNotFoundPage;
    } else if (m_behaviour == Behaviour::ServerError) {
        status = 500;
    }
    if (m_hasBody) {
        type = kXmlType;
        body = m_body;
    }
    return responseHead(m_statusCode > 0 ? m_statusCode : status, body.size(), type) + body;
}

QList<QByteArray> DeviceSimulator::readingTexts() const
{
    QList<QByteArray> texts;
    const double seconds = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    for (int i = 0; i < m_sensorCount; ++i) {
        if (!m_fixedReadings.isEmpty()) {
            const double value = i < m_fixedReadings.size() ? m_fixedReadings.at(i) : kNoReading;
            texts << QString::number(value, 'g', 15).toLatin1();
            continue;
        }
        // Periods and phases differ per sensor and per device, so that the curves of a demo do
        // not move in lockstep; a period of minutes makes a change visible every few polls.
        const double period = 300.0 + 37.0 * i;
        const double phase = 1.3 * i + 0.7 * m_port;
        const double value = 20.0 + (i + 1) + 1.5 * std::sin(2.0 * kPi * seconds / period + phase);
        texts << QByteArray::number(value, 'f', 2);
    }
    return texts;
}

void DeviceSimulator::dropConnection(DeviceConnection *connection)
{
    if (!m_connections.removeOne(connection))
        return;
    QObject::disconnect(connection, nullptr, this, nullptr);
    // Later, because this runs inside the connection's own signal.
    connection->deleteLater();
}
