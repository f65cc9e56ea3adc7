#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class CurlDriver;

// Fetches a device's page once for the setup part, with the bounds of a pass (its time-out, its
// first bytes), without a thread: the transfers run on the event loop of the page's thread as the
// passes' do, so a device that never answers costs nothing but its socket. At most kRunning at
// once.
//
// The answer: {"adresse", "zaehlt" (the page would count), "grund" and "text" (why not, as the
// status page names failures), "elemente": [{"anschluss", "wert" (null for no reading),
// "steht"}]}.
class DeviceProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr int kRunning = 4;

    explicit DeviceProbe(QObject *parent = nullptr);
    // Running fetches end without their done.
    ~DeviceProbe() override;

    // False when kRunning fetches run already.
    bool start(const QString &address, std::function<void(const QJsonObject &)> done);

private:
    CurlDriver *m_driver;
    int m_running = 0;
};
