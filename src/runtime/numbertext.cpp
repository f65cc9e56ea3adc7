#include "numbertext.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string>

namespace {

constexpr int kSignificantDigits = 15;
// The largest magnitude whose 15-digit text still reads back as a finite number: above it the
// rounded text (1.79769313486232E+308) would be read as infinity.
constexpr double kLargestWritable = 1.79769313486231e308;
constexpr int kSmallestPlainExponent = -15;
constexpr int kLargestPlainExponent = 20;

QString magnitudeText(double magnitude)
{
    // to_chars is locale-independent, unlike printf, whose decimal point follows LC_NUMERIC.
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude,
                                      std::chars_format::scientific, kSignificantDigits - 1);
    const std::string scientific(buffer.data(), result.ptr);
    const auto ePos = scientific.find('e');
    std::string digits = scientific.substr(0, 1);
    if (ePos > 2) {
        digits += scientific.substr(2, ePos - 2);
    }
    const int exponent = std::stoi(scientific.substr(ePos + 1));
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }

    std::string text;
    if (exponent < kSmallestPlainExponent || exponent > kLargestPlainExponent) {
        text = digits.substr(0, 1);
        if (digits.size() > 1) {
            text += '.' + digits.substr(1);
        }
        const std::string exponentDigits = std::to_string(std::abs(exponent));
        text += exponent < 0 ? "E-" : "E+";
        text += exponentDigits.size() < 2 ? '0' + exponentDigits : exponentDigits;
    } else if (exponent >= 0) {
        const std::size_t integerDigits = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= integerDigits) {
            text = digits + std::string(integerDigits - digits.size(), '0');
        } else {
            text = digits.substr(0, integerDigits) + '.' + digits.substr(integerDigits);
        }
    } else {
        text = '.' + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QString numberText(double value)
{
    if (std::isnan(value)) {
        return QStringLiteral(" NaN");
    }
    if (value == 0.0) {
        return QStringLiteral(" 0");
    }
    const QChar sign = std::signbit(value) ? QLatin1Char('-') : QLatin1Char(' ');
    if (std::isinf(value)) {
        return sign + QStringLiteral("Inf");
    }
    return sign + magnitudeText(std::min(std::fabs(value), kLargestWritable));
}

QString numberText(qint32 value)
{
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}
