#include "runtime/runtimeerror.h"
#include "runtime/variantconversion.h"

#include <QTest>
#include <QVariant>

class tst_VariantConversion : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void conversion_data();
    void conversion();
};

// "Long" rows go through toLong, "Text" rows through toText. The expected text is the result, or
// "Fehler <n>" for the run-time error that the conversion must raise.
void tst_VariantConversion::conversion_data()
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
    row("Long: integer", false, qlonglong(42), "42");
    row("Long: 2.5 to even", false, 2.5, "2");
    row("Long: 3.5 to even", false, 3.5, "4");
    row("Long: -2.5 to even", false, -2.5, "-2");
    row("Long: text with blanks", false, text(" 10 "), "10");
    row("Long: text with fraction", false, text("2.5"), "2");
    row("Long: largest", false, qlonglong(2147483647), "2147483647");
    row("Long: smallest by rounding", false, -2147483648.5, "-2147483648");
    row("Long: one above", false, qlonglong(2147483648LL), error(ErrorNumber::Overflow));
    row("Long: rounds above", false, 2147483647.5, error(ErrorNumber::Overflow));
    row("Long: huge text", false, text("1e10"), error(ErrorNumber::Overflow));
    row("Long: null", false, QVariant(QMetaType(QMetaType::LongLong)),
        error(ErrorNumber::InvalidUseOfNull));
    row("Long: empty text", false, QString(), error(ErrorNumber::TypeMismatch));
    row("Long: letters", false, text("abc"), error(ErrorNumber::TypeMismatch));
    row("Long: number then letters", false, text("10a"), error(ErrorNumber::TypeMismatch));
    row("Long: blob", false, QByteArray("\x01\x02"), error(ErrorNumber::TypeMismatch));
    row("Text: unchanged", true, text(" Keller <1> "), " Keller <1> ");
    row("Text: empty is no null", true, QString(), "");
    row("Text: fraction", true, 12.5, "12.5");
    row("Text: whole float", true, 12.0, "12");
    row("Text: null", true, QVariant(QMetaType(QMetaType::QString)),
        error(ErrorNumber::InvalidUseOfNull));
}

void tst_VariantConversion::conversion()
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

QTEST_GUILESS_MAIN(tst_VariantConversion)
#include "tst_variantconversion.moc"
