#include "runtimeerror.h"

RuntimeError::RuntimeError(int number, QString description)
    : m_number(number), m_description(std::move(description)), m_what(message().toUtf8())
{
}

QString RuntimeError::message() const
{
    return QStringLiteral("Laufzeitfehler %1: %2").arg(m_number).arg(m_description);
}

RuntimeError RuntimeError::withContext(const QString &where) const
{
    return RuntimeError(m_number, where + QStringLiteral(": ") + m_description);
}
