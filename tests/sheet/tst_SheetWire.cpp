#include "sheet/Coordinate.h"
#include "sheet/SheetWire.h"
#include "sheet/TSV.h"

#include <QTest>

using Rows = QList<QStringList>;

namespace {
template <typename T> T decode(const char *json) {
    return decodeJson<T>(QByteArray(json));
}
} // namespace

// Cell references, the clipboard's tab-separated text and the JSON records of the server.
class TestSheetWire : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Every reference the grid can show parses back to the same cell.
    void refText() {
        for (const auto &[r, c, ref] : {std::tuple(0, 0, "A1"),
                                        {0, 25, "Z1"},
                                        {9, 26, "AA10"},
                                        {0, 701, "ZZ1"},
                                        {0, 702, "AAA1"},
                                        {4999, 1999, "BXX5000"}}) {
            QCOMPARE(Coordinate({r, c}).ref(), ref);
            QCOMPARE(Coordinate::parse(ref), std::optional<Coordinate>(Coordinate{r, c}));
        }
    }

    // Lower case with blanks and a plus sign parse; the rest does not.
    void parse() {
        QCOMPARE(Coordinate::parse(" b12 \n"), std::optional(Coordinate{11, 1}));
        QCOMPARE(Coordinate::parse("A+5"), std::optional(Coordinate{4, 0}));
        for (const char *bad : {"A0", "A5001", "A-1", "ABCD1", "BXY1", "A", "12", "Ä1", "A1B", "A+",
                                "A99999999999999999999", ""})
            QVERIFY2(!Coordinate::parse(QString::fromUtf8(bad)), bad);
    }

    void rangeParse() {
        const std::optional<CellRange> a1b5 = CellRange{{0, 0}, {4, 1}};
        QCOMPARE(CellRange::parse("B5:A1"), a1b5);
        QCOMPARE(CellRange::parse("A5:B1"), a1b5);
        QCOMPARE(CellRange::parse("C3"), std::optional<CellRange>(CellRange{{2, 2}, {2, 2}}));
        for (const char *bad : {"A1:", ":A1", "A1:B2:C3", ""})
            QVERIFY2(!CellRange::parse(bad), bad);
        QCOMPARE(a1b5->text(), "A1:B5");
    }

    void rangeCoordinatesRowByRow() {
        QCOMPARE(CellRange({{1, 1}, {2, 3}}).coordinates(),
                 (QList<Coordinate>{{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}}));
        QVERIFY(CellRange({{2, 2}, {1, 1}}).coordinates().isEmpty());
    }

    void tsvEncode() {
        QCOMPARE(TSV::encode({{"a", "b"}, {"c"}}), "a\tb\nc");
        QCOMPARE(TSV::encode({{"say \"hi\""}}), "\"say \"\"hi\"\"\"");
        QCOMPARE(TSV::encode({{"two\nlines", "tab\there", "cr\r"}}),
                 "\"two\nlines\"\t\"tab\there\"\t\"cr\r\"");
        QCOMPARE(TSV::encode({}), QString());
    }

    void tsvDecode_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Rows>("rows");
        QTest::newRow("empty") << "" << Rows{{""}};
        QTest::newRow("trailing line break adds no row") << "a\tb\n" << Rows{{"a", "b"}};
        QTest::newRow("blank last line is a row") << "a\n\n" << Rows{{"a"}, {""}};
        QTest::newRow("CRLF is one break") << "a\r\nb" << Rows{{"a"}, {"b"}};
        QTest::newRow("CR CR is two breaks") << "a\r\rb" << Rows{{"a"}, {""}, {"b"}};
        QTest::newRow("quoted tab") << "\"x\ty\"\tz" << Rows{{"x\ty", "z"}};
        QTest::newRow("quoted line breaks") << "\"1\r\n2\"\n3" << Rows{{"1\r\n2"}, {"3"}};
        QTest::newRow("doubled quotes") << "\"a\"\"b\"" << Rows{{"a\"b"}};
        QTest::newRow("quote inside a field") << "5\" disk" << Rows{{"5\" disk"}};
        QTest::newRow("unterminated quote") << "\"open\tstill\nopen" << Rows{{"open\tstill\nopen"}};
    }
    void tsvDecode() {
        QFETCH(QString, text);
        QFETCH(Rows, rows);
        QCOMPARE(TSV::decode(text), rows);
    }

    // Each record refuses input that breaks its shape; one bad member fails the whole record.
    void refused() {
        // A cell missing raw, a row as a fraction.
        for (const char *cell : {R"({"r":0,"c":0,"display":""})", R"({"r":0.5,"c":0,"raw":"","display":""})"})
            QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode<Cell>(cell));
        // No version, a version of 2^64, a bad cell, a bad size.
        for (const char *grid : {R"({"cells":[]})", R"({"version":18446744073709551616})",
                                 R"({"version":1,"cells":[{"r":0,"c":0,"raw":"x"}]})",
                                 R"({"version":1,"sizes":{"cols":{"0":"wide"}}})"})
            QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode<GridResponse>(grid));
        // A required array (the ink swatches) may be empty but not absent.
        QVERIFY_THROWS_EXCEPTION(
            JsonDecodeError,
            decode<SheetPage>(R"({"Sheet":{"ID":12,"Title":"Budget","TabID":3,"TabName":"Sheet1"},)"
                              R"("Rows":100,"Cols":26,"Truncated":false,"MayWrite":true,"MayComment":true,)"
                              R"("MayShare":false,"FillSwatches":[],"NumberFormats":[]})"));
    }

    // Versions are exact 64-bit integers, past where a double would round them.
    void versionsAreExact() {
        constexpr quint64 top = std::numeric_limits<quint64>::max();
        QCOMPARE(decode<GridResponse>(R"({"version":18446744073709551615})").version, top);
        QCOMPARE(decode<GridResponse>(R"({"version":9007199254740993})").version,
                 9007199254740993ULL); // 2^53 + 1
        const auto history = decode<HistoryPage>(R"({"Entries":[{"ID":18446744073709551615,"Ref":"A1",)"
                                                 R"("Who":"a","Old":"","New":"1","When":"now"}]})");
        QCOMPARE(history.Entries->first().ID, top);
    }
};

QTEST_GUILESS_MAIN(TestSheetWire)
#include "tst_SheetWire.moc"
