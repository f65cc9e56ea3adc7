#include "werterow.h"

#include "mittelwerte.h"
#include "runtime/timeformats.h"

#include <QList>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

WerteRow WerteRow::of(qint32 sensorNummer, const QDateTime &zeit, double wert)
{
    const qint64 seconds =
        std::clamp<qint64>(zeit.toSecsSinceEpoch(), 0, std::numeric_limits<quint32>::max());
    return WerteRow{sensorNummer, static_cast<quint32>(seconds), wert};
}

QByteArray WerteRow::line() const
{
    return QByteArray::number(sensorNummer) + ';' + TimeFormat::werteText(zeitLocal()).toUtf8()
           + ';' + QByteArray::number(wert, 'g', QLocale::FloatingPointShortest);
}

bool WerteRow::fromLine(const QByteArray &line, WerteRow *row)
{
    const QList<QByteArray> fields = line.split(';');
    if (fields.size() != 3) {
        return false;
    }
    bool sensorOk = false;
    bool wertOk = false;
    const qint32 sensorNummer = fields.at(0).toInt(&sensorOk);
    const QDateTime zeit =
        QDateTime::fromString(QString::fromLatin1(fields.at(1)), TimeFormat::kWerte);
    const double wert = fields.at(2).toDouble(&wertOk);
    if (!sensorOk || !wertOk || !std::isfinite(wert) || !zeit.isValid()) {
        return false;
    }
    *row = of(sensorNummer, zeit, wert);
    return true;
}

QString WerteRow::insert() const
{
    return insertStatement(sensorNummer, wert, zeitLocal());
}

bool operator==(const WerteRow &a, const WerteRow &b)
{
    return a.sensorNummer == b.sensorNummer && a.zeit == b.zeit && a.wert == b.wert;
}
