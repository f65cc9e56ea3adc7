#include "runtime/leadingnumber.h"
#include "runtime/numbertext.h"
#include "runtime/runtimeerror.h"
#include "runtime/variantconversion.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QVariant>

#include <clocale>
#include <cmath>
#include <limits>

// Numbers between text and value, as the runtime writes and reads them: numberText ("Str"),
// leadingNumber ("Val"), toLong ("CLng") and toText ("CStr").
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
    void conversions_data();
    void conversions();

private:
    // The status page's own text for value (format.js's zahl, run by Node), which must be the
    // program's without its leading blank.
    QString pageText(double value);

    QTemporaryDir m_scripts;
};

QString tst_NumberText::pageText(double value)
{
    const QString module = m_scripts.filePath(QStringLiteral("format.mjs"));
    if (!QFileInfo::exists(module)) {
        QFile::copy(QStringLiteral(PELVARO_FORMAT_JS), module);
    }
    QProcess node;
    node.start(QStringLiteral("node"),
               {QStringLiteral("--input-type=module"), QStringLiteral("-e"),
                QStringLiteral("import { zahl } from %1; "
                               "process.stdout.write(JSON.stringify([zahl(JSON.parse(%2))]));")
                    .arg(QString::fromUtf8(
                             QJsonDocument(QJsonArray{module}).toJson(QJsonDocument::Compact))
                             .mid(1)
                             .chopped(1),
                         QStringLiteral("'%1'").arg(QString::number(value, 'g', 17)))});
    if (!node.waitForFinished(20000) || node.exitCode() != 0) {
        return QStringLiteral("node (Debian package nodejs) failed: ")
               + QString::fromUtf8(node.readAllStandardError());
    }
    return QJsonDocument::fromJson(node.readAllStandardOutput()).array().at(0).toString();
}

// The expected text is the result; "none" for no value at all (as for a number too large to be a
// finite reading); "Fehler <n>" for the run-time error that the conversion must raise. What the
// pass log of tst_geraeteabfragen and the tables of tst_datenbank show already (zero, 15 digits,
// a comma, 1e999) is not repeated here.
void tst_NumberText::conversions_data()
{
    QTest::addColumn<QString>("function");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const char *function, const QVariant &value,
                        const QString &expected) {
        QTest::newRow(name) << QString::fromLatin1(function) << value << expected;
    };
    const auto error = [](int number) {
        return QStringLiteral("Fehler %1").arg(number);
    };
    const auto text = [](const char *t) {
        return QVariant(QString::fromUtf8(t));
    };
    row("Str: negative zero", "Str", -0.0, " 0");
    row("Str: negative half", "Str", -0.5, "-.5");
    row("Str: 1e20 plain", "Str", 1e20, " 100000000000000000000");
    row("Str: 1e21 exponent", "Str", 1e21, " 1E+21");
    row("Str: 1e-15 plain", "Str", 1e-15, " .000000000000001");
    row("Str: 1e-16 exponent", "Str", 1.5e-16, " 1.5E-16");
    row("Str: 32-bit minimum", "Str", -2147483648.0, "-2147483648");
    row("Str: largest stays finite", "Str", -std::numeric_limits<double>::max(),
        "-1.79769313486231E+308");
    row("Str: infinity", "Str", std::numeric_limits<double>::infinity(), " Inf");
    row("Str: a reading", "Str", 21.5, " 21.5");
    row("Str: a negative reading", "Str", -3.25, "-3.25");
    row("Str: a tenth", "Str", 0.1, " .1");
    row("Str: a third", "Str", 1.0 / 3, " .333333333333333");
    row("Str: 15 digits round", "Str", 1234567.8915, " 1234567.8915");
    row("Str: beyond 15 digits", "Str", 123456789.0123456789, " 123456789.012346");
    row("Val: blanks anywhere", "Val", text("\r\n1 2\t3\n4\r\n"), "1234");
    row("Val: point first", "Val", text(".5"), "0.5");
    row("Val: exponent signed", "Val", text("25E-1x"), "2.5");
    row("Val: D exponent", "Val", text("2D2"), "200");
    row("Val: hexadecimal", "Val", text("&H1F"), "31");
    row("Val: octal", "Val", text("&O17"), "15");
    row("Val: empty", "Val", QString(), "0");
    row("Val: nested markup", "Val", text("<v>3</v>"), "0");
    row("Val: no-break space ends", "Val", text("12\u00a034"), "12");
    row("Val: too small is zero", "Val", text("1e-999"), "0");
    row("Val: huge exponent digits", "Val", text("1e99999999999999999999"), "none");
    row("CLng: 2.5 to even", "CLng", 2.5, "2");
    row("CLng: 3.5 to even", "CLng", 3.5, "4");
    row("CLng: smallest by rounding", "CLng", -2147483648.5, "-2147483648");
    row("CLng: one above", "CLng", qlonglong(2147483648LL), error(ErrorNumber::Overflow));
    row("CLng: rounds above", "CLng", 2147483647.5, error(ErrorNumber::Overflow));
    row("CLng: huge text", "CLng", text("1e10"), error(ErrorNumber::Overflow));
    row("CLng: null", "CLng", QVariant(QMetaType(QMetaType::LongLong)),
        error(ErrorNumber::InvalidUseOfNull));
    row("CLng: empty text", "CLng", QString(), error(ErrorNumber::TypeMismatch));
    row("CLng: number then letters", "CLng", text("10a"), error(ErrorNumber::TypeMismatch));
    row("CLng: blob", "CLng", QByteArray("\x01\x02"), error(ErrorNumber::TypeMismatch));
    row("CStr: unchanged", "CStr", text(" Keller <1> "), " Keller <1> ");
    row("CStr: empty is no null", "CStr", QString(), "");
    row("CStr: fraction", "CStr", 12.5, "12.5");
    row("CStr: whole float", "CStr", 12.0, "12");
    row("CStr: null", "CStr", QVariant(QMetaType(QMetaType::QString)),
        error(ErrorNumber::InvalidUseOfNull));
}

void tst_NumberText::conversions()
{
    QFETCH(QString, function);
    QFETCH(QVariant, value);
    QFETCH(QString, expected);
    QString result;
    try {
        if (function == QLatin1String("Str")) {
            const double number = value.toDouble();
            result = ::numberText(number);
            // Whole numbers read from the database come as integers; both forms must agree.
            if (number == std::nearbyint(number) && std::fabs(number) <= 2147483648.0) {
                QCOMPARE(::numberText(qint32(number)), result);
            }
            // The page shows no text for what is no finite number.
            if (std::isfinite(number)) {
                QCOMPARE(pageText(number), result.mid(result.startsWith(QLatin1Char(' '))));
            }
        } else if (function == QLatin1String("Val")) {
            const std::optional<double> number = ::leadingNumber(value.toString());
            result = number ? QString::number(*number, 'g', 17) : QStringLiteral("none");
        } else {
            result = function == QLatin1String("CStr") ? ::toText(value)
                                                       : QString::number(::toLong(value));
        }
    } catch (const RuntimeError &e) {
        result = QStringLiteral("Fehler %1").arg(e.number());
    }
    QCOMPARE(result, expected);
}

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
