#include "variantconversion.h"

#include "runtimeerror.h"

#include <QLocale>
#include <QVariant>

#include <cmath>
#include <limits>

namespace {

RuntimeError nullError()
{
    return RuntimeError(ErrorNumber::InvalidUseOfNull,
                        QStringLiteral("Unzulässige Verwendung von Null (der Wert fehlt)."));
}

RuntimeError mismatch(const QString &shown)
{
    return RuntimeError(ErrorNumber::TypeMismatch,
                        QStringLiteral("Typen unverträglich: '%1' ist keine Zahl.").arg(shown));
}

qint32 rounded(double value, const QString &shown)
{
    // nearbyint rounds halves to the even neighbour in the default rounding mode.
    const double r = std::nearbyint(value);
    if (!(r >= std::numeric_limits<qint32>::min() && r <= std::numeric_limits<qint32>::max())) {
        throw RuntimeError(
            ErrorNumber::Overflow,
            QStringLiteral("Überlauf: %1 passt in keine 32-Bit-Ganzzahl.").arg(shown));
    }
    return static_cast<qint32>(r);
}

double numberFromText(const QString &text)
{
    const QString trimmed = text.trimmed();
    bool ok = false;
    double value = QLocale::system().toDouble(trimmed, &ok);
    if (!ok) {
        value = QLocale::c().toDouble(trimmed, &ok);
    }
    if (!ok) {
        throw mismatch(text);
    }
    return value;
}

} // namespace

qint32 toLong(const QVariant &value)
{
    if (value.isNull()) {
        throw nullError();
    }
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return rounded(value.toDouble(), value.toString());
    case QMetaType::Bool:
        return value.toBool() ? -1 : 0;
    case QMetaType::QString:
        return rounded(numberFromText(value.toString()), value.toString());
    default:
        throw mismatch(value.toString());
    }
}

QString toText(const QVariant &value)
{
    if (value.isNull()) {
        throw nullError();
    }
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float: {
        QLocale locale = QLocale::system();
        locale.setNumberOptions(QLocale::OmitGroupSeparator);
        return locale.toString(value.toDouble(), 'g', 15);
    }
    case QMetaType::QByteArray:
        return QString::fromUtf8(value.toByteArray());
    default:
        return value.toString();
    }
}
