#include "sheet/TSV.h"

#include <QRandomGenerator>
#include <QTest>

using Rows = QList<QStringList>;

class TestTSV : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void encode() {
        QCOMPARE(TSV::encode({{"a", "b"}, {"c"}}), QStringLiteral("a\tb\nc"));
        QCOMPARE(TSV::encode({{"say \"hi\""}}), QStringLiteral("\"say \"\"hi\"\"\""));
        QCOMPARE(TSV::encode({{"two\nlines", "tab\there", "cr\r"}}),
                 QStringLiteral("\"two\nlines\"\t\"tab\there\"\t\"cr\r\""));
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

    // Whatever the fields hold, decoding the encoded text gives the rows back, but for the two
    // documented normalisations.
    void roundTripProperty() {
        const QStringList pieces{"\t", "\r", "\n", "\r\n", "\"", "\"\"", "a", "bc", " ", "1,5", "é", "😀", ""};
        QRandomGenerator random(20261206);
        for (int trial = 0; trial < 3000; ++trial) {
            Rows rows;
            const int rowCount = random.bounded(0, 5);
            for (int r = 0; r < rowCount; ++r) {
                QStringList row;
                const int fieldCount = random.bounded(0, 4);
                for (int f = 0; f < fieldCount; ++f) {
                    QString field;
                    const int length = random.bounded(0, 5);
                    for (int k = 0; k < length; ++k)
                        field += pieces[random.bounded(qsizetype(0), pieces.size())];
                    row.append(field);
                }
                rows.append(row);
            }
            Rows expected = rows;
            for (QStringList &row : expected) {
                if (row.isEmpty())
                    row = QStringList{QString()};
            }
            if (expected.size() > 1 && expected.last() == QStringList{QString()})
                expected.removeLast();
            if (expected.isEmpty())
                expected = Rows{{""}};
            const QString text = TSV::encode(rows);
            QVERIFY2(TSV::decode(text) == expected, qPrintable(QStringLiteral("trial %1: %2").arg(trial).arg(text)));
        }
    }
};

QTEST_GUILESS_MAIN(TestTSV)
#include "tst_TSV.moc"
