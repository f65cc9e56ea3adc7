#include "einrichtungform.h"

#include "storage/registry.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <limits>
#include <optional>

namespace EinrichtungForm {

namespace {

QString field(const char *table, qsizetype row, const char *column)
{
    return QStringLiteral("%1[%2].%3")
        .arg(QLatin1String(table))
        .arg(row)
        .arg(QLatin1String(column));
}

// A whole number within qint32, given as a number or as its digits.
std::optional<qint32> wholeNumber(const QJsonValue &value)
{
    double number = std::numeric_limits<double>::quiet_NaN();
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        static const QRegularExpression digits(QStringLiteral("^\\s*-?\\d{1,10}\\s*$"));
        if (digits.match(value.toString()).hasMatch()) {
            number = value.toString().trimmed().toDouble();
        }
    }
    if (!std::isfinite(number) || number != std::floor(number)
        || number < std::numeric_limits<qint32>::min()
        || number > std::numeric_limits<qint32>::max()) {
        return std::nullopt;
    }
    return qint32(number);
}

// A limit: empty for none, or a finite number.
std::optional<QJsonValue> limitValue(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined()
        || (value.isString() && value.toString().trimmed().isEmpty())) {
        return QJsonValue(QJsonValue::Null);
    }
    bool number = value.isDouble();
    double v = value.toDouble();
    if (value.isString()) {
        v = value.toString()
                .trimmed()
                .replace(QLatin1Char(','), QLatin1Char('.'))
                .toDouble(&number);
    }
    if (!number || !std::isfinite(v)) {
        return std::nullopt;
    }
    return QJsonValue(v);
}

class Checker
{
public:
    QList<Fault> faults;

    void fault(const QString &feld, const QString &text) { faults.append({feld, text}); }

    QJsonValue number(const QJsonObject &row, const char *table, qsizetype i, const char *column,
                      qint32 minimum = std::numeric_limits<qint32>::min())
    {
        const std::optional<qint32> value = wholeNumber(row.value(QLatin1String(column)));
        if (!value || *value < minimum) {
            fault(field(table, i, column),
                  minimum > std::numeric_limits<qint32>::min()
                      ? QStringLiteral("Hier gehört eine ganze Zahl ab %1 hin.").arg(minimum)
                      : QStringLiteral("Hier gehört eine ganze Zahl hin."));
            return QJsonValue(0);
        }
        return QJsonValue(*value);
    }

    QString name(const QJsonObject &row, const char *table, qsizetype i)
    {
        const QString text = row.value(QStringLiteral("Bezeichnung")).toString();
        if (const QString problem = nameProblem(text); !problem.isEmpty()) {
            fault(field(table, i, "Bezeichnung"), problem);
        }
        return text;
    }
};

QJsonArray einstellungen(const QJsonArray &rows, const QJsonObject &current, Checker &check)
{
    // The values of the rows that name files, by name, in table order.
    QHash<QString, QList<QJsonValue>> files;
    for (const QJsonValue &row : current.value(QStringLiteral("Einstellungen")).toArray()) {
        const QString parameter = row.toObject().value(QStringLiteral("Parameter")).toString();
        if (namesFile(parameter)) {
            files[parameter].append(row.toObject().value(QStringLiteral("Wert")));
        }
    }
    QJsonArray out;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const QJsonObject row = rows[i].toObject();
        const QJsonValue parameter = row.value(QStringLiteral("Parameter"));
        QJsonValue wert = row.value(QStringLiteral("Wert"));
        const QString name = parameter.toString();
        if (!parameter.isString() || name.trimmed().isEmpty()) {
            check.fault(field("Einstellungen", i, "Parameter"),
                        QStringLiteral("Eine Einstellung braucht einen Namen."));
        } else if (const QString problem = nameProblem(name); !problem.isEmpty()) {
            check.fault(field("Einstellungen", i, "Parameter"), problem);
        }
        if (namesFile(name)) {
            if (files.value(name).isEmpty()) {
                check.fault(field("Einstellungen", i, "Wert"),
                            QStringLiteral("Zeilen, die eine Datei nennen, sind nur in der "
                                           "Datenbank selbst hinzuzufügen."));
            } else {
                wert = files[name].takeFirst();
            }
        } else if (wert.isString()
                   && (wert.toString().size() > kMaxValue || wert.toString().contains(QChar(0)))) {
            check.fault(field("Einstellungen", i, "Wert"),
                        QStringLiteral("Höchstens %1 Zeichen, ohne NUL.").arg(kMaxValue));
        } else if (!wert.isString() && !wert.isDouble() && !wert.isNull()) {
            check.fault(field("Einstellungen", i, "Wert"),
                        QStringLiteral("Hier gehört eine Zahl oder ein Text hin."));
        }
        out.append(
            QJsonObject{{QStringLiteral("Parameter"), parameter}, {QStringLiteral("Wert"), wert}});
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!it.value().isEmpty()) {
            check.fault(QStringLiteral("Einstellungen"),
                        QStringLiteral("Die Zeile %1 nennt eine Datei und ist nur in der "
                                       "Datenbank selbst zu entfernen.")
                            .arg(it.key()));
        }
    }
    return out;
}

} // namespace

bool namesFile(const QString &parameter)
{
    return parameter == QLatin1String("StatusBenutzer")
           || parameter == QLatin1String("StatusZertifikat")
           || parameter == QLatin1String("StatusSchluessel");
}

QString nameProblem(const QString &name)
{
    if (name.trimmed().isEmpty()) {
        return QStringLiteral("Der Name fehlt.");
    }
    if (name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r'))
        || name.contains(QChar(0))) {
        return QStringLiteral("Der Name darf keinen Zeilenumbruch und kein NUL enthalten.");
    }
    if (name.toUcs4().size() > kMaxName) {
        return QStringLiteral("Der Name ist länger als %1 Zeichen.").arg(kMaxName);
    }
    return {};
}

QString addressProblem(const QString &address)
{
    if (address.isEmpty()) {
        return QStringLiteral("Die Adresse fehlt.");
    }
    if (address.contains(QStringLiteral("://"))) {
        return QStringLiteral("Ohne http:// oder ein anderes Schema, nur Name oder IP-Adresse "
                              "und vielleicht :Port.");
    }
    static const QRegularExpression space(QStringLiteral("\\s"));
    if (address.contains(space)) {
        return QStringLiteral("Die Adresse darf kein Leerzeichen enthalten.");
    }
    if (address.contains(QLatin1Char('/')) || address.contains(QLatin1Char('?'))
        || address.contains(QLatin1Char('#'))) {
        return QStringLiteral("Ohne Pfad: das Programm hängt /xml selbst an.");
    }
    static const QRegularExpression form(
        QStringLiteral("^(\\[[0-9A-Fa-f:.]+\\]|[A-Za-z0-9._-]{1,253})(?::(\\d{1,5}))?$"));
    const QRegularExpressionMatch match = form.match(address);
    if (!match.hasMatch()) {
        return QStringLiteral("Erwartet ein Name oder eine IP-Adresse, vielleicht mit :Port, etwa "
                              "192.168.1.20 oder geraet.local:8080.");
    }
    if (match.hasCaptured(2)) {
        const int port = match.captured(2).toInt();
        if (port < 1 || port > 65535) {
            return QStringLiteral("Der Port muss zwischen 1 und 65535 liegen.");
        }
    }
    return {};
}

Result toDocument(const QJsonObject &form, const QJsonObject &current)
{
    Checker check;
    QJsonObject document{{QStringLiteral("format"), current.value(QStringLiteral("format"))},
                         {QStringLiteral("version"), current.value(QStringLiteral("version"))}};
    document.insert(
        QStringLiteral("Einstellungen"),
        einstellungen(form.value(QStringLiteral("Einstellungen")).toArray(), current, check));

    const QJsonArray geraete = form.value(QStringLiteral("Geraete")).toArray();
    if (geraete.size() > Registry::kMaxGeraete) {
        check.fault(QStringLiteral("Geraete"),
                    QStringLiteral("Höchstens %1 Geräte.").arg(Registry::kMaxGeraete));
    }
    QHash<QString, qint32> positions;
    QJsonArray geraeteOut;
    for (qsizetype i = 0; i < geraete.size(); ++i) {
        const QJsonObject row = geraete[i].toObject();
        const QString key = row.value(QStringLiteral("schluessel")).toString();
        if (key.isEmpty() || positions.contains(key)) {
            check.fault(field("Geraete", i, "schluessel"),
                        QStringLiteral("Das Formular ist durcheinander; bitte neu laden."));
        }
        positions.insert(key, qint32(i + 1));
        const QJsonValue id = check.number(row, "Geraete", i, "ID");
        const QString ip = row.value(QStringLiteral("IP")).toString().trimmed();
        if (const QString problem = addressProblem(ip); !problem.isEmpty()) {
            check.fault(field("Geraete", i, "IP"), problem);
        }
        geraeteOut.append(
            QJsonObject{{QStringLiteral("ID"), id},
                        {QStringLiteral("IP"), ip},
                        {QStringLiteral("Bezeichnung"), check.name(row, "Geraete", i)}});
    }
    document.insert(QStringLiteral("Geraete"), geraeteOut);

    const QJsonArray sensoren = form.value(QStringLiteral("Sensoren")).toArray();
    if (sensoren.size() > Registry::kMaxSensoren) {
        check.fault(QStringLiteral("Sensoren"),
                    QStringLiteral("Höchstens %1 Sensoren.").arg(Registry::kMaxSensoren));
    }
    QJsonArray sensorenOut;
    QHash<qint32, int> numbers;
    for (const QJsonValue &sensor : sensoren) {
        if (const std::optional<qint32> id =
                wholeNumber(sensor.toObject().value(QStringLiteral("ID")))) {
            ++numbers[*id];
        }
    }
    for (qsizetype i = 0; i < sensoren.size(); ++i) {
        const QJsonObject row = sensoren[i].toObject();
        const QJsonValue id = check.number(row, "Sensoren", i, "ID");
        if (row.value(QStringLiteral("neu")).toBool() && numbers.value(id.toInt()) > 1) {
            check.fault(
                field("Sensoren", i, "ID"),
                QStringLiteral("Die Nummer %1 hat schon ein anderer Sensor.").arg(id.toInt()));
        }
        const qint32 position = positions.value(row.value(QStringLiteral("Geraet")).toString());
        if (position == 0) {
            check.fault(field("Sensoren", i, "Geraet"),
                        QStringLiteral("Das Gerät dieses Sensors gibt es nicht mehr."));
        }
        sensorenOut.append(QJsonObject{
            {QStringLiteral("ID"), id},
            {QStringLiteral("Geraet"), position},
            {QStringLiteral("Anschluss"), check.number(row, "Sensoren", i, "Anschluss", 1)},
            {QStringLiteral("Bezeichnung"), check.name(row, "Sensoren", i)}});
    }
    document.insert(QStringLiteral("Sensoren"), sensorenOut);

    if (form.contains(QStringLiteral("Grenzwerte"))) {
        const QJsonArray grenzwerte = form.value(QStringLiteral("Grenzwerte")).toArray();
        QJsonArray grenzwerteOut;
        for (qsizetype i = 0; i < grenzwerte.size(); ++i) {
            const QJsonObject row = grenzwerte[i].toObject();
            QJsonObject out{{QStringLiteral("SensorNummer"),
                             check.number(row, "Grenzwerte", i, "SensorNummer")}};
            for (const char *column : {"Minimum", "Maximum"}) {
                const std::optional<QJsonValue> limit =
                    limitValue(row.value(QLatin1String(column)));
                if (!limit) {
                    check.fault(field("Grenzwerte", i, column),
                                QStringLiteral("Eine Zahl, oder leer für keine Grenze."));
                }
                out.insert(QLatin1String(column), limit.value_or(QJsonValue()));
            }
            grenzwerteOut.append(out);
        }
        document.insert(QStringLiteral("Grenzwerte"), grenzwerteOut);
    } else if (current.contains(QStringLiteral("Grenzwerte"))) {
        // A form without them leaves the limits as they are rather than removing them all.
        document.insert(QStringLiteral("Grenzwerte"), current.value(QStringLiteral("Grenzwerte")));
    }
    return {check.faults.isEmpty() ? QJsonDocument(document).toJson(QJsonDocument::Compact)
                                   : QByteArray(),
            check.faults};
}

} // namespace EinrichtungForm
