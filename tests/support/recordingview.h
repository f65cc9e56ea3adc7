#pragma once

#include "runtime/mainview.h"
#include "runtime/runtimeerror.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

// A MainView for tests of the storage and web code: it records what the code shows and does with
// the timer, pumps real events, and can make the n-th pump end the program as a click on "Ende"
// would.
class RecordingView : public MainView
{
public:
    void clearLog() override { log.clear(); }
    void appendLog(const QString &piece) override { log += piece; }
    QString logText() const override { return log; }
    void setStatus(const QString &caption) override { statuses << caption; }
    void timerOff() override { timerEvents << QStringLiteral("off"); }
    void timerOn() override { timerEvents << QStringLiteral("on"); }
    void pump() override
    {
        QCoreApplication::processEvents();
        if (pumpsToEnd > 0 && --pumpsToEnd == 0) {
            throw ProgramEnd();
        }
    }

    QString log = QStringLiteral("Text1");
    QStringList statuses;
    QStringList timerEvents;
    // The pump that ends the program: 1 for the next one; 0 or less for none.
    int pumpsToEnd = 0;
};
