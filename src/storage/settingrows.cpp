#include "settingrows.h"

#include "runtime/runtimeerror.h"

qint32 SettingRows::number(const QString &name, qint32 fallback) const
{
    const auto found = m_values.constFind(name);
    return found == m_values.cend() ? fallback : found->number;
}

QString SettingRows::text(const QString &name) const
{
    return m_values.value(name).text;
}

bool SettingRows::anyStartingWith(const QString &prefix) const
{
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        if (it.key().startsWith(prefix)) {
            return true;
        }
    }
    return false;
}

void SettingRows::wrong(const QString &name, const QString &why) const
{
    throw RuntimeError(ErrorNumber::InvalidArgument, why)
        .withContext(QStringLiteral("Spalte 'Wert'"))
        .withContext(
            QStringLiteral("Tabelle 'Einstellungen', Zeile %1").arg(m_values.value(name).row));
}

void SettingRows::set(const QString &name, qint32 row, qint32 number, const QString &text)
{
    m_values.insert(name, Value{row, number, text});
}
