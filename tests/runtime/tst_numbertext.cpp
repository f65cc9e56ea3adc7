#include "runtime/leadingnumber.h"
#include "runtime/numbertext.h"

#include <QLocale>
#include <QTest>

#include <clocale>
#include <cmath>
#include <limits>

class tst_NumberText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void numberText_data();
    void numberText();
    void numberTextIgnoresLocale();
    void integerText();
    void leadingNumber_data();
    void leadingNumber();
};

void tst_NumberText::numberText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << 0.0 << " 0";
    QTest::newRow("negative zero") << -0.0 << " 0";
    QTest::newRow("whole") << 5.0 << " 5";
    QTest::newRow("negative whole") << -3.0 << "-3";
    QTest::newRow("half") << 0.5 << " .5";
    QTest::newRow("negative half") << -0.5 << "-.5";
    QTest::newRow("one third") << 1.0 / 3.0 << " .333333333333333";
    QTest::newRow("two thirds rounds up") << 2.0 / 3.0 << " .666666666666667";
    QTest::newRow("binary fraction noise") << 0.1 + 0.2 << " .3";
    QTest::newRow("reading") << 21.5 << " 21.5";
    QTest::newRow("negative reading") << -3.25 << "-3.25";
    QTest::newRow("15 significant digits") << 123456789.123456789 << " 123456789.123457";
    QTest::newRow("1e15 plain") << 1e15 << " 1000000000000000";
    QTest::newRow("1e21 exponent") << 1e21 << " 1E+21";
    QTest::newRow("large mantissa") << -1.5e25 << "-1.5E+25";
    QTest::newRow("1e-5 plain") << 1e-5 << " .00001";
    QTest::newRow("1e-16 exponent") << 1.5e-16 << " 1.5E-16";
    QTest::newRow("rounds to whole") << 0.9999999999999999 << " 1";
    QTest::newRow("largest double stays finite")
        << -std::numeric_limits<double>::max() << "-1.79769313486231E+308";
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << " Inf";
}

void tst_NumberText::numberText()
{
    QFETCH(double, value);
    QFETCH(QString, expected);
    QCOMPARE(::numberText(value), expected);
}

void tst_NumberText::numberTextIgnoresLocale()
{
    // QCoreApplication sets the C library's locale from the environment; a German one must not
    // turn the point into a comma anywhere the program writes numbers.
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const char *cLocale = std::setlocale(LC_ALL, "de_DE.UTF-8");
    const QString text = ::numberText(1234.5);
    const std::optional<double> read = ::leadingNumber(QStringLiteral("1234.5"));
    QLocale::setDefault(previous);
    std::setlocale(LC_ALL, "C.UTF-8");
    QCOMPARE(text, QStringLiteral(" 1234.5"));
    QCOMPARE(read, std::optional<double>(1234.5));
    if (cLocale == nullptr) {
        qInfo("de_DE.UTF-8 is not installed; checked with the Qt locale only");
    }
}

void tst_NumberText::integerText()
{
    QCOMPARE(::numberText(qint32(12)), QStringLiteral(" 12"));
    QCOMPARE(::numberText(qint32(0)), QStringLiteral(" 0"));
    QCOMPARE(::numberText(qint32(-2147483647 - 1)), QStringLiteral("-2147483648"));
}

void tst_NumberText::leadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("hasValue");
    QTest::addColumn<double>("expected");
    QTest::newRow("plain") << "21.5" << true << 21.5;
    QTest::newRow("CR LF around") << "\r\n21.5\r\n" << true << 21.5;
    QTest::newRow("blanks inside") << "1 2\t3\n4" << true << 1234.0;
    QTest::newRow("blank after sign") << "- 4" << true << -4.0;
    QTest::newRow("comma ends number") << "21,5" << true << 21.0;
    QTest::newRow("unit after number") << "21.5°C" << true << 21.5;
    QTest::newRow("point first") << ".5" << true << 0.5;
    QTest::newRow("exponent") << "1e3" << true << 1000.0;
    QTest::newRow("exponent signed") << "25E-1x" << true << 2.5;
    QTest::newRow("D exponent") << "2D2" << true << 200.0;
    QTest::newRow("exponent without digits") << "4e" << true << 4.0;
    QTest::newRow("minus in the middle ends") << "5-3" << true << 5.0;
    QTest::newRow("hexadecimal") << "&H1F" << true << 31.0;
    QTest::newRow("octal") << "&O17" << true << 15.0;
    QTest::newRow("no reading marker kept") << "-9999" << true << -9999.0;
    QTest::newRow("empty") << "" << true << 0.0;
    QTest::newRow("nested markup") << "<v>3</v>" << true << 0.0;
    QTest::newRow("no-break space ends") << "12\u00a034" << true << 12.0;
    QTest::newRow("too small is zero") << "1e-999" << true << 0.0;
    QTest::newRow("too large") << "1e999" << false << 0.0;
    QTest::newRow("too many digits") << QString(400, QLatin1Char('9')) << false << 0.0;
    QTest::newRow("huge exponent digits") << "1e99999999999999999999" << false << 0.0;
}

void tst_NumberText::leadingNumber()
{
    QFETCH(QString, text);
    QFETCH(bool, hasValue);
    QFETCH(double, expected);
    const std::optional<double> value = ::leadingNumber(text);
    QCOMPARE(value.has_value(), hasValue);
    if (hasValue) {
        QCOMPARE(*value, expected);
    }
}

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
