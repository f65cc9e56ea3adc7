#pragma once

#include "runtime/mainview.h"

#include <QCoreApplication>
#include <QString>

// The view of a command that runs once and shows nothing of a pass (--probe, --export-config):
// no log box, no status line, no timer; the pump only serves the event loop.
class QuietView : public MainView
{
public:
    void clearLog() override {}
    void appendLog(const QString &) override {}
    QString logText() const override { return {}; }
    void setStatus(const QString &) override {}
    void timerOff() override {}
    void timerOn() override {}
    void pump() override { QCoreApplication::processEvents(); }
};
