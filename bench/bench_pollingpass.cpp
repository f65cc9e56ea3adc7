// How long one polling pass over 50 responsive devices takes, against a minimal sequential client
// that fetches the same 50 pages over plain blocking sockets, and against the parallel pass
// (ParallelAbfrage 3), in the same run and from the same simulator process. Prints the medians and
// their ratios.
//
//   build/bench/bench_pollingpass [rounds]

#include "runtime/mainview.h"
#include "storage/registry.h"
#include "web/curldriver.h"
#include "web/geraeteabfragen.h"
#include "web/interschneck.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kDevices = 50;

class QuietView : public MainView
{
public:
    void clearLog() override { m_log.clear(); }
    void appendLog(const QString &piece) override { m_log += piece; }
    QString logText() const override { return m_log; }
    void setStatus(const QString &) override {}
    void timerOff() override {}
    void timerOn() override {}
    void pump() override { QCoreApplication::processEvents(); }

private:
    QString m_log;
};

// The least a client can do: connect, send the request, read until the device closes.
QByteArray fetchPlain(const QString &address)
{
    const QStringList parts = address.split(QLatin1Char(':'));
    QTcpSocket socket;
    socket.connectToHost(parts.at(0), parts.at(1).toUShort());
    if (!socket.waitForConnected(5000)) {
        return {};
    }
    socket.write("GET /xml HTTP/1.1\r\nHost: " + address.toLatin1()
                 + "\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(5000)) {
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

// Starts the simulator with kDevices devices and returns their addresses once it is ready.
QStringList startSimulator(QProcess &simulator)
{
    simulator.start(QStringLiteral(PELVARO_DEVICESIM_PATH),
                    {QStringLiteral("--count"), QString::number(kDevices),
                     QStringLiteral("--sensors"), QStringLiteral("2"), QStringLiteral("--lifetime"),
                     QStringLiteral("600")});
    QStringList addresses;
    while (simulator.canReadLine() || simulator.waitForReadyRead(10000)) {
        while (simulator.canReadLine()) {
            const QString line = QString::fromLatin1(simulator.readLine()).trimmed();
            if (line == QLatin1String("bereit")) {
                return addresses;
            }
            addresses << line;
        }
    }
    return {};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 21;

    QProcess simulator;
    const QStringList addresses = startSimulator(simulator);
    if (addresses.size() != kDevices) {
        std::fprintf(stderr, "simulator did not start: %s\n",
                     simulator.readAllStandardError().constData());
        return 1;
    }

    Registry registry;
    for (int i = 1; i <= kDevices; ++i) {
        registry.GeraetIP[i] = addresses.at(i - 1);
        registry.GeraetName[i] = QStringLiteral("Gerät %1").arg(i);
        registry.SensorGeraet[i] = i;
        registry.SensorAnschluss[i] = 1;
        registry.SensorName[i] = QStringLiteral("Sensor %1").arg(i);
    }
    registry.AnzahlGeraete = kDevices;
    registry.AnzahlSensoren = kDevices;
    QuietView view;
    CurlDriver curl;
    Interschneck transfer(curl);

    std::vector<double> passMs;
    std::vector<double> plainMs;
    std::vector<double> parallelMs;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        GeraeteAbfragen(registry, view, transfer);
        passMs.push_back(clock.nsecsElapsed() / 1e6);
        failures += static_cast<int>(view.logText().count(QLatin1String("erfolglos")));

        clock.restart();
        for (const QString &address : addresses) {
            if (!fetchPlain(address).contains("<ntpsync>")) {
                ++failures;
            }
        }
        plainMs.push_back(clock.nsecsElapsed() / 1e6);

        clock.restart();
        GeraeteAbfragen(registry, view, transfer, PassOptions{3});
        parallelMs.push_back(clock.nsecsElapsed() / 1e6);
        failures += static_cast<int>(view.logText().count(QLatin1String("erfolglos")));
    }
    simulator.terminate();
    simulator.waitForFinished();

    const double pass = median(passMs);
    const double plain = median(plainMs);
    std::printf("devices: %d, rounds: %d, failed fetches: %d\n", kDevices, rounds, failures);
    std::printf("polling pass:              %8.2f ms (median)\n", pass);
    std::printf("minimal sequential client: %8.2f ms (median)\n", plain);
    std::printf("ratio pass / minimal:      %8.2f\n", pass / plain);
    std::printf("parallel pass:             %8.2f ms (median)\n", median(parallelMs));
    std::printf("ratio parallel / pass:     %8.2f\n", median(parallelMs) / pass);
    return failures == 0 ? 0 : 1;
}
