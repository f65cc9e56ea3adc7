#pragma once

#include "runtime/mainview.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

// A MainView for tests of the storage and web code: it records what the code shows and does with
// the timer, and pumps real events.
class RecordingView : public MainView
{
public:
    void clearLog() override { log.clear(); }
    void appendLog(const QString &piece) override { log += piece; }
    QString logText() const override { return log; }
    void setStatus(const QString &caption) override { statuses << caption; }
    void timerOff() override { timerEvents << QStringLiteral("off"); }
    void timerOn() override { timerEvents << QStringLiteral("on"); }
    void pump() override { QCoreApplication::processEvents(); }

    QString log = QStringLiteral("Text1");
    QStringList statuses;
    QStringList timerEvents;
};
