#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class DeviceConnection;
class QTcpServer;
class QTcpSocket;

// One simulated sensor device on one TCP port of 127.0.0.1, for the demo and for tests.
//
// It speaks just enough HTTP/1.1 for the logger: it reads a request head up to the blank line,
// answers GET /xml (a query string is ignored, the method is not checked) according to the
// behaviour set, and closes the connection; every answer says "Connection: close". Other paths get
// 404, whatever the behaviour, except that Silent never answers at all. A fixed page (setBody,
// setStatusCode) stands in for every answer a test needs beyond the behaviours below.
//
// Settings take effect with the next request, also on connections already open. All connections
// are owned by the simulator and closed when it is destroyed.
class DeviceSimulator : public QObject
{
    Q_OBJECT
public:
    enum class Behaviour {
        // 200, text/xml, Content-Length; declaration, <status>, <ntpsync>1</ntpsync>, <t1>..<tN>.
        Normal,
        // Reads the request, then neither answers nor closes until the client goes away.
        Silent,
        // The Normal answer, head and body, one byte per trickle interval.
        Trickle,
        // Sends the Normal head and half of its body, then resets the connection (RST, not FIN).
        Reset,
        // 200 without Content-Length and a body that never ends: marker and sensor elements, then
        // <pad> elements for as long as the client reads. More is queued only while less than
        // kEndlessHighWater bytes wait in the socket.
        Endless,
        // Connecting to port() is refused: the port is held by a socket that is bound but never
        // listens, which also keeps the kernel from handing it out as the local end of an
        // outgoing connection (a client connected to itself). Only when connections of this port
        // are still open or in TIME_WAIT is it held shared.
        Refused,
        // The Normal answer without its <ntpsync> element: a device whose firmware serves some
        // other page at /xml.
        NoMarker,
        // 404 with a small HTML error page and no marker, as a web server without the path says.
        NotFound,
        // 500 with the Normal page, marker included: an error status on a page that counts.
        ServerError
    };
    Q_ENUM(Behaviour)

    static constexpr qint64 kEndlessHighWater = 64 * 1024;
    static constexpr qint64 kEndlessChunk = 16 * 1024;
    static constexpr double kNoReading = -10000.0;

    explicit DeviceSimulator(QObject *parent = nullptr);
    ~DeviceSimulator() override;

    // Names as used on the command line: normal, silent, trickle, reset, endless, refused,
    // nomarker, notfound, servererror.
    // behaviourFromName() leaves *out alone and returns false for an unknown name; case matters.
    static bool behaviourFromName(const QString &name, Behaviour *out);
    static QStringList behaviourNames();

    // Takes port on 127.0.0.1, 0 meaning any free port. Fails if the port is taken or the
    // simulator already holds one; errorString() then says why.
    bool listen(quint16 port = 0);
    bool isListening() const;
    // Releases the port and drops all connections.
    void close();
    // 0 while not listening.
    quint16 port() const;
    // "127.0.0.1:PORT", the form the logger is configured with.
    QString address() const;
    QString errorString() const;

    // Switching to or from Refused while listening re-takes the same port, briefly leaving it
    // free; connections already open stay open.
    void setBehaviour(Behaviour behaviour);

    // Number of sensor elements t1..tN; default 4, negative counts as 0.
    void setSensorCount(int count);
    // Fixed readings for t1, t2, ..., written with QString::number(v, 'g', 15). Sensors past the
    // end of the list report kNoReading. An empty list returns to drifting readings: sensor N
    // then reads about 20 + N, moving slowly and smoothly with time, with two decimals.
    void setFixedReadings(const QList<double> &readings);

    // Serve exactly this body in place of the generated page (even an empty one), as text/xml
    // with Content-Length. Trickle and Reset still deliver it their way; Silent, Endless and
    // Refused have no body to replace. It replaces the pages of NoMarker and NotFound too.
    void setBody(const QByteArray &body);
    // Status code of every answer to /xml; 0 (the default) means the behaviour's own: 404 for
    // NotFound, 500 for ServerError, else 200.
    void setStatusCode(int code);
    // Time between the bytes of a Trickle answer, default 100 ms.
    void setTrickleInterval(int ms);

    // Requests whose head was read completely, on all connections.
    int requestCount() const;
    // Request line and headers of the last such request, without the blank line.
    QByteArray lastRequestHead() const;
    int openConnectionCount() const;
    // All answer bytes queued so far, on all connections.
    qint64 bytesQueued() const;

private:
    bool takePort(quint16 port);
    void releasePort();
    void acceptConnections();
    void answer(DeviceConnection *connection, const QByteArray &head);
    QByteArray completeAnswer() const;
    QList<QByteArray> readingTexts() const;
    void dropConnection(DeviceConnection *connection);

    QTcpServer *m_server = nullptr;
    // Holds the port while the behaviour is Refused.
    QTcpSocket *m_portHolder = nullptr;
    quint16 m_port = 0;
    QString m_errorString;
    QList<DeviceConnection *> m_connections;

    Behaviour m_behaviour = Behaviour::Normal;
    int m_sensorCount = 4;
    QList<double> m_fixedReadings;
    QByteArray m_body;
    bool m_hasBody = false;
    int m_statusCode = 0;
    int m_trickleInterval = 100;

    int m_requestCount = 0;
    QByteArray m_lastRequestHead;
    qint64 m_bytesQueued = 0;
};
