#include "sheet/SheetWire.h"

#include <QTest>

#include <nlohmann/json.hpp>

namespace {
template <typename T> T decode(const char *json) {
    return decodeJson<T>(QByteArray(json));
}
} // namespace

class TestSheetWire : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cellRequiredKeys_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("missing raw") << QByteArray(R"({"r":0,"c":0,"display":""})");
        QTest::newRow("null display") << QByteArray(R"({"r":0,"c":0,"raw":"","display":null})");
        QTest::newRow("row as text") << QByteArray(R"({"r":"0","c":0,"raw":"","display":""})");
        QTest::newRow("row as fraction") << QByteArray(R"({"r":0.5,"c":0,"raw":"","display":""})");
        QTest::newRow("n as text") << QByteArray(R"({"r":0,"c":0,"raw":"","display":"","n":"true"})");
        QTest::newRow("not an object") << QByteArray(R"([1,2])");
        QTest::newRow("not JSON") << QByteArray(R"({"r":0,)");
    }
    void cellRequiredKeys() {
        QFETCH(QByteArray, json);
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decodeJson<Cell>(json));
    }

    void optionalKeysAbsentOrNullAndUnknownKeysIgnored() {
        const auto plain = decode<Cell>(R"({"r":2,"c":3,"raw":"=A1","display":"4","extra":{"x":[1]}})");
        QCOMPARE(plain, (Cell{2, 3, "=A1", "4", std::nullopt, std::nullopt}));
        const auto nulls = decode<Cell>(R"({"r":2,"c":3,"raw":"x","display":"x","n":null,"f":null})");
        QVERIFY(!nulls.n && !nulls.f);
        const auto full = decode<Cell>(R"({"r":2,"c":3,"raw":"1","display":"1.00","n":true,"f":"k1"})");
        QCOMPARE(full.n, std::optional<bool>(true));
        QCOMPARE(full.f, std::optional<QString>("k1"));
    }

    void gridResponseVersionIsExactAndRequired() {
        const auto top = decode<GridResponse>(R"({"version":18446744073709551615})");
        QCOMPARE(top.version, std::numeric_limits<quint64>::max());
        const auto big = decode<GridResponse>(R"({"version":9007199254740993})"); // 2^53 + 1
        QCOMPARE(big.version, quint64(9007199254740993ULL));
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode<GridResponse>(R"({"cells":[]})"));
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode<GridResponse>(R"({"version":-1})"));
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError,
                                 decode<GridResponse>(R"({"version":18446744073709551616})"));
    }

    void gridResponseWhole() {
        const auto response = decode<GridResponse>(
            R"({"version":7,"rows":2,"cols":2,)"
            R"("cells":[{"r":0,"c":0,"raw":"x","display":"x","f":"s"}],)"
            R"("formats":{"s":{"b":true,"fx":"ffeecc","fh":120.5,"fc":0.1,"a":"right"}},)"
            R"("sizes":{"cols":{"0":120,"3":80.5},"rows":null},)"
            R"("resync":false,"stamps":3})");
        QCOMPARE(response.version, quint64(7));
        QCOMPARE(response.cells->size(), 1);
        const CellStyle style = response.formats->value(QStringLiteral("s"));
        QCOMPARE(style.b, std::optional<bool>(true));
        QCOMPARE(style.fx, std::optional<QString>("ffeecc"));
        QCOMPARE(style.fh, std::optional<double>(120.5));
        QVERIFY(!style.i && !style.k);
        QCOMPARE(response.sizes->cols->value(QStringLiteral("3")), 80.5);
        QVERIFY(!response.sizes->rows);
        QCOMPARE(response.stamps, std::optional<qint64>(3));
        // One bad cell fails the whole response.
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError,
                                 decode<GridResponse>(R"({"version":1,"cells":[{"r":0,"c":0,"raw":"x"}]})"));
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError,
                                 decode<GridResponse>(R"({"version":1,"sizes":{"cols":{"0":"wide"}}})"));
    }

    void pageAndList() {
        QCOMPARE(decode<SheetList>("{}").Sheets, std::nullopt);
        const auto list = decode<SheetList>(
            R"({"Sheets":[{"ID":12,"Title":"Budget","TabID":3,"TabName":"Sheet1",)"
            R"("Preview":{"Rows":12,"Cols":8,"Empty":false,"Cells":[{"R":0,"C":1,"Fill":"fff","Bold":true}]}}]})");
        QCOMPARE(list.Sheets->size(), 1);
        QCOMPARE(list.Sheets->first().Preview->Cells->first().Bold, true);

        const char *page =
            R"({"Sheet":{"ID":12,"Title":"Budget","TabID":3,"TabName":"Sheet1"},)"
            R"("Rows":100,"Cols":26,"Truncated":false,"MayWrite":true,"MayComment":true,"MayShare":false,)"
            R"("FillSwatches":[{"Name":"yellow","Label":"Yellow"}],"InkSwatches":[],)"
            R"("NumberFormats":[{"Code":"0.00","Label":"Two decimals"}],"Warned":["B2"]})";
        const auto decoded = decode<SheetPage>(page);
        QCOMPARE(decoded.Sheet.TabID, quint64(3));
        QCOMPARE(decoded.FillSwatches.first().Label, QStringLiteral("Yellow"));
        QCOMPARE(decoded.Warned, std::optional<QList<QString>>(QList<QString>{"B2"}));
        // A required array may be empty but not absent.
        QByteArray withoutInk(page);
        withoutInk.replace(R"("InkSwatches":[],)", "");
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decodeJson<SheetPage>(withoutInk));
    }

    void tableHistoryNotice() {
        const auto table =
            decode<TablePage>(R"({"View":{"sortCol":1,"sortDesc":true,"filterCol":-1,)"
                              R"("filterOp":"contains","filterVal":""},"HasNext":true,"HasPrev":false})");
        QCOMPARE(table.View.sortCol, qint64(1));
        QVERIFY(!table.Rows);
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode<ViewSpec>(R"({"sortCol":1,"sortDesc":true})"));
        const auto history =
            decode<HistoryPage>(R"({"Entries":[{"ID":18446744073709551615,"Ref":"A1","Who":"a",)"
                                R"("Old":"","New":"1","When":"now"}]})");
        QCOMPARE(history.Entries->first().ID, std::numeric_limits<quint64>::max());
        QCOMPARE(decode<Notice>(R"({"notice":"saved","message":"Saved"})").message, QStringLiteral("Saved"));
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode<Notice>(R"({"notice":"saved"})"));
    }

    void encodingLeavesAbsentOptionalsOut() {
        QCOMPARE(CellWrite({1, 2, "x", std::nullopt, std::nullopt}).encode().dump(),
                 std::string(R"({"c":2,"r":1,"raw":"x"})"));
        const auto moved = CellWrite{1, 2, "=A1", 0, 0}.encode();
        QCOMPARE(moved.at("fromR").get<qint64>(), qint64(0));
        QCOMPARE(moved.at("fromC").get<qint64>(), qint64(0));
        // Encoding then decoding gives the same record, text and all.
        const CellWrite write{4, 5, QStringLiteral("naïve \"quote\" \t 😀"), 1, 2};
        QCOMPARE(decodeJson<CellWrite>(QByteArray::fromStdString(write.encode().dump())), write);
        const ViewSpec view{2, true, 3, QStringLiteral("gt"), QStringLiteral("10")};
        QCOMPARE(decodeJson<ViewSpec>(QByteArray::fromStdString(view.encode().dump())), view);
    }
};

QTEST_GUILESS_MAIN(TestSheetWire)
#include "tst_SheetWire.moc"
