#pragma once

#include <QString>

// The one form in which the program writes a number into the log box, the status line and SQL:
// a blank before a value that is zero or positive (negative zero included), a minus sign before a
// negative one; "." as decimal separator whatever the locale; no digit grouping; whole numbers as
// plain digits; otherwise at most 15 significant digits, no trailing zeros, and no digit before
// the point below 1 (0.5 gives " .5").
//
// Values whose rounded decimal exponent lies outside -15..20 are written with an exponent
// (" 1.5E+25", "-2E-20"), which SQLite reads back as the same number; magnitudes beyond
// 1.79769313486231E+308 are written as that, so that the text never reads back as infinity.
// Infinities and NaN, which the program never writes, come out as " Inf", "-Inf" and " NaN".
QString numberText(double value);
QString numberText(qint32 value);
