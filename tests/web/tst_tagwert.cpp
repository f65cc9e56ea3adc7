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
    QTest::newRow("plain") << "<x><t1>21.5</t1></x>"
                           << "t1"
                           << "21.5";
    QTest::newRow("upper-case element") << "<T1>21.5</T1>"
                                        << "t1"
                                        << "21.5";
    QTest::newRow("upper-case tag name") << "<t1>21.5</t1>"
                                         << "T1"
                                         << "21.5";
    QTest::newRow("content keeps its case") << "<t1>AbC</t1>"
                                            << "t1"
                                            << "AbC";
    QTest::newRow("empty content") << "<t1></t1>"
                                   << "t1"
                                   << "";
    QTest::newRow("no opening tag") << "21.5</t1>"
                                    << "t1"
                                    << "";
    QTest::newRow("no closing tag") << "<t1>21.5"
                                    << "t1"
                                    << "";
    QTest::newRow("neither") << "<t2>1</t2>"
                             << "t1"
                             << "";
    QTest::newRow("empty text") << ""
                                << "t1"
                                << "";
    QTest::newRow("t10 before t1") << "<t10>5</t10><t1>7</t1>"
                                   << "t1"
                                   << "7";
    QTest::newRow("first of two") << "<t1>1</t1><t1>2</t1>"
                                  << "t1"
                                  << "1";
    QTest::newRow("blanks kept") << "<t1> 21.5 </t1>"
                                 << "t1"
                                 << " 21.5 ";
    QTest::newRow("nested markup kept") << "<t1><v>3</v></t1>"
                                        << "t1"
                                        << "<v>3</v>";
    QTest::newRow("attributes do not match") << "<t1 unit=\"C\">4</t1>"
                                             << "t1"
                                             << "";
    QTest::newRow("closing before opening") << "</t1>x<t1>5</t1>"
                                            << "t1"
                                            << "";
    QTest::newRow("negative port") << "<t-2>8</t-2>"
                                   << "t-2"
                                   << "8";
    // U+0130 lowers to two characters with QString::toLower; positions must not shift.
    QTest::newRow("length-changing letter before") << "\u0130\u0130<t1>9</t1>"
                                                   << "t1"
                                                   << "9";
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
