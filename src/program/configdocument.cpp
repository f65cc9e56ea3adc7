#include "configdocument.h"

#include "alerts/alertsettings.h"
#include "alerts/grenzwerte.h"
#include "runtime/runtimeerror.h"
#include "statuspage/statussettings.h"
#include "storage/aufbewahrung.h"
#include "storage/database.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/recordset.h"
#include "storage/registry.h"
#include "web/geraeteabfragen.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

#include <cmath>
#include <memory>

namespace {

const char *const kFormat = "pelvaro-konfiguration";
constexpr int kVersion = 1;

enum class Column {
    Integer,
    Text,
    // A number, a text or null, as Einstellungen.Wert holds them.
    Value,
    // A number or null.
    Limit,
};

struct Table
{
    const char *name;
    QList<QPair<const char *, Column>> columns;
    // Grenzwerte may be missing from a database.
    bool optional = false;
};

const QList<Table> &tables()
{
    static const QList<Table> all{
        {"Einstellungen", {{"Parameter", Column::Value}, {"Wert", Column::Value}}},
        {"Geraete", {{"ID", Column::Integer}, {"IP", Column::Text}, {"Bezeichnung", Column::Text}}},
        {"Sensoren",
         {{"ID", Column::Integer},
          {"Geraet", Column::Integer},
          {"Anschluss", Column::Integer},
          {"Bezeichnung", Column::Text}}},
        {"Grenzwerte",
         {{"SensorNummer", Column::Integer},
          {"Minimum", Column::Limit},
          {"Maximum", Column::Limit}},
         true},
    };
    return all;
}

bool hasTable(Database &database, const QString &table)
{
    try {
        database.columnNames(table);
        return true;
    } catch (const RuntimeError &) {
        return false;
    }
}

QJsonValue jsonOf(const QVariant &value)
{
    if (value.isNull()) {
        return QJsonValue::Null;
    }
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return QJsonValue(value.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return QJsonValue(value.toDouble());
    case QMetaType::QByteArray:
        return QJsonValue(QString::fromUtf8(value.toByteArray()));
    default:
        return QJsonValue(value.toString());
    }
}

[[noreturn]] void wrongDocument(const QString &where, const QString &why)
{
    throw RuntimeError(
        ErrorNumber::InvalidArgument,
        QStringLiteral("Die Konfiguration ist so nicht zu übernehmen: %1 %2.").arg(where, why));
}

// The value as an SQL literal, after checking it is of the column's kind.
QString literal(const QJsonValue &value, Column column, const QString &where)
{
    const auto number = [&] {
        const double v = value.toDouble();
        if (!std::isfinite(v)) {
            wrongDocument(where, QStringLiteral("ist keine endliche Zahl"));
        }
        return v == std::floor(v) && std::abs(v) < 1e15 ? QString::number(qint64(v))
                                                        : QString::number(v, 'g', 17);
    };
    if (value.isNull() && (column == Column::Value || column == Column::Limit)) {
        return QStringLiteral("NULL");
    }
    if (value.isDouble() && column != Column::Text) {
        if (column == Column::Integer && value.toDouble() != std::floor(value.toDouble())) {
            wrongDocument(where, QStringLiteral("ist keine ganze Zahl"));
        }
        return number();
    }
    if (value.isString() && (column == Column::Text || column == Column::Value)) {
        QString text = value.toString();
        if (text.contains(QChar(0))) {
            wrongDocument(where, QStringLiteral("enthält ein NUL-Zeichen"));
        }
        return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("''"))
               + QLatin1Char('\'');
    }
    wrongDocument(where, column == Column::Text      ? QStringLiteral("ist kein Text")
                         : column == Column::Integer ? QStringLiteral("ist keine Zahl")
                                                     : QStringLiteral("ist weder Zahl noch Text"));
}

// Does what start-up does with the configuration, and throws what it would throw.
void checkAsAtStartUp(Registry &registry, MainView &view, bool withLimits)
{
    GeraeteLesen(registry, view);
    SensorenLesen(registry, view);
    const SettingRows options =
        EinstellungenLesen(registry, view,
                           PassOptions::settingNames() + StatusSettings::settingNames()
                               + AlertSettings::settingNames() + Aufbewahrung::settingNames());
    PassOptions::fromSettings(options);
    StatusSettings::fromSettings(options);
    AlertSettings::fromSettings(options);
    Aufbewahrung::fromSettings(options);
    if (withLimits) {
        GrenzwerteLesen(registry);
    }
}

} // namespace

QByteArray exportConfiguration(Registry &registry)
{
    Database &database = requireDatabase(registry);
    QJsonObject document{{QStringLiteral("format"), QString::fromLatin1(kFormat)},
                         {QStringLiteral("version"), kVersion}};
    for (const Table &table : tables()) {
        const QString name = QString::fromLatin1(table.name);
        if (table.optional && !hasTable(database, name)) {
            continue;
        }
        QJsonArray rows;
        std::unique_ptr<Recordset> recordset = database.OpenRecordset(name);
        try {
            recordset->MoveFirst();
        } catch (const RuntimeError &) {
            // An empty table: no rows to list (start-up would refuse some of them empty).
        }
        while (!recordset->Eof()) {
            QJsonObject row;
            for (const auto &[column, kind] : table.columns) {
                Q_UNUSED(kind)
                row.insert(QString::fromLatin1(column),
                           jsonOf(recordset->field(QString::fromLatin1(column))));
            }
            rows.append(row);
            recordset->MoveNext();
        }
        recordset->Close();
        document.insert(name, rows);
    }
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

QByteArray configurationStand(const QByteArray &document)
{
    return QCryptographicHash::hash(document, QCryptographicHash::Sha256).left(12).toHex();
}

bool importConfiguration(Registry &registry, MainView &view, const QByteArray &bytes,
                         const QByteArray &stand)
{
    QJsonParseError error{};
    const QJsonDocument parsed = QJsonDocument::fromJson(bytes, &error);
    if (parsed.isNull()) {
        wrongDocument(QStringLiteral("das Dokument"),
                      QStringLiteral("ist kein JSON (%1 bei Byte %2)")
                          .arg(error.errorString())
                          .arg(error.offset));
    }
    const QJsonObject document = parsed.object();
    if (document.value(QStringLiteral("format")).toString() != QLatin1String(kFormat)
        || document.value(QStringLiteral("version")).toInt() != kVersion) {
        wrongDocument(QStringLiteral("das Dokument"),
                      QStringLiteral("ist keine Konfiguration von Pelvaro (\"format\": \"%1\", "
                                     "\"version\": %2 fehlen)")
                          .arg(QString::fromLatin1(kFormat))
                          .arg(kVersion));
    }
    Database &database = requireDatabase(registry);
    QStringList statements;
    bool withLimits = false;
    for (const Table &table : tables()) {
        const QString name = QString::fromLatin1(table.name);
        const QJsonValue rows = document.value(name);
        if (!rows.isArray() && !(table.optional && rows.isUndefined())) {
            wrongDocument(QStringLiteral("\"%1\"").arg(name), QStringLiteral("ist keine Liste"));
        }
        if (table.optional && !hasTable(database, name)) {
            if (!rows.toArray().isEmpty()) {
                wrongDocument(QStringLiteral("\"%1\"").arg(name),
                              QStringLiteral("nennt Zeilen, aber die Datenbank hat die Tabelle "
                                             "nicht"));
            }
            continue;
        }
        withLimits = withLimits || table.optional;
        statements << QStringLiteral("DELETE FROM %1").arg(name);
        QStringList columns;
        for (const auto &column : table.columns) {
            columns << QString::fromLatin1(column.first);
        }
        const QJsonArray list = rows.toArray();
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QString where = QStringLiteral("\"%1\"[%2]").arg(name).arg(i + 1);
            if (!list[i].isObject()) {
                wrongDocument(where, QStringLiteral("ist kein Objekt"));
            }
            const QJsonObject row = list[i].toObject();
            QStringList values;
            for (const auto &[column, kind] : table.columns) {
                const QString key = QString::fromLatin1(column);
                if (!row.contains(key)) {
                    wrongDocument(where + QLatin1Char('.') + key, QStringLiteral("fehlt"));
                }
                values << literal(row.value(key), kind, where + QLatin1Char('.') + key);
            }
            statements << QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                              .arg(name, columns.join(QLatin1Char(',')),
                                   values.join(QLatin1Char(',')));
        }
    }
    // Rows are locked by updating them to what they are: on SQLite this takes the write lock, on
    // a server it keeps another save's rows from changing before the comparison.
    const QStringList locks = stand.isEmpty() ? QStringList()
                                              : QStringList{
                                                  QStringLiteral("UPDATE Einstellungen SET "
                                                                 "Parameter = Parameter"),
                                                  QStringLiteral("UPDATE Geraete SET ID = ID"),
                                              };
    // Set when the configuration is no longer the one of stand, or when the new one fails the
    // checks: either way the transaction is rolled back.
    bool conflict = false;
    QString refusal;
    const QString failure = database.executeInTransaction(
        locks.size() + statements.size(),
        [&](qsizetype i) {
            if (i == locks.size() && !locks.isEmpty()) {
                try {
                    conflict = configurationStand(exportConfiguration(registry)) != stand;
                } catch (const RuntimeError &error) {
                    refusal = error.message();
                }
            }
            return i < locks.size() ? locks[i] : statements[i - locks.size()];
        },
        nullptr,
        [&]() -> QString {
            if (conflict || !refusal.isEmpty()) {
                return QStringLiteral("-");
            }
            try {
                checkAsAtStartUp(registry, view, withLimits);
                return {};
            } catch (const RuntimeError &refused) {
                refusal = refused.message();
                return refusal;
            }
        });
    if (conflict) {
        return false;
    }
    if (!failure.isEmpty()) {
        throw RuntimeError(refusal.isEmpty() ? ErrorNumber::StatementFailed
                                             : ErrorNumber::InvalidArgument,
                           QStringLiteral("Die Konfiguration ist nicht übernommen, die Datenbank "
                                          "'%1' ist unverändert: %2")
                               .arg(database.path(), refusal.isEmpty() ? failure : refusal));
    }
    return true;
}
