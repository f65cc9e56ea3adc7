#include "runtime/runtimeerror.h"
#include "runtime/variantconversion.h"

#include <QTest>
#include <QVariant>

class tst_VariantConversion : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void toLong_data();
    void toLong();
    void toText_data();
    void toText();
};

// An expected error number of 0 means the conversion succeeds with the expected value.
void tst_VariantConversion::toLong_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("expected");
    QTest::newRow("integer") << QVariant(qlonglong(42)) << 0 << 42;
    QTest::newRow("2.5 to even") << QVariant(2.5) << 0 << 2;
    QTest::newRow("3.5 to even") << QVariant(3.5) << 0 << 4;
    QTest::newRow("-2.5 to even") << QVariant(-2.5) << 0 << -2;
    QTest::newRow("2.6 rounds") << QVariant(2.6) << 0 << 3;
    QTest::newRow("text") << QVariant(QStringLiteral("10")) << 0 << 10;
    QTest::newRow("text with blanks") << QVariant(QStringLiteral(" 10 ")) << 0 << 10;
    QTest::newRow("text with fraction") << QVariant(QStringLiteral("2.5")) << 0 << 2;
    QTest::newRow("largest") << QVariant(qlonglong(2147483647)) << 0 << 2147483647;
    QTest::newRow("smallest by rounding") << QVariant(-2147483648.5) << 0 << (-2147483647 - 1);
    QTest::newRow("one above") << QVariant(qlonglong(2147483648LL)) << ErrorNumber::Overflow << 0;
    QTest::newRow("rounds above") << QVariant(2147483647.5) << ErrorNumber::Overflow << 0;
    QTest::newRow("huge text") << QVariant(QStringLiteral("1e10")) << ErrorNumber::Overflow << 0;
    QTest::newRow("null") << QVariant(QMetaType(QMetaType::LongLong))
                          << ErrorNumber::InvalidUseOfNull << 0;
    QTest::newRow("empty text") << QVariant(QString()) << ErrorNumber::TypeMismatch << 0;
    QTest::newRow("letters") << QVariant(QStringLiteral("abc")) << ErrorNumber::TypeMismatch << 0;
    QTest::newRow("number then letters")
        << QVariant(QStringLiteral("10a")) << ErrorNumber::TypeMismatch << 0;
    QTest::newRow("blob") << QVariant(QByteArray("\x01\x02")) << ErrorNumber::TypeMismatch << 0;
}

void tst_VariantConversion::toLong()
{
    QFETCH(QVariant, value);
    QFETCH(int, error);
    QFETCH(int, expected);
    try {
        const qint32 result = ::toLong(value);
        QCOMPARE(0, error);
        QCOMPARE(result, expected);
    } catch (const RuntimeError &e) {
        QCOMPARE(e.number(), error);
    }
}

void tst_VariantConversion::toText_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("expected");
    QTest::newRow("text unchanged")
        << QVariant(QStringLiteral(" Keller <1> ")) << 0 << " Keller <1> ";
    QTest::newRow("empty text") << QVariant(QString()) << 0 << "";
    QTest::newRow("integer") << QVariant(qlonglong(42)) << 0 << "42";
    QTest::newRow("fraction") << QVariant(12.5) << 0 << "12.5";
    QTest::newRow("whole float") << QVariant(12.0) << 0 << "12";
    QTest::newRow("null") << QVariant(QMetaType(QMetaType::QString))
                          << ErrorNumber::InvalidUseOfNull << "";
}

void tst_VariantConversion::toText()
{
    QFETCH(QVariant, value);
    QFETCH(int, error);
    QFETCH(QString, expected);
    try {
        const QString result = ::toText(value);
        QCOMPARE(0, error);
        QCOMPARE(result, expected);
    } catch (const RuntimeError &e) {
        QCOMPARE(e.number(), error);
    }
}

QTEST_GUILESS_MAIN(tst_VariantConversion)
#include "tst_variantconversion.moc"
