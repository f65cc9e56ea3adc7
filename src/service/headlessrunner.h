#pragma once

#include "devicejournal.h"
#include "logwriter.h"
#include "program/programhost.h"

#include <QObject>

// The program without a window, for machines without a display and for running as a service:
// the same start-up, cycle and database work. The log of each polling pass goes to stdout at the
// end of its tick, with the line about a store that failed; the status line is not shown; errors,
// the lines on storing and a line when a device begins to fail or answers again go to stderr.
class HeadlessRunner : public QObject, public ProgramHost
{
    Q_OBJECT

public:
    explicit HeadlessRunner(const QString &databasePath, QObject *parent = nullptr);
    ~HeadlessRunner() override;

    void setStatus(const QString &caption) override;

protected:
    void passEnded() override;

private:
    LogWriter m_output;
    DeviceJournal m_devices;
};
