#include "leadingnumber.h"

#include <QString>

#include <charconv>
#include <cmath>
#include <string>

namespace {

bool isSkipped(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')
           || c == QLatin1Char('\r');
}

// The text without the characters that are skipped, as ASCII; anything else becomes a character
// that ends every number.
std::string compacted(const QString &text)
{
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar c : text) {
        if (isSkipped(c)) {
            continue;
        }
        const char16_t u = c.unicode();
        out.push_back(u > 0 && u < 0x80 ? static_cast<char>(u) : '\x01');
    }
    return out;
}

int digitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 99;
}

std::optional<double> wholeNumber(const std::string &s, std::size_t pos, int base)
{
    double value = 0;
    for (; pos < s.size(); ++pos) {
        const int digit = digitValue(s[pos]);
        if (digit >= base) {
            break;
        }
        value = value * base + digit;
    }
    if (std::isinf(value)) {
        return std::nullopt;
    }
    return value;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::optional<double> decimalNumber(const std::string &s)
{
    std::size_t pos = 0;
    bool negative = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        negative = s[pos] == '-';
        ++pos;
    }
    std::string integerDigits;
    std::string fractionDigits;
    while (pos < s.size() && isDigit(s[pos])) {
        integerDigits += s[pos++];
    }
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        while (pos < s.size() && isDigit(s[pos])) {
            fractionDigits += s[pos++];
        }
    }
    if (integerDigits.empty() && fractionDigits.empty()) {
        return 0.0;
    }
    long long exponent = 0;
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E' || s[pos] == 'd' || s[pos] == 'D')) {
        std::size_t p = pos + 1;
        bool negativeExponent = false;
        if (p < s.size() && (s[p] == '+' || s[p] == '-')) {
            negativeExponent = s[p] == '-';
            ++p;
        }
        if (p < s.size() && isDigit(s[p])) {
            for (; p < s.size() && isDigit(s[p]); ++p) {
                // Saturates: beyond this the number is out of range whatever its digits.
                exponent = std::min(exponent * 10 + (s[p] - '0'), 1000000000LL);
            }
            exponent = negativeExponent ? -exponent : exponent;
        }
    }

    const std::string number = (integerDigits.empty() ? std::string("0") : integerDigits) + '.'
                               + fractionDigits + 'e' + std::to_string(exponent);
    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // Out of range either way: decide by the position of the first significant digit.
        const auto firstInteger = integerDigits.find_first_not_of('0');
        const long long magnitude =
            firstInteger != std::string::npos
                ? static_cast<long long>(integerDigits.size() - firstInteger) - 1 + exponent
                : -static_cast<long long>(fractionDigits.find_first_not_of('0')) - 1 + exponent;
        if (magnitude > 0) {
            return std::nullopt;
        }
        value = 0;
    }
    return negative ? -value : value;
}

} // namespace

std::optional<double> leadingNumber(const QString &text)
{
    const std::string s = compacted(text);
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'h' || s[1] == 'H') {
            return wholeNumber(s, 2, 16);
        }
        if (s[1] == 'o' || s[1] == 'O') {
            return wholeNumber(s, 2, 8);
        }
    }
    return decimalNumber(s);
}
