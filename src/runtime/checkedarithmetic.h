#pragma once

#include "runtimeerror.h"

#include <QtGlobal>

// 32-bit counter arithmetic with overflow detection: a result outside the 32-bit range is the
// overflow run-time error, never a silent wrap-around.

inline qint32 checkedAdd(qint32 a, qint32 b)
{
    qint32 result;
    if (__builtin_add_overflow(a, b, &result)) {
        throw RuntimeError(ErrorNumber::Overflow,
                           QStringLiteral("Überlauf bei %1 + %2.").arg(a).arg(b));
    }
    return result;
}

inline qint32 checkedSub(qint32 a, qint32 b)
{
    qint32 result;
    if (__builtin_sub_overflow(a, b, &result)) {
        throw RuntimeError(ErrorNumber::Overflow,
                           QStringLiteral("Überlauf bei %1 - %2.").arg(a).arg(b));
    }
    return result;
}
