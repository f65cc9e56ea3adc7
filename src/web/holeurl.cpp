#include "holeurl.h"

#include "interschneck.h"
#include "runtime/bounds.h"
#include "runtime/checkedarithmetic.h"
#include "runtime/mainview.h"

#include <QEventLoop>
#include <QTimer>

namespace {

// Handles events for up to one pass, ending early only when the transfer ends.
void waitPass(Interschneck &transfer)
{
    if (!transfer.StillExecuting()) {
        return;
    }
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early, which would shorten the bound below what it
    // promises.
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&transfer, &Interschneck::finished, &loop, &QEventLoop::quit);
    timer.start(Bounds::kPassMs);
    loop.exec();
}

} // namespace

FetchResult fetchDevicePage(MainView &view, Interschneck &transfer, const QString &url,
                            qint32 timeoutSeconds)
{
    const qint64 bound = qint64(timeoutSeconds) * Bounds::kPassesPerSecond;
    view.pump();
    transfer.Cancel();
    transfer.Execute(url, QStringLiteral("GET"));

    FetchResult result;
    do {
        waitPass(transfer);
        result.passes = checkedAdd(result.passes, 1);
        view.pump();
    } while (transfer.StillExecuting() && result.passes <= bound);

    if (transfer.StillExecuting()) {
        result.failure = FetchFailure{FetchFailure::Reason::Timeout, 0, timeoutSeconds};
        transfer.Cancel();
    } else {
        result.failure = transfer.failure();
        result.text = transfer.GetChunk(Bounds::kKeptBytes);
    }
    view.pump();
    return result;
}

QString HoleURL(MainView &view, Interschneck &transfer, const QString &url, qint32 timeoutSeconds)
{
    return fetchDevicePage(view, transfer, url, timeoutSeconds).text;
}
