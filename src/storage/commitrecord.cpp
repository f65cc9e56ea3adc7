#include "commitrecord.h"

#include "durablefile.h"
#include "runtime/numbertext.h"
#include "runtime/timeformats.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cmath>

namespace {

const QByteArray kFirstLine = QByteArrayLiteral("Pelvaro-Vermerk 1");
constexpr int kWitnesses = 3;

// The value as the store wrote it into Werte (15 digits), so that a row read back compares.
QString written(double wert)
{
    return numberText(wert).trimmed();
}

bool sameAsWritten(const WerteRow &a, const WerteRow &b)
{
    return a.sensorNummer == b.sensorNummer && a.zeit == b.zeit
           && written(a.wert) == written(b.wert);
}

// How often the row stands in Werte. The value is matched to its 15 digits: a driver may read the
// text back one binary digit off.
std::optional<qint64> countIn(QSqlDatabase &db, const WerteRow &row, QString *failure)
{
    const double value = written(row.wert).toDouble();
    const double tolerance = 1e-12 * std::max(1.0, std::abs(value));
    QSqlQuery query(db);
    const QString statement =
        QStringLiteral("SELECT count(*) FROM Werte WHERE SensorNummer = %1 AND Zeit = '%2' AND "
                       "abs(MessWert - (%3)) <= %4")
            .arg(row.sensorNummer)
            .arg(TimeFormat::werteText(row.zeitLocal()), written(row.wert),
                 QString::number(tolerance, 'g', 3));
    if (!query.exec(statement) || !query.next()) {
        *failure = query.lastError().text().simplified();
        return std::nullopt;
    }
    return query.value(0).toLongLong();
}

} // namespace

QList<CommitRecord::Witness> CommitRecord::choose(const std::deque<WerteRow> &all, std::size_t from,
                                                  std::size_t to, const QList<qsizetype> &skipped)
{
    QList<Witness> chosen;
    if (to <= from) {
        return chosen;
    }
    const std::size_t count = to - from;
    const auto rows = [&all, from](std::size_t i) -> const WerteRow & {
        return all[from + i];
    };
    const auto isSkipped = [&skipped](std::size_t i) {
        return std::binary_search(skipped.cbegin(), skipped.cend(), qsizetype(i));
    };
    // The newest, the oldest, one between: spread over the store.
    const std::size_t candidates[] = {count - 1, 0, count / 2};
    for (const std::size_t start : candidates) {
        for (std::size_t step = 0; step < count && chosen.size() < kWitnesses; ++step) {
            const std::size_t i = (start + count - step) % count;
            if (isSkipped(i)
                || std::any_of(chosen.cbegin(), chosen.cend(), [&](const Witness &witness) {
                       return sameAsWritten(witness.row, rows(i));
                   })) {
                continue;
            }
            Witness witness{rows(i), 0, -1};
            for (std::size_t j = 0; j < count; ++j) {
                if (!isSkipped(j) && sameAsWritten(rows(j), rows(i))) {
                    ++witness.copies;
                }
            }
            chosen.append(witness);
            break;
        }
    }
    return chosen;
}

QString CommitRecord::countBefore(QSqlDatabase &db)
{
    QString failure;
    for (Witness &witness : witnesses) {
        const std::optional<qint64> found = countIn(db, witness.row, &failure);
        if (!found) {
            return failure;
        }
        witness.before = *found - witness.copies;
    }
    return QString();
}

bool CommitRecord::committed(QSqlDatabase &db, QString *failure) const
{
    if (witnesses.isEmpty()) {
        return false;
    }
    for (const Witness &witness : witnesses) {
        const std::optional<qint64> found = countIn(db, witness.row, failure);
        if (!found || *found < std::max<qint64>(witness.before, 0) + witness.copies) {
            return false;
        }
    }
    return true;
}

QString CommitRecord::write(const QString &path, int syncWaitMs) const
{
    QByteArray text = kFirstLine + "\nZeilen;" + QByteArray::number(fileLines) + '\n';
    for (const Witness &witness : witnesses) {
        text += "Zeuge;" + witness.row.line() + ';' + QByteArray::number(witness.copies) + ';'
                + QByteArray::number(witness.before) + '\n';
    }
    for (qsizetype i = 0; i < refused.size(); ++i) {
        QString reason = reasons.value(i).simplified();
        reason.replace(QLatin1Char(';'), QLatin1Char(','));
        text += "Abgelehnt;" + refused.at(i).line() + ';' + reason.toUtf8() + '\n';
    }
    DurableFile file(path, DurableFile::Mode::Replace);
    const bool ok =
        file.write(text) && (syncWaitMs < 0 ? file.commit() : file.commitWithin(syncWaitMs));
    return ok ? QString() : file.errorString();
}

std::optional<CommitRecord> CommitRecord::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    CommitRecord record;
    const QList<QByteArray> lines = file.read(1024 * 1024).split('\n');
    if (lines.value(0) != kFirstLine) {
        return record;
    }
    for (const QByteArray &line : lines) {
        const qsizetype at = line.indexOf(';');
        const QByteArray kind = line.left(at);
        const QByteArray rest = line.mid(at + 1);
        if (kind == "Zeilen") {
            record.fileLines = rest.toLongLong();
        } else if (kind == "Zeuge") {
            const QList<QByteArray> fields = rest.split(';');
            Witness witness;
            if (fields.size() == 5
                && WerteRow::fromLine(fields.mid(0, 3).join(';'), &witness.row)) {
                witness.copies = fields.at(3).toLongLong();
                witness.before = fields.at(4).toLongLong();
                record.witnesses.append(witness);
            }
        } else if (kind == "Abgelehnt") {
            const QList<QByteArray> fields = rest.split(';');
            WerteRow row{};
            if (fields.size() >= 4 && WerteRow::fromLine(fields.mid(0, 3).join(';'), &row)) {
                record.refused.append(row);
                record.reasons.append(QString::fromUtf8(fields.mid(3).join(';')));
            }
        }
    }
    return record;
}
