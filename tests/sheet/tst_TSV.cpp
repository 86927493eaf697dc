#include "sheet/TSV.h"

#include <QTest>

using Rows = QList<QStringList>;

class TestTSV : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void encode() {
        QCOMPARE(TSV::encode({{"a", "b"}, {"c"}}), "a\tb\nc");
        QCOMPARE(TSV::encode({{"say \"hi\""}}), "\"say \"\"hi\"\"\"");
        QCOMPARE(TSV::encode({{"two\nlines", "tab\there", "cr\r"}}),
                 "\"two\nlines\"\t\"tab\there\"\t\"cr\r\"");
        QCOMPARE(TSV::encode({}), QString());
    }

    void decode_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Rows>("rows");
        QTest::newRow("empty") << "" << Rows{{""}};
        QTest::newRow("trailing line break adds no row") << "a\tb\n" << Rows{{"a", "b"}};
        QTest::newRow("blank last line is a row") << "a\n\n" << Rows{{"a"}, {""}};
        QTest::newRow("CRLF is one break") << "a\r\nb" << Rows{{"a"}, {"b"}};
        QTest::newRow("CR CR is two breaks") << "a\r\rb" << Rows{{"a"}, {""}, {"b"}};
        QTest::newRow("lone CR") << "a\rb\r" << Rows{{"a"}, {"b"}};
        QTest::newRow("quoted tab") << "\"x\ty\"\tz" << Rows{{"x\ty", "z"}};
        QTest::newRow("quoted line breaks") << "\"1\r\n2\"\n3" << Rows{{"1\r\n2"}, {"3"}};
        QTest::newRow("doubled quotes") << "\"a\"\"b\"" << Rows{{"a\"b"}};
        QTest::newRow("text after closing quote") << "\"ab\"c" << Rows{{"abc"}};
        QTest::newRow("quote inside a field") << "5\" disk" << Rows{{"5\" disk"}};
        QTest::newRow("unterminated quote") << "\"open\tstill\nopen" << Rows{{"open\tstill\nopen"}};
        QTest::newRow("quote at the very end") << "\"" << Rows{{""}};
        QTest::newRow("ragged") << "a\tb\tc\nd" << Rows{{"a", "b", "c"}, {"d"}};
    }
    void decode() {
        QFETCH(QString, text);
        QFETCH(Rows, rows);
        QCOMPARE(TSV::decode(text), rows);
    }
};

QTEST_GUILESS_MAIN(TestTSV)
#include "tst_TSV.moc"
