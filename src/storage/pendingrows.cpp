#include "pendingrows.h"

#include "database.h"
#include "dbbackend.h"
#include "durablefile.h"
#include "mittelwerte.h"
#include "runtime/journal.h"
#include "runtime/runtimeerror.h"
#include "runtime/timeformats.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QByteArray kHeader = QByteArrayLiteral("SensorNummer;Zeit;MessWert");
const QByteArray kRefusedHeader = QByteArrayLiteral("SensorNummer;Zeit;MessWert;Grund");
// Longer lines are no rows; reading them in pieces keeps memory bounded whatever the file holds.
constexpr qint64 kMaxLineBytes = 1024;

// "1 Messwert wartet", "3 Messwerte warten".
QString countText(qint64 count, const char *one, const char *many)
{
    return QString::number(count) + QLatin1Char(' ') + QString::fromUtf8(count == 1 ? one : many);
}

QByteArray rowLine(const PendingRows::Row &row)
{
    return QByteArray::number(row.sensorNummer) + ';'
           + PendingRows::zeitOf(row).toString(TimeFormat::kWerte).toUtf8() + ';'
           + QByteArray::number(row.wert, 'g', QLocale::FloatingPointShortest);
}

bool parseRow(const QByteArray &line, qint32 &sensorNummer, QDateTime &zeit, double &wert)
{
    const QList<QByteArray> fields = line.split(';');
    if (fields.size() != 3) {
        return false;
    }
    bool sensorOk = false;
    bool wertOk = false;
    sensorNummer = fields.at(0).toInt(&sensorOk);
    zeit = QDateTime::fromString(QString::fromLatin1(fields.at(1)), TimeFormat::kWerte);
    wert = fields.at(2).toDouble(&wertOk);
    return sensorOk && wertOk && std::isfinite(wert) && zeit.isValid();
}

} // namespace

QString recoveryFilePath(const QString &databaseName)
{
    if (DbBackend::namesFile(databaseName)) {
        return databaseName + QStringLiteral(".ausstehend");
    }
    // A server has no folder of its own: the service's state folder, else the working folder,
    // with a name that tells the databases of several loggers apart.
    const QString folder =
        qEnvironmentVariableIsEmpty("STATE_DIRECTORY")
            ? QDir::currentPath()
            : qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    const QByteArray hash =
        QCryptographicHash::hash(databaseName.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    return folder + QStringLiteral("/Messwerte-") + QString::fromLatin1(hash)
           + QStringLiteral(".ausstehend");
}

PendingRows::PendingRows(qsizetype capacity) : m_capacity(std::max<qsizetype>(capacity, 1)) {}

void PendingRows::setDatabaseName(const QString &databaseName)
{
    m_databaseName = databaseName;
    m_recoveryFile = recoveryFilePath(databaseName);
    m_refusedFile = m_recoveryFile;
    m_refusedFile.replace(m_refusedFile.size() - 10, 10, QStringLiteral("abgelehnt"));
}

void PendingRows::append(qint32 sensorNummer, const QDateTime &zeit, double wert)
{
    store(m_rows, sensorNummer, zeit, wert);
}

void PendingRows::store(std::deque<Row> &rows, qint32 sensorNummer, const QDateTime &zeit,
                        double wert)
{
    if (qsizetype(rows.size()) >= m_capacity) {
        rows.pop_front();
        ++m_dropped;
        m_fileRows = std::max<qsizetype>(m_fileRows - 1, 0);
    }
    const qint64 seconds =
        std::clamp<qint64>(zeit.toSecsSinceEpoch(), 0, std::numeric_limits<quint32>::max());
    rows.push_back(Row{sensorNummer, static_cast<quint32>(seconds), wert});
}

bool PendingRows::write(Database *database)
{
    m_lastRefused = 0;
    m_lastRefusedReason.clear();
    if (m_rows.empty()) {
        // A recovery file that held no row at all goes as well.
        removeRecoveryFile();
        return true;
    }
    if (database == nullptr) {
        setFailure(QStringLiteral("keine Datenbank offen"));
        return false;
    }
    // After a failed store the connection may be the broken one of a server that is back by now.
    QString away;
    if (!m_failure.isEmpty() && !database->reconnect(&away)) {
        setFailure(away);
        return false;
    }
    QList<Database::Refusal> refusals;
    const QString failure = database->executeInTransaction(
        size(),
        [this](qsizetype i) {
            const Row &row = at(i);
            return insertStatement(row.sensorNummer, row.wert, zeitOf(row));
        },
        &refusals);
    if (!failure.isEmpty()) {
        setFailure(failure);
        return false;
    }
    // Refusals come in the order of their rows.
    QList<Row> refused;
    QStringList reasons;
    for (qsizetype i = 0, k = 0; i < size(); ++i) {
        if (k < refusals.size() && refusals.at(k).index == i) {
            refused.append(at(i));
            reasons.append(refusals.at(k++).reason);
        } else {
            m_lastWritten.insert(at(i).sensorNummer, at(i));
        }
    }
    // A deque keeps its blocks after clear(); a backlog of a day's rows should not stay resident.
    std::deque<Row>().swap(m_rows);
    m_failure.clear();
    m_failingSince = QDateTime();
    if (!refused.isEmpty()) {
        moveToRefusedFile(refused, reasons);
    }
    removeRecoveryFile();
    return true;
}

void PendingRows::setFailure(const QString &failure)
{
    if (m_failure.isEmpty()) {
        m_failingSince = QDateTime::currentDateTime();
    }
    m_failure = failure;
    ++m_failedStores;
}

void PendingRows::moveToRefusedFile(const QList<Row> &rows, const QStringList &reasons)
{
    m_lastRefused = rows.size();
    m_lastRefusedReason = reasons.constFirst();
    m_refused += rows.size();
    QByteArray lines;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        // One line a row, with no ';' of its own: the reason is the database's text.
        QString reason = reasons.at(i).simplified();
        reason.replace(QLatin1Char(';'), QLatin1Char(','));
        lines += rowLine(rows.at(i)) + ';' + reason.toUtf8() + '\n';
    }
    DurableFile file(m_refusedFile, DurableFile::Mode::Append);
    m_lastRefusedInFile = !m_refusedFile.isEmpty()
                          && (file.startSize() > 0 || file.write(kRefusedHeader + '\n'))
                          && file.write(lines) && file.commit();
    if (!m_lastRefusedInFile) {
        Journal::write(Journal::Priority::Error,
                       QStringLiteral("Die Datei '%1' kann die abgelehnten Messwerte nicht "
                                      "aufnehmen: %2. Sie folgen hier "
                                      "(SensorNummer;Zeit;MessWert;Grund).")
                           .arg(m_refusedFile, file.errorString()));
        Journal::writeLines(Journal::Priority::Error, lines);
    }
}

QString PendingRows::takeIn(Database *database)
{
    QFile file(m_recoveryFile);
    if (m_recoveryFile.isEmpty() || !file.exists()) {
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(ErrorNumber::CannotOpenFile,
                           QStringLiteral("Die Datei '%1' mit noch nicht gespeicherten Messwerten "
                                          "kann nicht gelesen werden: %2")
                               .arg(m_recoveryFile, file.errorString()));
    }
    const qint64 droppedBefore = m_dropped;
    std::deque<Row> read;
    qint64 lineNumber = 0;
    while (!file.atEnd()) {
        QByteArray line = file.readLine(kMaxLineBytes);
        ++lineNumber;
        while (line.endsWith('\n') || line.endsWith('\r')) {
            line.chop(1);
        }
        qint32 sensorNummer = 0;
        QDateTime zeit;
        double wert = 0;
        const bool fits =
            lineNumber == 1 ? line == kHeader : parseRow(line, sensorNummer, zeit, wert);
        if (!fits) {
            m_dropped = droppedBefore;
            throw RuntimeError(
                ErrorNumber::TypeMismatch,
                QStringLiteral("Die Datei '%1' mit noch nicht gespeicherten Messwerten ist in "
                               "Zeile %2 unlesbar: '%3'. Sie bleibt unverändert; bitte "
                               "berichtigen oder beiseitelegen, dann neu starten.")
                    .arg(m_recoveryFile)
                    .arg(lineNumber)
                    .arg(QString::fromUtf8(line.left(200))));
        }
        if (lineNumber > 1) {
            store(read, sensorNummer, zeit, wert);
        }
    }
    const qsizetype fromFile = qsizetype(read.size());
    for (const Row &row : m_rows) {
        store(read, row.sensorNummer, zeitOf(row), row.wert);
    }
    m_rows.swap(read);
    m_fileHoldsRows = true;
    m_fileRows = fromFile;
    const qint64 dropped = m_dropped - droppedBefore;
    const QString droppedNote =
        dropped == 0 ? QString()
                     : QLatin1Char(' ')
                           + countText(dropped, "älterer Messwert wurde", "ältere Messwerte wurden")
                           + QStringLiteral(" verworfen: die Datei hielt mehr, als warten dürfen "
                                            "(%1).")
                                 .arg(m_capacity);
    const QString from = QStringLiteral(" aus '%1' ").arg(m_recoveryFile);
    if (write(database)) {
        const QString refused = m_lastRefused > 0 ? QLatin1Char(' ') + refusedLine() : QString();
        return countText(fromFile, "Messwert", "Messwerte") + from
               + QStringLiteral("in die Datenbank nachgetragen.") + droppedNote + refused;
    }
    return countText(fromFile, "Messwert", "Messwerte") + from
           + QString::fromUtf8(fromFile == 1 ? "kann" : "können")
           + QStringLiteral(" noch nicht in die Datenbank geschrieben werden: %1. ").arg(m_failure)
           + QString::fromUtf8(fromFile == 1 ? "Er wartet" : "Sie warten")
           + QStringLiteral(" auf das nächste Speichern.") + droppedNote;
}

QString PendingRows::lastTry(Database *database)
{
    if (m_rows.empty()) {
        return {};
    }
    QString error;
    if (m_fileRows < size() && writeRecoveryFile(&error)) {
        m_fileHoldsRows = true;
        m_fileRows = size();
    }
    // The end is answered promptly, a lock or not.
    if (database != nullptr) {
        // Should it not take, the try waits the usual 100 ms: no harm at the end.
        database->waitForLocks(Database::kLastTryLockWaitMs);
    }
    const qsizetype count = size();
    if (!write(database)) {
        return {};
    }
    return writtenLine(count) + (m_lastRefused > 0 ? QLatin1Char(' ') + refusedLine() : QString());
}

bool PendingRows::keepForNextStart(
    const std::function<void(const QString &message, bool inFile)> &report)
{
    if (m_rows.empty()) {
        return true;
    }
    const qsizetype count = size();
    const QString why = m_failure.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m_failure);
    const QString head = countText(count, "Messwert konnte", "Messwerte konnten")
                         + QStringLiteral(" nicht in die Datenbank '%1' geschrieben werden%2. ")
                               .arg(m_databaseName, why);
    const QString lost =
        m_dropped == 0
            ? QString()
            : QLatin1Char(' ')
                  + countText(m_dropped, "älterer Messwert war", "ältere Messwerte waren")
                  + QStringLiteral(" schon verworfen, weil zu viele warteten.");
    QString error;
    if (m_fileRows == count || writeRecoveryFile(&error)) {
        m_fileHoldsRows = true;
        m_fileRows = count;
        report(head + QString::fromUtf8(count == 1 ? "Er steht" : "Sie stehen")
                   + QStringLiteral(" in der Datei '%1' und ").arg(m_recoveryFile)
                   + QString::fromUtf8(count == 1 ? "wird" : "werden")
                   + QStringLiteral(" beim nächsten Start nachgetragen.") + lost,
               true);
        return true;
    }
    // What an earlier save of this run put into the file stays there and is taken in at the next
    // start; only the rest goes to the journal, so no row is entered twice.
    const qsizetype inFile = m_fileHoldsRows ? m_fileRows : 0;
    const QString part = inFile == 0
                             ? QStringLiteral("Sie folgen")
                             : countText(inFile, "davon steht", "davon stehen")
                                   + QStringLiteral(" in der Datei und werden beim nächsten Start "
                                                    "nachgetragen; die übrigen %1 folgen")
                                         .arg(count - inFile);
    report(head
               + QStringLiteral("Die Datei '%1' kann sie nicht aufnehmen: %2. ")
                     .arg(m_recoveryFile, error)
               + part
               + QStringLiteral(" auf der Standardfehlerausgabe, eine Zeile je Messwert "
                                "(SensorNummer;Zeit;MessWert).")
               + lost,
           false);
    QByteArray lines;
    for (qsizetype i = inFile; i < count; ++i) {
        lines += rowLine(at(i)) + '\n';
        if (lines.size() > 65536) {
            Journal::writeLines(Journal::Priority::Error, lines);
            lines.clear();
        }
    }
    Journal::writeLines(Journal::Priority::Error, lines);
    return false;
}

bool PendingRows::writeRecoveryFile(QString *error) const
{
    DurableFile file(m_recoveryFile, DurableFile::Mode::Replace);
    bool ok = !m_recoveryFile.isEmpty() && file.write(kHeader + '\n');
    for (const Row &row : m_rows) {
        ok = ok && file.write(rowLine(row) + '\n');
    }
    ok = ok && file.commit();
    if (!ok) {
        *error = m_recoveryFile.isEmpty() ? QStringLiteral("kein Dateiname") : file.errorString();
    }
    return ok;
}

void PendingRows::removeRecoveryFile()
{
    if (!m_fileHoldsRows) {
        return;
    }
    m_fileHoldsRows = false;
    m_fileRows = 0;
    QFile file(m_recoveryFile);
    if (file.exists() && !file.remove()) {
        // Its rows are in the database now; taken in again they would stand there twice.
        Journal::write(Journal::Priority::Error,
                       QStringLiteral("Die Datei '%1' kann nicht gelöscht werden (%2). Ihre "
                                      "Messwerte stehen schon in der Datenbank: bitte die Datei "
                                      "löschen, sonst werden sie beim nächsten Start noch einmal "
                                      "eingetragen.")
                           .arg(m_recoveryFile, file.errorString()));
    }
}

QString PendingRows::failedLine() const
{
    return QStringLiteral("Speichern in die Datenbank fehlgeschlagen: %1. ").arg(m_failure)
           + countText(size(), "Messwert wartet.", "Messwerte warten.") + droppedNote();
}

QString PendingRows::waitingLine() const
{
    return countText(size(), "Messwert wartet", "Messwerte warten")
           + QStringLiteral(" noch auf das Speichern.") + droppedNote();
}

QString PendingRows::writtenLine(qsizetype count) const
{
    return countText(count, "zurückgehaltener Messwert ist", "zurückgehaltene Messwerte sind")
           + QStringLiteral(" jetzt gespeichert.") + droppedNote();
}

QString PendingRows::refusedLine() const
{
    const bool one = m_lastRefused == 1;
    return countText(m_lastRefused, "Messwert wurde", "Messwerte wurden")
           + QStringLiteral(" von der Datenbank abgelehnt (%1) und ").arg(m_lastRefusedReason)
           + (m_lastRefusedInFile ? QString::fromUtf8(one ? "steht" : "stehen")
                                        + QStringLiteral(" in der Datei '%1'.").arg(m_refusedFile)
                                  : QString::fromUtf8(one ? "folgt" : "folgen")
                                        + QStringLiteral(" auf der Standardfehlerausgabe."));
}

QString PendingRows::droppedNote() const
{
    if (m_dropped == 0) {
        return QString();
    }
    return QLatin1Char(' ')
           + countText(m_dropped, "älterer Messwert wurde", "ältere Messwerte wurden")
           + QStringLiteral(" verworfen, weil zu viele warteten.");
}

StoreState PendingRows::state() const
{
    StoreState state;
    state.failure = m_failure;
    state.failingSince = m_failingSince;
    state.waiting = size();
    state.dropped = m_dropped;
    state.failedStores = m_failedStores;
    state.refused = m_refused;
    state.refusedFile = m_refusedFile;
    return state;
}

bool PendingRows::lastWritten(qint32 sensorNummer, Row *row) const
{
    const auto found = m_lastWritten.constFind(sensorNummer);
    if (found == m_lastWritten.cend()) {
        return false;
    }
    *row = *found;
    return true;
}

QDateTime PendingRows::zeitOf(const Row &row)
{
    return QDateTime::fromSecsSinceEpoch(row.zeit);
}
