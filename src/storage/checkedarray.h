#pragma once

#include "runtime/runtimeerror.h"

#include <QtGlobal>

#include <array>

// A fixed-size table column whose every access checks its index: an index outside 0..Size-1 is
// the subscript-out-of-range run-time error, which names the column and the index.
template <typename T, qint32 Size> class CheckedArray
{
public:
    explicit CheckedArray(const char *name) : m_name(name) {}

    static constexpr qint32 kUpperBound = Size - 1;

    T &operator[](qint32 index)
    {
        check(index);
        return m_items[static_cast<std::size_t>(index)];
    }
    const T &operator[](qint32 index) const
    {
        check(index);
        return m_items[static_cast<std::size_t>(index)];
    }

private:
    void check(qint32 index) const
    {
        if (index < 0 || index > kUpperBound) {
            throw RuntimeError(
                ErrorNumber::SubscriptOutOfRange,
                QStringLiteral("Index außerhalb des gültigen Bereichs: %1(%2), gültig "
                               "ist 0 bis %3.")
                    .arg(QLatin1String(m_name))
                    .arg(index)
                    .arg(kUpperBound));
        }
    }

    const char *m_name;
    std::array<T, Size> m_items{};
};
