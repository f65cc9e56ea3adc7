#include "csvtext.h"

#include "runtime/wallclock.h"

#include <QVariant>

#include <cmath>

QByteArray CsvText::head() const
{
    const QStringList names{QStringLiteral("SensorNummer"), QStringLiteral("Sensor"),
                            QStringLiteral("Gerät"), QStringLiteral("Zeit"),
                            QStringLiteral("MessWert")};
    return QByteArray("\xEF\xBB\xBF") + names.join(QLatin1Char(m_separator)).toUtf8() + "\r\n";
}

void CsvText::appendRow(QByteArray &out, qint32 sensorNummer, const QString &sensor,
                        const QString &geraet, const QVariant &zeit, const QVariant &wert) const
{
    QString zeitText;
    if (zeit.typeId() == QMetaType::QDateTime) {
        zeitText = WallClock::sqlText(WallClock::fromDatabase(zeit));
    } else {
        zeitText = field(zeit.toString());
    }
    QString wertText;
    const bool number = wert.typeId() == QMetaType::Double || wert.typeId() == QMetaType::Int
                        || wert.typeId() == QMetaType::LongLong;
    if (number && std::isfinite(wert.toDouble())) {
        wertText = QString::number(wert.toDouble(), 'g', 15);
        if (m_german) {
            wertText.replace(QLatin1Char('.'), QLatin1Char(','));
        }
    } else {
        wertText = field(wert.toString());
    }
    const QChar separator = QLatin1Char(m_separator);
    out += (QString::number(sensorNummer) + separator + field(sensor) + separator + field(geraet)
            + separator + zeitText + separator + wertText + QStringLiteral("\r\n"))
               .toUtf8();
}

QString CsvText::field(const QString &text) const
{
    QString value = text;
    if (!value.isEmpty() && QStringLiteral("=+-@\t\r").contains(value.at(0))) {
        value.prepend(QLatin1Char('\''));
    }
    if (value.contains(QLatin1Char(m_separator)) || value.contains(QLatin1Char('"'))
        || value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'))) {
        value.replace(QLatin1Char('"'), QLatin1String("\"\""));
        value = QLatin1Char('"') + value + QLatin1Char('"');
    }
    return value;
}
