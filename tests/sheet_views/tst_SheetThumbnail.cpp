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
    void onlyTheFrameOutsideTheBounds_data() {
        QTest::addColumn<std::optional<SheetPreview>>("shown");
        QTest::addColumn<bool>("cellsDrawn");
        const QList<SheetPreviewCell> one{cell(0, 0, "#ff0000")};
        QTest::newRow("empty sheet") << std::optional(preview(12, 8, one, true)) << false;
        QTest::newRow("13 rows") << std::optional(preview(13, 8, one)) << false;
        QTest::newRow("9 columns") << std::optional(preview(12, 9, one)) << false;
        QTest::newRow("no rows") << std::optional(preview(0, 8, one)) << false;
        QTest::newRow("cell outside the rows")
            << std::optional(preview(12, 8, {cell(12, 0, "#ff0000")})) << false;
        QTest::newRow("cell outside the columns")
            << std::optional(preview(12, 8, {cell(0, -1, "#ff0000")})) << false;
        QTest::newRow("12 x 8 draws") << std::optional(preview(12, 8, one)) << true;
    }
    void onlyTheFrameOutsideTheBounds() {
        QFETCH(std::optional<SheetPreview>, shown);
        QFETCH(bool, cellsDrawn);
        const QImage frame = render(std::nullopt);
        QVERIFY(qAlpha(frame.pixel(0, H / 2)) > 0); // the frame's stroke
        QCOMPARE(render(shown) != frame, cellsDrawn);
    }

    void fillColours_data() {
        QTest::addColumn<QString>("fill");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("hex") << "#ff0000" << QColor(255, 0, 0);
        QTest::newRow("upper-case hex") << "#00FF00" << QColor(0, 255, 0);
        QTest::newRow("short hex") << "#f00" << QColor(0, 0, 255, 38);
        QTest::newRow("not hex digits") << "#gg0000" << QColor(0, 0, 255, 38);
        QTest::newRow("no hash") << "1ff0000" << QColor(0, 0, 255, 38);
    }
    void fillColours() {
        QFETCH(QString, fill);
        QFETCH(QColor, expected);
        QCOMPARE(SheetThumbnail::fillColor(fill, colors.accent).rgba(), expected.rgba());
        const QByteArray text = fill.toUtf8();
        const QImage image = render(preview(12, 8, {cell(2, 3, text.constData())}));
        const QColor drawn = image.pixelColor(fillPoint(2, 3));
        const int base = qAlpha(render(std::nullopt).pixel(fillPoint(2, 3)));
        QVERIFY(base > 0);
        QVERIFY(qAbs(drawn.alpha() - over(expected.alpha(), base)) <= 1);
        QCOMPARE(drawn.toRgb().red() > 200, expected.red() > 200);
        QCOMPARE(drawn.toRgb().blue() > 200, expected.blue() > 200);
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
