#include "sheet/views/SheetThumbnail.h"

#include <QImage>
#include <QPainter>
#include <QTest>

namespace {
const SheetThumbnail::Colors colors{Qt::black, Qt::black, QColor(0, 0, 255)};
constexpr int W = 120; // cells of 14 x 6 points in a 12 x 8 preview
constexpr int H = 80;

QImage render(const std::optional<SheetPreview> &preview) {
    QImage image(W, H, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    SheetThumbnail::paint(painter, QSizeF(W, H), preview, colors);
    return image;
}

SheetPreviewCell cell(qint64 r, qint64 c, const char *fill = "", bool bold = false) {
    return SheetPreviewCell{r, c, QString::fromUtf8(fill), bold};
}

SheetPreview preview(qint64 rows, qint64 cols, QList<SheetPreviewCell> cells, bool empty = false) {
    return SheetPreview{rows, cols, empty, std::move(cells)};
}

// The opacity of `top` drawn over the frame's faint fill, whose opacity is `base`.
int over(int top, int base) {
    return top + base * (255 - top) / 255;
}

// The middle of a cell's fill, clear of its bar, and the middle of its bar.
QPoint fillPoint(qint64 r, qint64 c, double w = 14, double h = 6) {
    return QPoint(int(4 + w * double(c) + w / 2), int(4 + h * double(r) + h * 0.15));
}
QPoint barPoint(qint64 r, qint64 c, double w = 14, double h = 6) {
    return QPoint(int(4 + w * double(c) + w / 2), int(4 + h * double(r) + h / 2));
}
} // namespace

class TestSheetThumbnail : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // An empty sheet, 13 rows, 9 columns, no rows, a cell outside the rows or the columns: only the
    // frame. A 12 x 8 sheet draws its cells.
    void onlyTheFrameOutsideTheBounds() {
        const QImage frame = render(std::nullopt);
        QVERIFY(qAlpha(frame.pixel(0, H / 2)) > 0); // the frame's stroke
        const QList<SheetPreviewCell> one{cell(0, 0, "#ff0000")};
        for (const SheetPreview &shown :
             {preview(12, 8, one, true), preview(13, 8, one), preview(12, 9, one), preview(0, 8, one),
              preview(12, 8, {cell(12, 0, "#ff0000")}), preview(12, 8, {cell(0, -1, "#ff0000")})})
            QVERIFY(render(shown) == frame);
        QVERIFY(render(preview(12, 8, one)) != frame);
    }

    // Six hex digits in either case; anything else (short, not hex, no hash) is the faint accent.
    void fillColours() {
        const QColor faint(0, 0, 255, 38);
        const int base = qAlpha(render(std::nullopt).pixel(fillPoint(2, 3)));
        QVERIFY(base > 0);
        for (const auto &[fill, expected] : {std::pair("#ff0000", QColor(255, 0, 0)),
                                             {"#00FF00", QColor(0, 255, 0)},
                                             {"#f00", faint},
                                             {"#gg0000", faint},
                                             {"1ff0000", faint}}) {
            QCOMPARE(SheetThumbnail::fillColor(QString::fromLatin1(fill), colors.accent).rgba(),
                     expected.rgba());
            const QColor drawn = render(preview(12, 8, {cell(2, 3, fill)})).pixelColor(fillPoint(2, 3));
            QVERIFY(qAbs(drawn.alpha() - over(expected.alpha(), base)) <= 1);
            QCOMPARE(drawn.toRgb().red() > 200, expected.red() > 200);
            QCOMPARE(drawn.toRgb().blue() > 200, expected.blue() > 200);
        }
    }

    void barsAndOrder() {
        // A bold bar is twice as opaque as a plain one; a cell without fill still gets its bar.
        const QImage image = render(preview(2, 2, {cell(0, 0, "", true), cell(0, 1)}));
        const int bold = qAlpha(image.pixel(barPoint(0, 0, 56, 36)));
        const int plain = qAlpha(image.pixel(barPoint(0, 1, 56, 36)));
        const int base = qAlpha(render(std::nullopt).pixel(barPoint(0, 0, 56, 36)));
        QVERIFY2(qAbs(bold - over(204, base)) <= 1, qPrintable(QString::number(bold)));
        QVERIFY2(qAbs(plain - over(102, base)) <= 1, qPrintable(QString::number(plain)));
        QCOMPARE(qAlpha(image.pixel(fillPoint(0, 1, 56, 36))), base);
        // Only the first 96 cells are drawn; a later one at the same place paints over an earlier one.
        QList<SheetPreviewCell> cells(96, cell(0, 0));
        cells.append(cell(5, 5, "#ff0000"));
        QCOMPARE(render(preview(12, 8, cells)).pixel(fillPoint(5, 5)),
                 render(std::nullopt).pixel(fillPoint(5, 5)));
        cells.removeLast();
        cells.replace(95, cell(5, 5, "#ff0000"));
        QCOMPARE(QColor(render(preview(12, 8, cells)).pixel(fillPoint(5, 5))), QColor(255, 0, 0));
        const QImage over = render(preview(12, 8, {cell(1, 1, "#ff0000"), cell(1, 1, "#00ff00")}));
        QCOMPARE(QColor(over.pixel(fillPoint(1, 1))), QColor(0, 255, 0));
    }
};

QTEST_MAIN(TestSheetThumbnail)
#include "tst_SheetThumbnail.moc"
