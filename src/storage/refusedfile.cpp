#include "refusedfile.h"

#include "durablefile.h"

#include <QFile>

namespace {

const QByteArray kHeader = QByteArrayLiteral("SensorNummer;Zeit;MessWert;Grund");

} // namespace

QByteArray RefusedFile::lines(const QList<WerteRow> &rows, const QStringList &reasons)
{
    QByteArray text;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        // One line a row, with no ';' of its own: the reason is the database's text.
        QString reason = reasons.value(i).simplified();
        reason.replace(QLatin1Char(';'), QLatin1Char(','));
        text += rows.at(i).line() + ';' + reason.toUtf8() + '\n';
    }
    return text;
}

QString RefusedFile::append(const QList<WerteRow> &rows, const QStringList &reasons,
                            bool skipKnown) const
{
    if (m_path.isEmpty()) {
        return QStringLiteral("kein Dateiname");
    }
    const QByteArray text = lines(rows, reasons);
    if (skipKnown) {
        QFile file(m_path);
        if (file.open(QIODevice::ReadOnly) && file.size() >= text.size()) {
            file.seek(file.size() - text.size());
            if (file.read(text.size()) == text) {
                return QString();
            }
        }
    }
    DurableFile file(m_path, DurableFile::Mode::Append);
    const bool ok =
        (file.startSize() > 0 || file.write(kHeader + '\n')) && file.write(text) && file.commit();
    return ok ? QString() : file.errorString();
}
