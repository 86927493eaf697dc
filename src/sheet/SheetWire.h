#pragma once

#include "connection/JsonReader.h"
#include "sheet/Coordinate.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>

#include <nlohmann/json_fwd.hpp>

#include <optional>

// The JSON records of the sheet API. Grid records use short lower-case keys, page-level records
// capitalised ones. Each `decode` is strict (see JsonObject); each `encode` leaves absent optional
// fields out.

struct Cell {
    qint64 r = 0;
    qint64 c = 0;
    QString raw;     // what the user typed: a value or a formula
    QString display; // what the grid shows, computed by the server
    std::optional<bool> n;    // holds a number
    std::optional<QString> f; // format key into the styles

    bool operator==(const Cell &) const = default;
    Coordinate coordinate() const { return {r, c}; }
    static Cell decode(const JsonObject &object);
    nlohmann::json encode() const;
};

struct CellStyle {
    std::optional<bool> b;
    std::optional<bool> i;
    std::optional<QString> a;  // "center", "right"; anything else means leading
    std::optional<QString> n;  // number-format code
    std::optional<QString> fx; // fill colour as hex; wins over fh/fc
    std::optional<QString> k;  // ink colour as hex; wins over kh/kc
    std::optional<double> fh;
    std::optional<double> fc;
    std::optional<double> kh;
    std::optional<double> kc;
    std::optional<bool> lc; // imported colours of low contrast

    bool operator==(const CellStyle &) const = default;
    static CellStyle decode(const JsonObject &object);
};

// Row heights and column widths that differ from the defaults, keyed by the index in decimal.
struct Sizes {
    std::optional<QMap<QString, double>> cols;
    std::optional<QMap<QString, double>> rows;

    bool operator==(const Sizes &) const = default;
    static Sizes decode(const JsonObject &object);
};

using StyleMap = QHash<QString, CellStyle>;

// Styles by format key, as a grid response's "formats" object holds them.
QMap<QString, CellStyle> decodeFormats(const JsonObject &formats);

struct GridResponse {
    quint64 version = 0;
    std::optional<qint64> rows;
    std::optional<qint64> cols;
    std::optional<QList<Cell>> cells;
    std::optional<QMap<QString, CellStyle>> formats;
    std::optional<Sizes> sizes;
    std::optional<bool> resync;
    std::optional<qint64> stamps;

    bool operator==(const GridResponse &) const = default;
    static GridResponse decode(const JsonObject &object);
};

struct SheetPreviewCell {
    qint64 R = 0;
    qint64 C = 0;
    QString Fill;
    bool Bold = false;

    bool operator==(const SheetPreviewCell &) const = default;
    static SheetPreviewCell decode(const JsonObject &object);
};

struct SheetPreview {
    qint64 Rows = 0;
    qint64 Cols = 0;
    bool Empty = true;
    std::optional<QList<SheetPreviewCell>> Cells;

    bool operator==(const SheetPreview &) const = default;
    static SheetPreview decode(const JsonObject &object);
};

struct SheetSummary {
    quint64 ID = 0;
    QString Title;
    quint64 TabID = 0;
    QString TabName;
    std::optional<SheetPreview> Preview;

    bool operator==(const SheetSummary &) const = default;
    static SheetSummary decode(const JsonObject &object);
};

struct SheetList {
    std::optional<QList<SheetSummary>> Sheets;

    static SheetList decode(const JsonObject &object);
};

struct PaletteItem {
    QString Name;
    QString Label;

    bool operator==(const PaletteItem &) const = default;
    static PaletteItem decode(const JsonObject &object);
};

struct NumberStyle {
    QString Code;
    QString Label;

    bool operator==(const NumberStyle &) const = default;
    static NumberStyle decode(const JsonObject &object);
};

struct SheetPage {
    SheetSummary Sheet;
    qint64 Rows = 0;
    qint64 Cols = 0;
    bool Truncated = false;
    bool MayWrite = false;
    bool MayComment = false;
    bool MayShare = false;
    QList<PaletteItem> FillSwatches;
    QList<PaletteItem> InkSwatches;
    QList<NumberStyle> NumberFormats;
    std::optional<QList<QString>> Warned;

    bool operator==(const SheetPage &) const = default;
    static SheetPage decode(const JsonObject &object);
};

struct CellWrite {
    qint64 r = 0;
    qint64 c = 0;
    QString raw;
    std::optional<qint64> fromR;
    std::optional<qint64> fromC;

    bool operator==(const CellWrite &) const = default;
    static CellWrite decode(const JsonObject &object);
    nlohmann::json encode() const;
};

struct ViewSpec {
    qint64 sortCol = -1;
    bool sortDesc = false;
    qint64 filterCol = -1;
    QString filterOp = QStringLiteral("contains");
    QString filterVal;

    bool operator==(const ViewSpec &) const = default;
    static ViewSpec decode(const JsonObject &object);
    nlohmann::json encode() const;
};

struct TableCell {
    qint64 R = 0;
    qint64 C = 0;
    QString Raw;
    QString Display;

    bool operator==(const TableCell &) const = default;
    static TableCell decode(const JsonObject &object);
};

struct TableRow {
    qint64 Number = 0;
    QList<TableCell> Cells;

    bool operator==(const TableRow &) const = default;
    static TableRow decode(const JsonObject &object);
};

struct TablePage {
    ViewSpec View;
    std::optional<QList<TableRow>> Rows;
    bool HasNext = false;
    bool HasPrev = false;

    bool operator==(const TablePage &) const = default;
    static TablePage decode(const JsonObject &object);
};

struct HistoryEntry {
    quint64 ID = 0;
    QString Ref;
    QString Who;
    QString Old;
    QString New;
    QString When;

    bool operator==(const HistoryEntry &) const = default;
    static HistoryEntry decode(const JsonObject &object);
};

struct HistoryPage {
    std::optional<QList<HistoryEntry>> Entries;

    static HistoryPage decode(const JsonObject &object);
};

struct Notice {
    QString notice;  // short code naming what happened
    QString message; // the sentence shown to the user

    bool operator==(const Notice &) const = default;
    static Notice decode(const JsonObject &object);
};

// Decodes every element of a JSON array with `T::decode`.
template<typename T>
QList<T> decodeList(simdjson::dom::array array) {
    QList<T> result;
    result.reserve(static_cast<qsizetype>(array.size()));
    for (simdjson::dom::element element : array)
        result.append(T::decode(JsonObject(element)));
    return result;
}

template<typename T>
std::optional<QList<T>> decodeOptionalList(const std::optional<simdjson::dom::array> &array) {
    if (!array)
        return std::nullopt;
    return decodeList<T>(*array);
}
