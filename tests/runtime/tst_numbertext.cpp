#include "runtime/leadingnumber.h"
#include "runtime/numbertext.h"
#include "runtime/runtimeerror.h"
#include "runtime/variantconversion.h"

#include <QLocale>
#include <QTest>
#include <QVariant>

#include <clocale>
#include <cmath>
#include <limits>

class tst_NumberText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // QCoreApplication sets the C library's locale from the environment; a German one must not
    // turn the point into a comma anywhere the program writes or reads numbers.
    void initTestCase()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
            qInfo("de_DE.UTF-8 is not installed; checked with the Qt locale only");
        }
    }
    void numberText_data();
    void numberText();
    void leadingNumber_data();
    void leadingNumber();
    void conversion_data();
    void conversion();
};

void tst_NumberText::numberText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, double value, const char *expected) {
        QTest::newRow(name) << value << QString::fromUtf8(expected);
    };
    row("zero", 0.0, " 0");
    row("negative zero", -0.0, " 0");
    row("negative half", -0.5, "-.5");
    row("15 significant digits", 123456789.123456789, " 123456789.123457");
    row("1e20 plain", 1e20, " 100000000000000000000");
    row("1e21 exponent", 1e21, " 1E+21");
    row("1e-15 plain", 1e-15, " .000000000000001");
    row("1e-16 exponent", 1.5e-16, " 1.5E-16");
    row("32-bit minimum", -2147483648.0, "-2147483648");
    row("largest stays finite", -std::numeric_limits<double>::max(), "-1.79769313486231E+308");
    row("infinity", std::numeric_limits<double>::infinity(), " Inf");
}

void tst_NumberText::numberText()
{
    QFETCH(double, value);
    QFETCH(QString, expected);
    QCOMPARE(::numberText(value), expected);
    // Whole numbers read from the database come as integers; both forms must agree.
    if (value == std::nearbyint(value) && std::fabs(value) <= 2147483648.0) {
        QCOMPARE(::numberText(qint32(value)), expected);
    }
}

// "none": no value at all, as for a number too large to be a finite reading.
void tst_NumberText::leadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const QString &text, const char *expected) {
        QTest::newRow(name) << text << QString::fromUtf8(expected);
    };
    row("blanks anywhere", QStringLiteral("\r\n1 2\t3\n4\r\n"), "1234");
    row("comma ends number", QStringLiteral("21,5"), "21");
    row("point first", QStringLiteral(".5"), "0.5");
    row("exponent signed", QStringLiteral("25E-1x"), "2.5");
    row("D exponent", QStringLiteral("2D2"), "200");
    row("hexadecimal", QStringLiteral("&H1F"), "31");
    row("octal", QStringLiteral("&O17"), "15");
    row("empty", QString(), "0");
    row("nested markup", QStringLiteral("<v>3</v>"), "0");
    row("no-break space ends", QStringLiteral("12\u00a034"), "12");
    row("too small is zero", QStringLiteral("1e-999"), "0");
    row("too large", QStringLiteral("1e999"), "none");
    row("huge exponent digits", QStringLiteral("1e99999999999999999999"), "none");
}

void tst_NumberText::leadingNumber()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const std::optional<double> value = ::leadingNumber(text);
    QCOMPARE(value ? QString::number(*value, 'g', 17) : QStringLiteral("none"), expected);
}

// "Long" rows go through toLong, "Text" rows through toText. The expected text is the result, or
// "Fehler <n>" for the run-time error that the conversion must raise.
void tst_NumberText::conversion_data()
{
    QTest::addColumn<bool>("asText");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, bool asText, const QVariant &value, const QString &e) {
        QTest::newRow(name) << asText << value << e;
    };
    const auto error = [](int number) {
        return QStringLiteral("Fehler %1").arg(number);
    };
    const auto text = [](const char *t) {
        return QVariant(QString::fromUtf8(t));
    };
    row("Long: 2.5 to even", false, 2.5, "2");
    row("Long: 3.5 to even", false, 3.5, "4");
    row("Long: smallest by rounding", false, -2147483648.5, "-2147483648");
    row("Long: one above", false, qlonglong(2147483648LL), error(ErrorNumber::Overflow));
    row("Long: rounds above", false, 2147483647.5, error(ErrorNumber::Overflow));
    row("Long: huge text", false, text("1e10"), error(ErrorNumber::Overflow));
    row("Long: null", false, QVariant(QMetaType(QMetaType::LongLong)),
        error(ErrorNumber::InvalidUseOfNull));
    row("Long: empty text", false, QString(), error(ErrorNumber::TypeMismatch));
    row("Long: number then letters", false, text("10a"), error(ErrorNumber::TypeMismatch));
    row("Long: blob", false, QByteArray("\x01\x02"), error(ErrorNumber::TypeMismatch));
    row("Text: unchanged", true, text(" Keller <1> "), " Keller <1> ");
    row("Text: empty is no null", true, QString(), "");
    row("Text: fraction", true, 12.5, "12.5");
    row("Text: whole float", true, 12.0, "12");
    row("Text: null", true, QVariant(QMetaType(QMetaType::QString)),
        error(ErrorNumber::InvalidUseOfNull));
}

void tst_NumberText::conversion()
{
    QFETCH(bool, asText);
    QFETCH(QVariant, value);
    QFETCH(QString, expected);
    QString result;
    try {
        result = asText ? ::toText(value) : QString::number(::toLong(value));
    } catch (const RuntimeError &e) {
        result = QStringLiteral("Fehler %1").arg(e.number());
    }
    QCOMPARE(result, expected);
}

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
