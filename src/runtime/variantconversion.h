#pragma once

#include <QtGlobal>

class QString;
class QVariant;

// Conversions of the values that a database yields, as the program has always done them. Each
// failure is a RuntimeError without context; the caller adds the table, row and column.

// A number, or a text that reads as one in the user's number format (or, failing that, with "."
// as decimal separator). Fractions are rounded to the nearest integer, halves to the even one
// (2.5 gives 2, 3.5 gives 4). Null is "invalid use of null"; the empty text and any other text
// that is no number are a type mismatch; a value outside the 32-bit range is an overflow.
qint32 toLong(const QVariant &value);

// A text unchanged; a number as its text in the user's number format, without digit grouping.
// Null is "invalid use of null".
QString toText(const QVariant &value);
