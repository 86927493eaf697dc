#pragma once

#include "sheet/SheetWire.h"

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QStaticText>

#include <optional>

class QPainter;

// One cell's text laid out with its font, alignment and colours: prepared once, drawn many times.
struct SheetCellLook {
    QStaticText text;
    QFont font;
    Qt::Alignment alignment = Qt::AlignLeft;
    QColor ink;
    std::optional<QColor> fill;
    QSizeF textSize;
};

// Draws one cell (fill, then its one line of text) into a rectangle, the same way in the grid,
// the table view and thumbnails.
class SheetCellPainter {
public:
    static constexpr qreal padding = 5;
    static constexpr int fontPixelSize = 13;
    // Longer texts are cut before layout: no column is wide enough to show more, and laying out
    // kilobytes of text on every repaint would make scrolling crawl.
    static constexpr qsizetype maximumShownCharacters = 1024;

    // The cell font at 13 pixels, bold and italic as asked.
    static QFont font(bool bold, bool italic);
    // "center" centres, "right" trails, any other value leads; without a value numbers trail.
    static Qt::Alignment alignment(const Cell *cell, const CellStyle *style);
    // The look of `cell` (absent for an empty cell) with `style` (absent for none). `label` is the
    // ink used when the style names none.
    static SheetCellLook look(const Cell *cell, const CellStyle *style, bool dark, const QColor &label);
    // Text as shown on one line: line breaks and tabs become blanks, long texts are cut.
    static QString shownText(const QString &display);

    static void paint(QPainter &painter, const QRectF &rect, const SheetCellLook &look);
    static void paint(QPainter &painter, const QRectF &rect, const Cell *cell, const CellStyle *style,
                      bool dark, const QColor &label);
};
