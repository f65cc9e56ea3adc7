#include "deviceprobe.h"

#include "runtime/bounds.h"
#include "web/curldriver.h"
#include "web/geraeteabfragen.h"
#include "web/holeurl.h"
#include "web/interschneck.h"

#include <QJsonArray>
#include <QTimer>

#include <exception>

namespace {

QJsonObject answerOf(const QString &address, const FetchResult &fetched)
{
    const FetchFailure failure = judgedAnswer(fetched);
    QJsonArray elements;
    if (!failure.failed()) {
        for (const PageElement &element : pageElements(fetched.text)) {
            elements.append(
                QJsonObject{{QStringLiteral("anschluss"), element.anschluss},
                            {QStringLiteral("wert"),
                             element.reading ? QJsonValue(*element.reading) : QJsonValue()},
                            {QStringLiteral("steht"), element.shown}});
        }
    }
    return {{QStringLiteral("adresse"), address},
            {QStringLiteral("zaehlt"), !failure.failed()},
            {QStringLiteral("grund"), failure.keyword()},
            {QStringLiteral("text"), failure.text()},
            {QStringLiteral("elemente"), elements}};
}

} // namespace

DeviceProbe::DeviceProbe(QObject *parent) : QObject(parent), m_driver(new CurlDriver(this)) {}

DeviceProbe::~DeviceProbe()
{
    // The transfers (children) go before the driver that runs them.
    const QList<Interschneck *> transfers = findChildren<Interschneck *>();
    qDeleteAll(transfers);
}

bool DeviceProbe::start(const QString &address, std::function<void(const QJsonObject &)> done)
{
    if (m_running >= kRunning) {
        return false;
    }
    ++m_running;
    auto *transfer = new Interschneck(*m_driver, this);
    auto *timer = new QTimer(transfer);
    timer->setSingleShot(true);
    const auto end = [this, transfer, address, done](const FetchResult &fetched) {
        --m_running;
        transfer->deleteLater();
        done(answerOf(address, fetched));
    };
    connect(transfer, &Interschneck::finished, this, [transfer, timer, end] {
        timer->stop();
        FetchResult fetched;
        fetched.failure = transfer->failure();
        fetched.text = transfer->GetChunk(Bounds::kKeptBytes);
        end(fetched);
    });
    connect(timer, &QTimer::timeout, this, [transfer, end] {
        QObject::disconnect(transfer, &Interschneck::finished, nullptr, nullptr);
        transfer->Cancel();
        FetchResult fetched;
        fetched.failure =
            FetchFailure{FetchFailure::Reason::Timeout, 0, Bounds::kFetchTimeoutSeconds};
        end(fetched);
    });
    try {
        transfer->Execute(QStringLiteral("http://") + address + QStringLiteral("/xml"));
    } catch (const std::exception &) {
        // Out of memory setting the request up: as if nothing answered.
    }
    if (transfer->StillExecuting()) {
        timer->start(Bounds::kFetchTimeoutSeconds * 1000);
    } else {
        // An address that makes no URL ends at once, without the signal.
        QTimer::singleShot(0, transfer, [transfer, end] {
            FetchResult fetched;
            fetched.failure = transfer->failure();
            end(fetched);
        });
    }
    return true;
}
