// How long sending alerts holds up the event loop, and how soon the program ends with a message
// in flight. Loopback only.
//  1. 20 mails one after another to an SMTP server that confirms them, 20 webhook calls, and 3
//     mails to a server that takes messages but never confirms them: the largest gap of a 1 ms
//     timer meanwhile, which is the longest the event loop was held.
//  2. build/pelvarod with alerts on a refused device, SIGTERM once the message is
//     in flight to a webhook that never answers, or to a mail server that never confirms: the
//     time from the signal to the end of the process, median and largest of 5 runs.
//
//   build/bench/bench_alerts

#include "alerts/alertchannel.h"
#include "alerts/alertconditions.h"
#include "alerts/alertmessage.h"
#include "support/programprocess.h"
#include "support/smtpsink.h"
#include "support/sqlfixture.h"
#include "support/tempdatabase.h"
#include "support/webhookreceiver.h"
#include "web/curldriver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

const QList<AlertEvent> kEvents{AlertEvent{
    AlertEvent::Kind::Device, true, QDateTime::currentDateTime(), 10, QStringLiteral("Heizung"),
    std::nan(""), std::nan(""), QStringLiteral("Gerät 'Heizung' (Nr. 10) antwortet nicht."),
    QStringLiteral("refused")}};

// Runs the event loop until done() holds, at most timeoutMs; unlike QTest::qWaitFor it never
// sleeps, which would show as a held loop.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || clock.hasExpired(timeoutMs)) {
            loop.quit();
        }
    });
    check.start(1);
    loop.exec();
    return done();
}

qint64 heldMs(AlertChannel::Kind kind, const QString &url, int messages)
{
    CurlDriver driver;
    AlertChannel channel(driver, kind, url, QStringLiteral("logger@example.org"),
                         {QStringLiteral("technik@example.org")}, AlertTiming(),
                         [](Journal::Priority, const QString &) {});
    const QByteArray payload =
        kind == AlertChannel::Kind::Mail
            ? mailMessage(kEvents, QStringLiteral("bench"), QStringLiteral("bench.mdb"),
                          QStringLiteral("logger@example.org"),
                          {QStringLiteral("technik@example.org")}, QDateTime::currentDateTime())
            : webhookBody(kEvents, QStringLiteral("bench"));
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 held = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        held = std::max(held, clock.elapsed() - last);
        last = clock.elapsed();
    });
    clock.start();
    tick.start(1);
    for (int i = 0; i < messages; ++i) {
        channel.send(payload, QStringLiteral("bench"));
    }
    if (!waitUntil([&] { return channel.waiting() == 0; }, 60000)) {
        return -1;
    }
    return std::max(held, clock.elapsed() - last);
}

// SIGTERM once the alert is on its way; milliseconds until the process has ended, -1 when it
// did not get that far.
qint64 endMs(const QString &settings, const std::function<bool()> &inFlight)
{
    TempDatabase database;
    database.exec(loggerSetup(1, QStringLiteral("(10, '127.0.0.1:1', 'Aus')"),
                              QStringLiteral("(1, 1, 1, 'S')"))
                  + QStringLiteral("; INSERT INTO Einstellungen VALUES ('AlarmNachFehlern', 1), ")
                  + settings);
    QProcess process;
    if (!startPelvaro(process, database.path()) || !waitUntil(inFlight, 20000)) {
        return -1;
    }
    // Into libcurl's wait for the confirmation, where there is one.
    waitUntil([] { return false; }, 100);
    QElapsedTimer clock;
    clock.start();
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    if (!waitUntil([&] { return process.state() == QProcess::NotRunning; }, 20000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return clock.elapsed();
}

QString medianAndMax(std::vector<qint64> times)
{
    std::sort(times.begin(), times.end());
    return QStringLiteral("median %1 ms, largest %2 ms")
        .arg(times[times.size() / 2])
        .arg(times.back());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qputenv("PELVARO_DAEMON", PELVARO_DAEMON_PATH);
    qputenv("no_proxy", "*");
    SmtpSink confirming;
    SmtpSink silent;
    WebhookReceiver answering;
    WebhookReceiver holding;
    if (!confirming.listen() || !silent.listen() || !answering.listen() || !holding.listen()) {
        std::fputs("no loopback port\n", stderr);
        return 1;
    }
    silent.setMode(SmtpSink::Mode::Silent);
    holding.setStatus(0);
    std::printf("event loop held, 20 mails, server confirms:  %lld ms\n",
                heldMs(AlertChannel::Kind::Mail, confirming.url(), 20));
    std::printf("event loop held, 20 webhook calls:           %lld ms\n",
                heldMs(AlertChannel::Kind::Webhook, answering.url(), 20));
    std::printf("event loop held, 3 mails, never confirmed:   %lld ms\n",
                heldMs(AlertChannel::Kind::Mail, silent.url(), 3));
    std::fflush(stdout);
    std::vector<qint64> webhook;
    std::vector<qint64> mail;
    for (int run = 0; run < 5; ++run) {
        const int before = holding.requestCount();
        webhook.push_back(endMs(QStringLiteral("('AlarmWebhook', '%1')").arg(holding.url()),
                                [&] { return holding.requestCount() > before; }));
        const int connections = silent.connectionCount();
        mail.push_back(endMs(QStringLiteral("('AlarmMailServer', '%1'), ('AlarmMailVon', "
                                            "'logger@example.org'), ('AlarmMailAn', "
                                            "'technik@example.org')")
                                 .arg(silent.url()),
                             [&] { return silent.connectionCount() > connections; }));
    }
    std::printf("SIGTERM to end, webhook call in flight:      %s\n",
                qPrintable(medianAndMax(webhook)));
    std::printf("SIGTERM to end, mail never confirmed:        %s\n",
                qPrintable(medianAndMax(mail)));
    return 0;
}
