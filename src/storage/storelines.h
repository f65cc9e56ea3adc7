#pragma once

#include <QString>
#include <QtGlobal>

// The lines in which the store tells how it goes: for the pass log, the journal and the end of the
// program. Counts are written with the right singular or plural.
namespace StoreLines {

// "1 Messwert wartet", "3 Messwerte warten": the count, a blank, then one or many.
QString count(qint64 count, const char *one, const char *many);

// After a store that failed: why, and how many wait.
QString failed(const QString &failure, qint64 waiting, qint64 dropped);
// While rows wait.
QString waiting(qint64 waiting, qint64 dropped);
// Once count waiting rows have been written.
QString written(qint64 count, qint64 dropped);
// After a store that left out refused rows: how many, why, and where they went.
QString refused(qint64 count, const QString &reason, bool inFile, const QString &file);
// " 2 ältere Messwerte wurden verworfen, weil zu viele warteten." or the empty text.
QString droppedNote(qint64 dropped);

// The start: rows of the recovery file written, or waiting still.
QString takenIn(qint64 fromFile, const QString &file, qint64 dropped, qsizetype capacity);
QString takenInWaiting(qint64 fromFile, const QString &file, const QString &failure, qint64 dropped,
                       qsizetype capacity);

// The end: count rows could not be written (why); they are in the file, or not all of them.
QString kept(qint64 count, const QString &database, const QString &failure, const QString &file,
             qint64 dropped);
QString notKept(qint64 count, const QString &database, const QString &failure, const QString &file,
                const QString &error, qint64 inFile, qint64 dropped);

} // namespace StoreLines
