#pragma once

#include "runtime/mainview.h"

#include <QCoreApplication>
#include <QString>

// A view that shows nothing: for a command that runs once (--probe, --export-config), and for
// reading the configuration again while the program runs. No log box, no status line, no timer;
// the pump serves the event loop only when asked to, so that nothing else can run in the middle
// of a read that must not be interrupted.
class QuietView : public MainView
{
public:
    explicit QuietView(bool serveEvents) : m_serveEvents(serveEvents) {}

    void clearLog() override {}
    void appendLog(const QString &) override {}
    QString logText() const override { return {}; }
    void setStatus(const QString &) override {}
    void timerOff() override {}
    void timerOn() override {}
    void pump() override
    {
        if (m_serveEvents) {
            QCoreApplication::processEvents();
        }
    }

private:
    bool m_serveEvents;
};
