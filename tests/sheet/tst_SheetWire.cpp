#include "sheet/Coordinate.h"
#include "sheet/SheetWire.h"
#include "sheet/TSV.h"

#include <QTest>

#include <nlohmann/json.hpp>

#include <functional>
#include <map>

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
    void refText_data() {
        QTest::addColumn<qint64>("r");
        QTest::addColumn<qint64>("c");
        QTest::addColumn<QString>("ref");
        for (const auto &[r, c, ref] : {std::tuple(0, 0, "A1"),
                                        {0, 25, "Z1"},
                                        {9, 26, "AA10"},
                                        {0, 701, "ZZ1"},
                                        {0, 702, "AAA1"},
                                        {4999, 1999, "BXX5000"}})
            QTest::newRow(ref) << qint64(r) << qint64(c) << QString(ref);
    }
    void refText() {
        QFETCH(qint64, r);
        QFETCH(qint64, c);
        QFETCH(QString, ref);
        QCOMPARE(Coordinate({r, c}).ref(), ref);
        // Every reference the grid can show parses back to the same cell.
        QCOMPARE(Coordinate::parse(ref), std::optional<Coordinate>(Coordinate{r, c}));
    }

    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<Coordinate>>("parsed");
        const auto row = [](const char *name, const QString &text, std::optional<Coordinate> parsed = {}) {
            QTest::newRow(name) << text << parsed;
        };
        row("lower case with blanks", " b12 \n", Coordinate{11, 1});
        row("plus sign", "A+5", Coordinate{4, 0});
        for (const char *bad : {"A0", "A5001", "A-1", "ABCD1", "BXY1", "A", "12", "Ä1", "A1B", "A+",
                                "A99999999999999999999", ""})
            row(*bad ? bad : "empty", QString::fromUtf8(bad));
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(std::optional<Coordinate>, parsed);
        QCOMPARE(Coordinate::parse(text), parsed);
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
    void refused_data() {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("json");
        const auto row = [](const char *name, const char *type, const QByteArray &json) {
            QTest::newRow(name) << QString(type) << json;
        };
        row("cell missing raw", "cell", R"({"r":0,"c":0,"display":""})");
        row("cell row as fraction", "cell", R"({"r":0.5,"c":0,"raw":"","display":""})");
        row("grid without version", "grid", R"({"cells":[]})");
        row("grid version 2^64", "grid", R"({"version":18446744073709551616})");
        row("grid with a bad cell", "grid", R"({"version":1,"cells":[{"r":0,"c":0,"raw":"x"}]})");
        row("grid with a bad size", "grid", R"({"version":1,"sizes":{"cols":{"0":"wide"}}})");
        // A required array may be empty but not absent.
        row("page without ink swatches", "page",
            R"({"Sheet":{"ID":12,"Title":"Budget","TabID":3,"TabName":"Sheet1"},)"
            R"("Rows":100,"Cols":26,"Truncated":false,"MayWrite":true,"MayComment":true,"MayShare":false,)"
            R"("FillSwatches":[],"NumberFormats":[]})");
    }
    void refused() {
        QFETCH(QString, type);
        QFETCH(QByteArray, json);
        const std::map<QString, std::function<void()>> decoders{
            {"cell", [&] { decodeJson<Cell>(json); }},
            {"grid", [&] { decodeJson<GridResponse>(json); }},
            {"page", [&] { decodeJson<SheetPage>(json); }},
        };
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decoders.at(type)());
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
