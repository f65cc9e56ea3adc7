#include "recordset.h"

#include "runtime/runtimeerror.h"

#include <QSqlError>
#include <QVariant>

Recordset::Recordset(QSqlQuery query, QString table, QString databasePath)
    : m_query(std::move(query)), m_columns(m_query.record()), m_table(std::move(table)),
      m_databasePath(std::move(databasePath))
{
}

void Recordset::MoveFirst()
{
    m_onRow = m_query.next();
    failIfQueryFailed();
    if (!m_onRow) {
        throw RuntimeError(ErrorNumber::NoCurrentRecord,
                           QStringLiteral("Kein aktueller Datensatz: die Tabelle '%1' der "
                                          "Datenbank '%2' ist leer.")
                               .arg(m_table, m_databasePath));
    }
}

QVariant Recordset::field(const QString &column) const
{
    const int index = m_columns.indexOf(column);
    if (index < 0) {
        throw RuntimeError(ErrorNumber::ItemNotFound,
                           QStringLiteral("Die Spalte '%1' fehlt in der Tabelle '%2' der "
                                          "Datenbank '%3'.")
                               .arg(column, m_table, m_databasePath));
    }
    if (!m_onRow) {
        throw RuntimeError(
            ErrorNumber::NoCurrentRecord,
            QStringLiteral("Kein aktueller Datensatz in der Tabelle '%1'.").arg(m_table));
    }
    return m_query.value(index);
}

void Recordset::MoveNext()
{
    if (!m_onRow) {
        throw RuntimeError(
            ErrorNumber::NoCurrentRecord,
            QStringLiteral("Kein aktueller Datensatz in der Tabelle '%1'.").arg(m_table));
    }
    m_onRow = m_query.next();
    failIfQueryFailed();
}

void Recordset::Close()
{
    m_query.finish();
    m_query = QSqlQuery();
    m_onRow = false;
}

void Recordset::failIfQueryFailed() const
{
    const QSqlError error = m_query.lastError();
    if (error.isValid() && error.type() != QSqlError::NoError) {
        throw RuntimeError(ErrorNumber::DiskOrNetworkError,
                           QStringLiteral("Die Tabelle '%1' der Datenbank '%2' kann nicht gelesen "
                                          "werden: %3")
                               .arg(m_table, m_databasePath, error.text()));
    }
}
