#pragma once

#include "werterow.h"

#include <QList>
#include <QString>
#include <QStringList>

// Rows that the database refused for a reason of their own (a CHECK constraint, a value out of
// range for the column, a trigger), kept for the user, never taken in again: the recovery file's
// form with a fourth column Grund, appended.
//   SensorNummer;Zeit;MessWert;Grund
class RefusedFile
{
public:
    explicit RefusedFile(QString path = QString()) : m_path(std::move(path)) {}
    QString path() const { return m_path; }

    // The system's text for a failure, or the empty text. Rows that already stand at the file's
    // end in the same order (a start that finishes what a killed run had begun) are not added
    // twice when skipKnown is set.
    QString append(const QList<WerteRow> &rows, const QStringList &reasons,
                   bool skipKnown = false) const;
    // The lines append() writes, for the journal when the file cannot take them.
    static QByteArray lines(const QList<WerteRow> &rows, const QStringList &reasons);

private:
    QString m_path;
};
