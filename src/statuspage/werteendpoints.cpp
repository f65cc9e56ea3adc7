#include "werteendpoints.h"

#include "csvtext.h"
#include "pageassets.h"
#include "readerthread.h"
#include "runtime/wallclock.h"
#include "statusreport.h"
#include "statussource.h"
#include "storage/registry.h"
#include "wertereader.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <exception>
#include <limits>

namespace {

const QString kBusy = QStringLiteral("Zu viele Abfragen auf einmal; bitte gleich noch einmal.");

struct SensorNames
{
    QString sensor;
    QString geraet;
};

// The query of a request, checked: the first fault found is the reason for the 400.
class Parameters
{
public:
    Parameters(const QList<QPair<QString, QString>> &query, const QStringList &known)
    {
        for (const auto &pair : query) {
            if (!known.contains(pair.first)) {
                fail(QStringLiteral("Unbekannter Parameter '%1'.").arg(pair.first));
            }
            m_values[pair.first].append(pair.second);
        }
    }

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    void fail(const QString &reason)
    {
        if (m_error.isEmpty()) {
            m_error = reason;
        }
    }

    QList<qint32> sensors()
    {
        QList<qint32> numbers;
        for (const QString &text : m_values.value(QStringLiteral("sensor"))) {
            bool number = false;
            const qint32 sensor = text.toInt(&number);
            if (!number) {
                fail(QStringLiteral("'%1' ist keine Sensornummer.").arg(text));
            } else if (!numbers.contains(sensor)) {
                numbers << sensor;
            }
        }
        return numbers;
    }

    QDateTime time(const QString &name, const QDateTime &fallback)
    {
        const std::optional<QString> text = one(name);
        if (!text) {
            return fallback;
        }
        const std::optional<QDateTime> time = WallClock::parse(*text);
        if (!time) {
            fail(QStringLiteral("'%1' ist keine Zeit wie 2026-12-07T14:30 (Parameter '%2').")
                     .arg(*text, name));
            return fallback;
        }
        return *time;
    }

    int number(const QString &name, int fallback, int minimum, int maximum)
    {
        const std::optional<QString> text = one(name);
        bool number = text.has_value();
        const int value = text ? text->toInt(&number) : fallback;
        if (text && (!number || value < minimum || value > maximum)) {
            fail(QStringLiteral("'%1' muss eine ganze Zahl von %2 bis %3 sein.")
                     .arg(name)
                     .arg(minimum)
                     .arg(maximum));
            return fallback;
        }
        return value;
    }

    std::optional<QString> one(const QString &name)
    {
        const QStringList values = m_values.value(name);
        if (values.size() > 1) {
            fail(QStringLiteral("Der Parameter '%1' steht mehrmals da.").arg(name));
        }
        return values.isEmpty() ? std::nullopt : std::optional<QString>(values.constFirst());
    }

    // von and bis, von before bis.
    std::pair<QDateTime, QDateTime> range()
    {
        const QDateTime bis = time(QStringLiteral("bis"), WallClock::now());
        const QDateTime von = time(QStringLiteral("von"), bis.addDays(-1));
        if (von >= bis) {
            fail(QStringLiteral("'von' muss vor 'bis' liegen."));
        }
        return {von, bis};
    }

private:
    QHash<QString, QStringList> m_values;
    QString m_error;
};

QHash<qint32, SensorNames> namesOf(const StatusSource &source)
{
    const Registry &registry = source.registry();
    QHash<qint32, SensorNames> names;
    for (qint32 j = 1; j <= registry.AnzahlSensoren; ++j) {
        names.insert(registry.SensorID[j],
                     SensorNames{registry.SensorName[j], StatusReport::deviceOf(registry, j)});
    }
    return names;
}

QByteArray seriesJson(qint32 sensor, const SensorNames &names, const QDateTime &von,
                      const QDateTime &bis, const WerteReader::Series &series)
{
    QJsonArray zeit;
    QJsonArray minimum;
    QJsonArray mittel;
    QJsonArray maximum;
    QJsonArray anzahl;
    for (const WerteReader::Bucket &bucket : series.buckets) {
        zeit.append(WallClock::isoText(bucket.zeit));
        minimum.append(StatusReport::asWritten(bucket.minimum));
        mittel.append(StatusReport::asWritten(bucket.mittel));
        maximum.append(StatusReport::asWritten(bucket.maximum));
        anzahl.append(bucket.anzahl);
    }
    const QJsonObject answer{
        {QStringLiteral("sensor"), sensor},
        {QStringLiteral("bezeichnung"), names.sensor},
        {QStringLiteral("geraet"), names.geraet},
        {QStringLiteral("von"), WallClock::isoText(von)},
        {QStringLiteral("bis"), WallClock::isoText(bis)},
        {QStringLiteral("sekundenJePunkt"), series.secondsPerBucket},
        {QStringLiteral("raster"), series.raster},
        {QStringLiteral("quelle"),
         series.fromFigures ? QStringLiteral("Stundenwerte") : QStringLiteral("Werte")},
        {QStringLiteral("zeit"), zeit},
        {QStringLiteral("minimum"), minimum},
        {QStringLiteral("mittel"), mittel},
        {QStringLiteral("maximum"), maximum},
        {QStringLiteral("anzahl"), anzahl},
    };
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}

// An export on its way: one page is read on the reader thread while the previous one goes out.
// The first page is read before the head is sent, so that a database that cannot be read still
// gets a proper 503.
class CsvStream : public HttpStream, public std::enable_shared_from_this<CsvStream>
{
public:
    // What the reader thread works on; the server's thread touches it only between two pages.
    struct Work
    {
        WerteReader::Cursor cursor;
        QByteArray page;
        QString failure;
    };

    CsvStream(HttpServer &server, ReaderThread &reader, quint64 id, bool german,
              QHash<qint32, SensorNames> names, WerteReader::Cursor cursor)
        : m_server(server), m_reader(reader), m_id(id), m_csv(german), m_names(std::move(names)),
          m_work(std::make_shared<Work>(Work{std::move(cursor), m_csv.head(), {}}))
    {
    }

    Pull pull(QByteArray &chunk) override
    {
        if (!m_ready.isEmpty()) {
            chunk = std::exchange(m_ready, {});
            return Pull::Data;
        }
        if (m_busy) {
            return Pull::Wait;
        }
        if (!m_work->failure.isEmpty()) {
            return Pull::Fail;
        }
        if (m_work->cursor.done()) {
            return Pull::End;
        }
        return readPage() ? Pull::Wait : Pull::Fail;
    }

    bool readPage()
    {
        m_busy = true;
        std::shared_ptr<CsvStream> self = shared_from_this();
        return m_reader.submit(
            [work = m_work, csv = m_csv, names = m_names](WerteReader &reader) {
                try {
                    const QList<WerteReader::Row> rows =
                        reader.page(work->cursor, WerteEndpoints::kPageRows);
                    for (const WerteReader::Row &row : rows) {
                        const SensorNames named = names.value(row.sensorNummer);
                        csv.appendRow(work->page, row.sensorNummer, named.sensor, named.geraet,
                                      row.zeit, row.wert);
                    }
                } catch (const std::exception &error) {
                    work->failure = QString::fromUtf8(error.what());
                }
            },
            [self] { self->pageRead(); }, m_answered);
    }

private:
    void pageRead()
    {
        m_busy = false;
        m_ready = std::exchange(m_work->page, {});
        if (m_answered) {
            m_server.wake(m_id);
            return;
        }
        m_answered = true;
        if (!m_work->failure.isEmpty()) {
            m_server.respond(m_id, HttpResponse{503, "text/plain; charset=utf-8",
                                                (m_work->failure + QLatin1Char('\n')).toUtf8()});
            return;
        }
        m_server.respond(
            m_id, HttpResponse{200,
                               "text/csv; charset=utf-8; header=present",
                               {},
                               {{"Content-Disposition", "attachment; filename=\"werte.csv\""}},
                               shared_from_this()});
    }

    HttpServer &m_server;
    ReaderThread &m_reader;
    quint64 m_id;
    CsvText m_csv;
    QHash<qint32, SensorNames> m_names;
    std::shared_ptr<Work> m_work;
    QByteArray m_ready;
    bool m_busy = false;
    bool m_answered = false;
};

} // namespace

WerteEndpoints::WerteEndpoints(HttpServer &server, ReaderThread &reader, const StatusSource &source)
    : m_server(server), m_reader(reader), m_source(source)
{
}

void WerteEndpoints::refuse(const HttpServer::Request &request, int status, const QString &reason)
{
    const bool api = request.path.startsWith("/api/");
    const QByteArray body = api ? QJsonDocument(QJsonObject{{QStringLiteral("fehler"), reason}})
                                      .toJson(QJsonDocument::Compact)
                                : (reason + QLatin1Char('\n')).toUtf8();
    m_server.respond(
        request.id,
        HttpResponse{status, api ? "application/json" : "text/plain; charset=utf-8", body});
}

void WerteEndpoints::series(const HttpServer::Request &request)
{
    Parameters parameters(request.query, {QStringLiteral("sensor"), QStringLiteral("von"),
                                          QStringLiteral("bis"), QStringLiteral("punkte")});
    const QList<qint32> sensors = parameters.sensors();
    if (sensors.size() != 1) {
        parameters.fail(QStringLiteral("Genau ein Parameter 'sensor' wird gebraucht."));
    }
    const auto [von, bis] = parameters.range();
    const int punkte =
        parameters.number(QStringLiteral("punkte"), kDefaultPunkte, 1, WerteReader::kMaxBuckets);
    if (!parameters.ok()) {
        refuse(request, 400, parameters.error());
        return;
    }
    const qint32 sensor = sensors.constFirst();
    const SensorNames names = namesOf(m_source).value(sensor);
    const StoreState::Langzeit langzeit = m_source.storeState().langzeit;
    const bool figuresReady = langzeit.vorhanden && langzeit.bereit;
    const bool deflate = PageAssets::acceptsDeflate(request.headers.value("accept-encoding"));
    struct Answer
    {
        QByteArray body;
        bool deflated = false;
        QString failure;
    };
    auto answer = std::make_shared<Answer>();
    const quint64 id = request.id;
    const bool queued = m_reader.submit(
        [=, von = von, bis = bis](WerteReader &reader) {
            try {
                answer->body = seriesJson(sensor, names, von, bis,
                                          reader.series(sensor, von, bis, punkte, figuresReady));
            } catch (const std::exception &error) {
                answer->failure = QString::fromUtf8(error.what());
                return;
            }
            // Compressed here, off the server's thread.
            if (QByteArray deflated = deflate ? PageAssets::deflate(answer->body) : QByteArray();
                !deflated.isEmpty()) {
                answer->body = std::move(deflated);
                answer->deflated = true;
            }
        },
        [this, id, answer] {
            if (!answer->failure.isEmpty()) {
                m_server.respond(
                    id, HttpResponse{
                            503, "application/json",
                            QJsonDocument(QJsonObject{{QStringLiteral("fehler"), answer->failure}})
                                .toJson(QJsonDocument::Compact)});
                return;
            }
            HttpResponse response{200, "application/json", answer->body};
            if (answer->deflated) {
                response.headers = {{"Content-Encoding", "deflate"}, {"Vary", "Accept-Encoding"}};
            }
            m_server.respond(id, std::move(response));
        });
    if (!queued) {
        refuse(request, 503, kBusy);
    }
}

void WerteEndpoints::csv(const HttpServer::Request &request)
{
    Parameters parameters(request.query, {QStringLiteral("sensor"), QStringLiteral("von"),
                                          QStringLiteral("bis"), QStringLiteral("format")});
    QList<qint32> sensors = parameters.sensors();
    const auto [von, bis] = parameters.range();
    const std::optional<QString> format = parameters.one(QStringLiteral("format"));
    if (format && *format != QLatin1String("de")) {
        parameters.fail(QStringLiteral("Das Format '%1' gibt es nicht; 'format=de' gibt ';' "
                                       "und Dezimalkomma.")
                            .arg(*format));
    }
    if (!parameters.ok()) {
        refuse(request, 400, parameters.error());
        return;
    }
    const QHash<qint32, SensorNames> names = namesOf(m_source);
    if (sensors.isEmpty()) {
        const Registry &registry = m_source.registry();
        for (qint32 j = 1; j <= registry.AnzahlSensoren; ++j) {
            if (!sensors.contains(registry.SensorID[j])) {
                sensors << registry.SensorID[j];
            }
        }
    }
    WerteReader::Cursor cursor;
    cursor.sensors = sensors;
    cursor.von = von;
    cursor.bis = bis;
    auto stream = std::make_shared<CsvStream>(m_server, m_reader, request.id, format.has_value(),
                                              names, cursor);
    if (!stream->readPage()) {
        refuse(request, 503, kBusy);
    }
}
