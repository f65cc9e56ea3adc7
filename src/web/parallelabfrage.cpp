#include "parallelabfrage.h"

#include "interschneck.h"
#include "runtime/bounds.h"
#include "runtime/mainview.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <vector>

namespace {

// The fetches of one address, one after the other through one transfer component.
struct AddressQueue
{
    explicit AddressQueue(CurlDriver &driver) : transfer(std::make_unique<Interschneck>(driver)) {}

    std::unique_ptr<Interschneck> transfer;
    std::vector<int> pending;
    int running = -1;
    QElapsedTimer started;
};

QString addressOf(const QString &url)
{
    const QUrl parsed(url);
    return parsed.isValid() ? parsed.host() + QLatin1Char(':') + QString::number(parsed.port(80))
                            : url;
}

} // namespace

QList<FetchResult> fetchAll(MainView &view, CurlDriver &driver, const QStringList &urls,
                            qint32 limitSeconds, qint32 timeoutSeconds)
{
    // Whatever has not ended by the limit keeps this.
    FetchResult late;
    late.failure = FetchFailure{FetchFailure::Reason::Deadline, 0, limitSeconds};
    QList<FetchResult> answers;
    std::vector<AddressQueue> queues;
    QStringList addresses;
    for (int i = 0; i < urls.size(); ++i) {
        answers << late;
        const QString address = addressOf(urls.at(i));
        qsizetype q = addresses.indexOf(address);
        if (q < 0) {
            q = addresses.size();
            addresses << address;
            queues.emplace_back(driver);
        }
        queues[size_t(q)].pending.push_back(i);
    }

    QEventLoop loop;
    QTimer pass;
    pass.setSingleShot(true);
    pass.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pass, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto startNext = [&](AddressQueue &queue) {
        queue.running = -1;
        if (queue.pending.empty()) {
            return;
        }
        queue.running = queue.pending.front();
        queue.pending.erase(queue.pending.begin());
        queue.started.start();
        queue.transfer->Execute(urls.at(queue.running));
    };
    for (AddressQueue &queue : queues) {
        QObject::connect(queue.transfer.get(), &Interschneck::finished, &loop, &QEventLoop::quit);
        startNext(queue);
    }

    // The same bound as a single fetch: never less than the time-out, then one pass more.
    const qint64 fetchBoundMs = qint64(timeoutSeconds) * 1000 + Bounds::kPassMs;
    QElapsedTimer elapsed;
    elapsed.start();
    view.pump();
    for (;;) {
        bool busy = false;
        for (AddressQueue &queue : queues) {
            while (queue.running >= 0 && !queue.transfer->StillExecuting()) {
                FetchResult &answer = answers[queue.running];
                answer.failure = queue.transfer->failure();
                answer.text = queue.transfer->GetChunk(Bounds::kKeptBytes);
                startNext(queue);
            }
            if (queue.running >= 0 && queue.started.elapsed() > fetchBoundMs) {
                queue.transfer->Cancel();
                answers[queue.running].failure =
                    FetchFailure{FetchFailure::Reason::Timeout, 0, timeoutSeconds};
                startNext(queue);
            }
            busy = busy || queue.running >= 0;
        }
        if (!busy || elapsed.elapsed() >= qint64(limitSeconds) * 1000) {
            break;
        }
        pass.start(Bounds::kPassMs);
        loop.exec();
        view.pump();
    }
    for (AddressQueue &queue : queues) {
        queue.transfer->Cancel();
    }
    return answers;
}
