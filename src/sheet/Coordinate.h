#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// A cell position, zero-based: row "1" of the sheet is r = 0, column "A" is c = 0.
struct Coordinate {
    qint64 r = 0;
    qint64 c = 0;

    bool operator==(const Coordinate &) const = default;

    // A1 text: bijective base-26 column letters, then the row number.
    QString ref() const;
    // A single-cell reference such as " b12 ": letters (at most 3, column at most BXX), then a row
    // number in 1...5000. Nothing for anything else.
    static std::optional<Coordinate> parse(const QString &text);
    // Column letters of a zero-based column index ("A" for 0, "AA" for 26).
    static QString columnName(qint64 c);
};

inline size_t qHash(const Coordinate &coordinate, size_t salt = 0) noexcept {
    return qHashMulti(salt, coordinate.r, coordinate.c);
}

template <> struct std::hash<Coordinate> {
    size_t operator()(const Coordinate &coordinate) const noexcept { return qHash(coordinate); }
};

// An inclusive rectangle of cells. Normalised when start is above and left of end (or equal).
struct CellRange {
    Coordinate start;
    Coordinate end;

    bool operator==(const CellRange &) const = default;

    // "A1:B5", as the selection shows it.
    QString text() const { return start.ref() + u':' + end.ref(); }
    // "B5:A1", "C3": one or two references separated by a colon; the result is normalised.
    static std::optional<CellRange> parse(const QString &text);
    // Every cell, row by row. Defined for normalised ranges only.
    QList<Coordinate> coordinates() const;
    qint64 rowCount() const { return end.r - start.r + 1; }
    qint64 columnCount() const { return end.c - start.c + 1; }
    bool contains(const Coordinate &coordinate) const {
        return coordinate.r >= start.r && coordinate.r <= end.r && coordinate.c >= start.c &&
               coordinate.c <= end.c;
    }
};
