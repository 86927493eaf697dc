#include "sheet/SheetWire.h"

#include <nlohmann/json.hpp>

#include <array>

namespace {
std::string utf8(const QString &text) { return text.toStdString(); }

// Grids name a handful of formats across thousands of cells: cells share one string per format
// key instead of holding one each. Remembers the last few keys seen on this thread.
QString sharedFormatKey(std::string_view key) {
    struct Entry {
        std::string bytes;
        QString text;
    };
    thread_local std::array<Entry, 8> recent;
    thread_local std::size_t next = 0;
    for (const Entry &entry : recent) {
        if (!entry.text.isNull() && entry.bytes == key)
            return entry.text;
    }
    QString text = QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
    recent[next] = Entry{std::string(key), text};
    next = (next + 1) % recent.size();
    return text;
}

std::optional<QMap<QString, double>> decodeNumberMap(const std::optional<JsonObject> &object) {
    if (!object)
        return std::nullopt;
    QMap<QString, double> result;
    for (auto [key, value] : object->raw())
        result.insert(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())),
                      JsonObject::toDouble(value, key));
    return result;
}
} // namespace

Cell Cell::decode(const JsonObject &o) {
    // Grids hold up to 100,000 cells: read each cell's keys in one pass instead of a lookup per key.
    std::optional<qint64> r, c;
    std::optional<std::string_view> raw, display;
    Cell cell;
    for (auto [key, value] : o.raw()) {
        if (value.is_null())
            continue; // the same as an absent key
        if (key == "r") {
            r = JsonObject::toInt(value, key);
        } else if (key == "c") {
            c = JsonObject::toInt(value, key);
        } else if (key == "raw" || key == "display") {
            std::string_view text;
            if (value.get_string().get(text) != simdjson::SUCCESS)
                throw JsonDecodeError(std::string("JSON key \"") + std::string(key) + "\" is not a string");
            (key == "raw" ? raw : display) = text;
        } else if (key == "n") {
            bool number = false;
            if (value.get_bool().get(number) != simdjson::SUCCESS)
                throw JsonDecodeError("JSON key \"n\" is not a boolean");
            cell.n = number;
        } else if (key == "f") {
            std::string_view format;
            if (value.get_string().get(format) != simdjson::SUCCESS)
                throw JsonDecodeError("JSON key \"f\" is not a string");
            cell.f = sharedFormatKey(format);
        }
    }
    if (!r || !c || !raw || !display)
        throw JsonDecodeError("a cell lacks one of \"r\", \"c\", \"raw\", \"display\"");
    cell.r = *r;
    cell.c = *c;
    cell.raw = QString::fromUtf8(raw->data(), static_cast<qsizetype>(raw->size()));
    // Most cells show what they hold: share the text instead of decoding it twice.
    cell.display = *display == *raw ? cell.raw
                                    : QString::fromUtf8(display->data(), static_cast<qsizetype>(display->size()));
    return cell;
}

nlohmann::json Cell::encode() const {
    nlohmann::json object = {{"r", r}, {"c", c}, {"raw", utf8(raw)}, {"display", utf8(display)}};
    if (n)
        object["n"] = *n;
    if (f)
        object["f"] = utf8(*f);
    return object;
}

CellStyle CellStyle::decode(const JsonObject &o) {
    return CellStyle{o.optionalBool("b"),    o.optionalBool("i"),    o.optionalString("a"),
                     o.optionalString("n"),  o.optionalString("fx"), o.optionalString("k"),
                     o.optionalDouble("fh"), o.optionalDouble("fc"), o.optionalDouble("kh"),
                     o.optionalDouble("kc"), o.optionalBool("lc")};
}

Sizes Sizes::decode(const JsonObject &o) {
    return Sizes{decodeNumberMap(o.optionalObject("cols")), decodeNumberMap(o.optionalObject("rows"))};
}

GridResponse GridResponse::decode(const JsonObject &o) {
    GridResponse response;
    response.version = o.requiredUInt64("version");
    response.rows = o.optionalInt("rows");
    response.cols = o.optionalInt("cols");
    response.cells = decodeOptionalList<Cell>(o.optionalArray("cells"));
    if (const auto formats = o.optionalObject("formats"))
        response.formats = decodeFormats(*formats);
    if (const auto sizes = o.optionalObject("sizes"))
        response.sizes = Sizes::decode(*sizes);
    response.resync = o.optionalBool("resync");
    response.stamps = o.optionalInt("stamps");
    return response;
}

QMap<QString, CellStyle> decodeFormats(const JsonObject &formats) {
    QMap<QString, CellStyle> styles;
    for (auto [key, value] : formats.raw())
        styles.insert(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())),
                      CellStyle::decode(JsonObject(value)));
    return styles;
}

SheetPreviewCell SheetPreviewCell::decode(const JsonObject &o) {
    return SheetPreviewCell{o.requiredInt("R"), o.requiredInt("C"), o.requiredString("Fill"), o.requiredBool("Bold")};
}

SheetPreview SheetPreview::decode(const JsonObject &o) {
    return SheetPreview{o.requiredInt("Rows"), o.requiredInt("Cols"), o.requiredBool("Empty"),
                        decodeOptionalList<SheetPreviewCell>(o.optionalArray("Cells"))};
}

SheetSummary SheetSummary::decode(const JsonObject &o) {
    SheetSummary summary{o.requiredUInt64("ID"), o.requiredString("Title"), o.requiredUInt64("TabID"),
                         o.requiredString("TabName"), std::nullopt};
    if (const auto preview = o.optionalObject("Preview"))
        summary.Preview = SheetPreview::decode(*preview);
    return summary;
}

SheetList SheetList::decode(const JsonObject &o) {
    return SheetList{decodeOptionalList<SheetSummary>(o.optionalArray("Sheets"))};
}

PaletteItem PaletteItem::decode(const JsonObject &o) {
    return PaletteItem{o.requiredString("Name"), o.requiredString("Label")};
}

NumberStyle NumberStyle::decode(const JsonObject &o) {
    return NumberStyle{o.requiredString("Code"), o.requiredString("Label")};
}

SheetPage SheetPage::decode(const JsonObject &o) {
    SheetPage page;
    page.Sheet = SheetSummary::decode(o.requiredObject("Sheet"));
    page.Rows = o.requiredInt("Rows");
    page.Cols = o.requiredInt("Cols");
    page.Truncated = o.requiredBool("Truncated");
    page.MayWrite = o.requiredBool("MayWrite");
    page.MayComment = o.requiredBool("MayComment");
    page.MayShare = o.requiredBool("MayShare");
    page.FillSwatches = decodeList<PaletteItem>(o.requiredArray("FillSwatches"));
    page.InkSwatches = decodeList<PaletteItem>(o.requiredArray("InkSwatches"));
    page.NumberFormats = decodeList<NumberStyle>(o.requiredArray("NumberFormats"));
    if (const auto warned = o.optionalArray("Warned")) {
        QList<QString> names;
        for (simdjson::dom::element element : *warned)
            names.append(JsonObject::toString(element, "Warned"));
        page.Warned = std::move(names);
    }
    return page;
}

CellWrite CellWrite::decode(const JsonObject &o) {
    return CellWrite{o.requiredInt("r"), o.requiredInt("c"), o.requiredString("raw"), o.optionalInt("fromR"),
                     o.optionalInt("fromC")};
}

nlohmann::json CellWrite::encode() const {
    nlohmann::json object = {{"r", r}, {"c", c}, {"raw", utf8(raw)}};
    if (fromR)
        object["fromR"] = *fromR;
    if (fromC)
        object["fromC"] = *fromC;
    return object;
}

ViewSpec ViewSpec::decode(const JsonObject &o) {
    return ViewSpec{o.requiredInt("sortCol"), o.requiredBool("sortDesc"), o.requiredInt("filterCol"),
                    o.requiredString("filterOp"), o.requiredString("filterVal")};
}

nlohmann::json ViewSpec::encode() const {
    return {{"sortCol", sortCol},
            {"sortDesc", sortDesc},
            {"filterCol", filterCol},
            {"filterOp", utf8(filterOp)},
            {"filterVal", utf8(filterVal)}};
}

TableCell TableCell::decode(const JsonObject &o) {
    return TableCell{o.requiredInt("R"), o.requiredInt("C"), o.requiredString("Raw"), o.requiredString("Display")};
}

TableRow TableRow::decode(const JsonObject &o) {
    return TableRow{o.requiredInt("Number"), decodeList<TableCell>(o.requiredArray("Cells"))};
}

TablePage TablePage::decode(const JsonObject &o) {
    return TablePage{ViewSpec::decode(o.requiredObject("View")), decodeOptionalList<TableRow>(o.optionalArray("Rows")),
                     o.requiredBool("HasNext"), o.requiredBool("HasPrev")};
}

HistoryEntry HistoryEntry::decode(const JsonObject &o) {
    return HistoryEntry{o.requiredUInt64("ID"), o.requiredString("Ref"), o.requiredString("Who"),
                        o.requiredString("Old"),  o.requiredString("New"), o.requiredString("When")};
}

HistoryPage HistoryPage::decode(const JsonObject &o) {
    return HistoryPage{decodeOptionalList<HistoryEntry>(o.optionalArray("Entries"))};
}

Notice Notice::decode(const JsonObject &o) { return Notice{o.requiredString("notice"), o.requiredString("message")}; }
