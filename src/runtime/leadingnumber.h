#pragma once

#include <optional>

class QString;

// The number that a text begins with, read the way the program has always read device readings:
// blanks, tabs, line feeds and carriage returns are skipped wherever they stand; then an optional
// sign, digits, optionally "." and more digits, and optionally an exponent (E or D, optional sign,
// digits) are read up to the first character that does not fit. "." is the only decimal separator
// whatever the locale, so "21,5" gives 21. "&H" and "&O" begin a hexadecimal or octal whole
// number. A text that does not begin with a number, the empty text included, gives 0.
//
// A number too large for a 64-bit float (such as 1e999) gives no value at all, so that a device's
// garbage can never become an infinite reading. One too small for it gives 0.
std::optional<double> leadingNumber(const QString &text);
