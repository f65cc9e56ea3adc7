#include "tagwert.h"

#include <QString>

namespace {

// Character by character, so that a position in the copy is the same position in the original
// (QString::toLower may change the length, as for U+0130).
QString lowered(const QString &text)
{
    QString copy = text;
    for (QChar &c : copy) {
        c = c.toLower();
    }
    return copy;
}

} // namespace

QString TagWert(const QString &text, const QString &tag)
{
    const QString haystack = lowered(text);
    const QString opening = lowered(QLatin1Char('<') + tag + QLatin1Char('>'));
    const QString closing = lowered(QStringLiteral("</") + tag + QLatin1Char('>'));
    const qsizetype start = haystack.indexOf(opening);
    const qsizetype end = haystack.indexOf(closing);
    if (start < 0 || end < 0) {
        return QString();
    }
    const qsizetype from = start + opening.size();
    if (end < from) {
        return QString();
    }
    return text.mid(from, end - from);
}
