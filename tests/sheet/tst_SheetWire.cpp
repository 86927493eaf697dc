#include "sheet/SheetWire.h"

#include <QTest>

#include <nlohmann/json.hpp>

#include <functional>
#include <map>

namespace {
template <typename T> T decode(const char *json) {
    return decodeJson<T>(QByteArray(json));
}
} // namespace

class TestSheetWire : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each record refuses input that breaks its shape; one bad member fails the whole record.
    void refused_data() {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("json");
        const auto row = [](const char *name, const char *type, const QByteArray &json) {
            QTest::newRow(name) << QString(type) << json;
        };
        row("cell missing raw", "cell", R"({"r":0,"c":0,"display":""})");
        row("cell null display", "cell", R"({"r":0,"c":0,"raw":"","display":null})");
        row("cell row as text", "cell", R"({"r":"0","c":0,"raw":"","display":""})");
        row("cell row as fraction", "cell", R"({"r":0.5,"c":0,"raw":"","display":""})");
        row("cell n as text", "cell", R"({"r":0,"c":0,"raw":"","display":"","n":"true"})");
        row("cell not an object", "cell", R"([1,2])");
        row("cell not JSON", "cell", R"({"r":0,)");
        row("grid without version", "grid", R"({"cells":[]})");
        row("grid negative version", "grid", R"({"version":-1})");
        row("grid version 2^64", "grid", R"({"version":18446744073709551616})");
        row("grid with a bad cell", "grid", R"({"version":1,"cells":[{"r":0,"c":0,"raw":"x"}]})");
        row("grid with a bad size", "grid", R"({"version":1,"sizes":{"cols":{"0":"wide"}}})");
        row("view without filter", "view", R"({"sortCol":1,"sortDesc":true})");
        row("notice without message", "notice", R"({"notice":"saved"})");
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
            {"cell", [&] { decodeJson<Cell>(json); }},      {"grid", [&] { decodeJson<GridResponse>(json); }},
            {"view", [&] { decodeJson<ViewSpec>(json); }},  {"notice", [&] { decodeJson<Notice>(json); }},
            {"page", [&] { decodeJson<SheetPage>(json); }},
        };
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decoders.at(type)());
    }

    void optionalKeysAbsentOrNullAndUnknownKeysIgnored() {
        QCOMPARE(decode<Cell>(R"({"r":2,"c":3,"raw":"=A1","display":"4","extra":{"x":[1]}})"),
                 (Cell{2, 3, "=A1", "4", {}, {}}));
        QCOMPARE(decode<Cell>(R"({"r":2,"c":3,"raw":"x","display":"x","n":null,"f":null})"),
                 (Cell{2, 3, "x", "x", {}, {}}));
        QCOMPARE(decode<Cell>(R"({"r":2,"c":3,"raw":"1","display":"1.00","n":true,"f":"k1"})"),
                 (Cell{2, 3, "1", "1.00", true, "k1"}));
        QCOMPARE(decode<SheetList>("{}").Sheets, std::nullopt);
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

    void gridResponseWhole() {
        const auto response = decode<GridResponse>(
            R"({"version":7,"rows":2,"cols":2,)"
            R"("cells":[{"r":0,"c":0,"raw":"x","display":"x","f":"s"}],)"
            R"("formats":{"s":{"b":true,"fx":"ffeecc","fh":120.5,"fc":0.1,"a":"right"}},)"
            R"("sizes":{"cols":{"0":120,"3":80.5},"rows":null},)"
            R"("resync":false,"stamps":3})");
        QCOMPARE(response.cells->size(), 1);
        CellStyle style;
        style.b = true, style.a = "right", style.fx = "ffeecc", style.fh = 120.5, style.fc = 0.1;
        QCOMPARE(response.formats->value("s"), style);
        QCOMPARE(response.sizes->cols->value("3"), 80.5);
        QVERIFY(!response.sizes->rows);
        QCOMPARE(response.stamps, std::optional<qint64>(3));
    }

    void encodingLeavesAbsentOptionalsOut() {
        QCOMPARE(CellWrite({1, 2, "x", {}, {}}).encode().dump(), R"({"c":2,"r":1,"raw":"x"})");
        QCOMPARE(CellWrite({1, 2, "=A1", 0, 0}).encode().dump(),
                 R"({"c":2,"fromC":0,"fromR":0,"r":1,"raw":"=A1"})");
        // Encoding then decoding gives the same record, text and all.
        const CellWrite write{4, 5, "naïve \"quote\" \t 😀", 1, 2};
        QCOMPARE(decodeJson<CellWrite>(QByteArray::fromStdString(write.encode().dump())), write);
        const ViewSpec view{2, true, 3, "gt", "10"};
        QCOMPARE(decodeJson<ViewSpec>(QByteArray::fromStdString(view.encode().dump())), view);
    }
};

QTEST_GUILESS_MAIN(TestSheetWire)
#include "tst_SheetWire.moc"
