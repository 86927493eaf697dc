#pragma once

#include "sheet/SheetWire.h"

#include <QColor>
#include <QWidget>

#include <optional>

class QPainter;

// A miniature of a sheet's top-left corner for the Home cards: a rounded frame, the fill of each
// previewed cell and a bar where a cell holds something, darker when bold. No text at all, and
// hidden from screen readers: the card around it names the sheet.
class SheetThumbnail : public QWidget {
    Q_OBJECT

public:
    static constexpr qint64 maximumRows = 12;
    static constexpr qint64 maximumCols = 8;
    static constexpr qsizetype maximumCells = 96;

    // The colours it draws with, taken from the palette by default.
    struct Colors {
        QColor primary;
        QColor secondary;
        QColor accent;
        static Colors from(const QPalette &palette);
    };

    SheetThumbnail(std::optional<SheetPreview> preview, QSize size, QWidget *parent = nullptr);

    const std::optional<SheetPreview> &preview() const { return m_preview; }
    void setPreview(std::optional<SheetPreview> preview);

    // Draws `preview` into (0, 0, size); the widget paints with this, tests paint into images.
    static void paint(QPainter &painter, QSizeF size, const std::optional<SheetPreview> &preview,
                      const Colors &colors);
    // The fill of a previewed cell: the "#rrggbb" colour, or the accent at 0.15 for any other text.
    static QColor fillColor(const QString &fill, const QColor &accent);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::optional<SheetPreview> m_preview;
};
