#include "storelines.h"

namespace StoreLines {

namespace {

QString why(const QString &failure)
{
    return failure.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(failure);
}

QString notWritten(qint64 count, const QString &database, const QString &failure)
{
    return StoreLines::count(count, "Messwert konnte", "Messwerte konnten")
           + QStringLiteral(" nicht in die Datenbank '%1' geschrieben werden%2. ")
                 .arg(database, why(failure));
}

QString lostNote(qint64 dropped)
{
    return dropped == 0
               ? QString()
               : QLatin1Char(' ') + count(dropped, "älterer Messwert war", "ältere Messwerte waren")
                     + QStringLiteral(" schon verworfen, weil zu viele warteten.");
}

QString droppedFromFile(qint64 dropped, qsizetype capacity)
{
    return dropped == 0 ? QString()
                        : QLatin1Char(' ')
                              + count(dropped, "älterer Messwert wurde", "ältere Messwerte wurden")
                              + QStringLiteral(" verworfen: die Datei hielt mehr, als warten "
                                               "dürfen (%1).")
                                    .arg(capacity);
}

} // namespace

QString count(qint64 count, const char *one, const char *many)
{
    return QString::number(count) + QLatin1Char(' ') + QString::fromUtf8(count == 1 ? one : many);
}

QString droppedNote(qint64 dropped)
{
    if (dropped == 0) {
        return QString();
    }
    return QLatin1Char(' ') + count(dropped, "älterer Messwert wurde", "ältere Messwerte wurden")
           + QStringLiteral(" verworfen, weil zu viele warteten.");
}

QString failed(const QString &failure, qint64 waiting, qint64 dropped)
{
    return QStringLiteral("Speichern in die Datenbank fehlgeschlagen: %1. ").arg(failure)
           + count(waiting, "Messwert wartet.", "Messwerte warten.") + droppedNote(dropped);
}

QString waiting(qint64 waiting, qint64 dropped)
{
    return count(waiting, "Messwert wartet", "Messwerte warten")
           + QStringLiteral(" noch auf das Speichern.") + droppedNote(dropped);
}

QString written(qint64 written, qint64 dropped)
{
    return count(written, "zurückgehaltener Messwert ist", "zurückgehaltene Messwerte sind")
           + QStringLiteral(" jetzt gespeichert.") + droppedNote(dropped);
}

QString refused(qint64 refused, const QString &reason, bool inFile, const QString &file)
{
    const bool one = refused == 1;
    return count(refused, "Messwert wurde", "Messwerte wurden")
           + QStringLiteral(" von der Datenbank abgelehnt (%1) und ").arg(reason)
           + (inFile ? QString::fromUtf8(one ? "steht" : "stehen")
                           + QStringLiteral(" in der Datei '%1'.").arg(file)
                     : QString::fromUtf8(one ? "folgt" : "folgen")
                           + QStringLiteral(" auf der Standardfehlerausgabe."));
}

QString takenIn(qint64 fromFile, const QString &file, qint64 dropped, qsizetype capacity)
{
    return count(fromFile, "Messwert", "Messwerte") + QStringLiteral(" aus '%1' ").arg(file)
           + QStringLiteral("in die Datenbank nachgetragen.") + droppedFromFile(dropped, capacity);
}

QString takenInWaiting(qint64 fromFile, const QString &file, const QString &failure, qint64 dropped,
                       qsizetype capacity)
{
    return count(fromFile, "Messwert", "Messwerte") + QStringLiteral(" aus '%1' ").arg(file)
           + QString::fromUtf8(fromFile == 1 ? "kann" : "können")
           + QStringLiteral(" noch nicht in die Datenbank geschrieben werden: %1. ").arg(failure)
           + QString::fromUtf8(fromFile == 1 ? "Er wartet" : "Sie warten")
           + QStringLiteral(" auf das nächste Speichern.") + droppedFromFile(dropped, capacity);
}

QString kept(qint64 kept, const QString &database, const QString &failure, const QString &file,
             qint64 dropped)
{
    return notWritten(kept, database, failure)
           + QString::fromUtf8(kept == 1 ? "Er steht" : "Sie stehen")
           + QStringLiteral(" in der Datei '%1' und ").arg(file)
           + QString::fromUtf8(kept == 1 ? "wird" : "werden")
           + QStringLiteral(" beim nächsten Start nachgetragen.") + lostNote(dropped);
}

QString notKept(qint64 rows, const QString &database, const QString &failure, const QString &file,
                const QString &error, qint64 inFile, qint64 dropped)
{
    const QString part = inFile == 0
                             ? QStringLiteral("Sie folgen")
                             : count(inFile, "davon steht", "davon stehen")
                                   + QStringLiteral(" in der Datei und werden beim nächsten Start "
                                                    "nachgetragen; die übrigen %1 folgen")
                                         .arg(rows - inFile);
    return notWritten(rows, database, failure)
           + QStringLiteral("Die Datei '%1' kann sie nicht aufnehmen: %2. ").arg(file, error) + part
           + QStringLiteral(" auf der Standardfehlerausgabe, eine Zeile je Messwert "
                            "(SensorNummer;Zeit;MessWert).")
           + lostNote(dropped);
}

} // namespace StoreLines
