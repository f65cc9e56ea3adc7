#include "web/tagwert.h"

#include <QTest>

class tst_TagWert : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cuts_data();
    void cuts();
};

void tst_TagWert::cuts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const char *text, const char *tag, const char *expected) {
        QTest::newRow(name) << QString::fromUtf8(text) << QString::fromUtf8(tag)
                            << QString::fromUtf8(expected);
    };
    row("plain", "<x><t1>21.5</t1></x>", "t1", "21.5");
    row("upper-case tag name", "<t1>21.5</t1>", "T1", "21.5");
    row("content keeps its case", "<t1>AbC</t1>", "t1", "AbC");
    row("empty content", "<t1></t1>", "t1", "");
    row("no closing tag", "<t1>21.5", "t1", "");
    row("t10 before t1", "<t10>5</t10><t1>7</t1>", "t1", "7");
    row("first of two", "<t1>1</t1><t1>2</t1>", "t1", "1");
    row("content kept as it stands", "<t1> <v>3</v> </t1>", "t1", " <v>3</v> ");
    row("attributes do not match", "<t1 unit=\"C\">4</t1>", "t1", "");
    row("closing before opening", "</t1>x<t1>5</t1>", "t1", "");
    // U+0130 lowers to two characters with QString::toLower; positions must not shift.
    row("length-changing letter before", "\u0130\u0130<t1>9</t1>", "t1", "9");
}

void tst_TagWert::cuts()
{
    QFETCH(QString, text);
    QFETCH(QString, tag);
    QFETCH(QString, expected);
    QCOMPARE(TagWert(text, tag), expected);
}

QTEST_GUILESS_MAIN(tst_TagWert)
#include "tst_tagwert.moc"
