// Painting the grid of a dense 500 x 200 sheet (text, numbers, styles, fills) at 1920 x 1080 while
// scrolling through all of it, three rows per frame, band after band of columns. Measured in the
// same run:
//   floor: the same frames drawn with QPainter from layouts prepared in advance (the same fills,
//          texts and grid lines, no model lookups, no widget machinery);
//   grid:  SheetGrid's own paint of each frame, through QWidget::render.
// Prints median and p99 per frame for both, the ratio of the medians (goal: at most 1.5), whether
// p99 meets 8 ms, and the resident memory an editor adds to the loaded model (goal: at most 40 MB).
//
// `grid_paint_bench --screenshot DIR` instead writes light.png and dark.png of a whole editor, and
// `grid_paint_bench --show SECONDS` shows one on the desktop for that long.

#include "FakeTransport.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "editor/SheetEditor.h"
#include "editor/SheetGrid.h"
#include "sheet/SheetModel.h"
#include "sheet/views/SheetCellPainter.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <QUrlQuery>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

namespace {
constexpr int rows = 500, cols = 200;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

double residentMegabytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

json styles() {
    return {{"bold", {{"b", true}}},
            {"italic", {{"i", true}, {"a", "center"}}},
            {"fill", {{"fh", 140}, {"fc", 0.08}}},
            {"hexfill", {{"fx", "#ffe8b0"}, {"k", "#803000"}}},
            {"ink", {{"kh", 260}, {"kc", 0.15}, {"b", true}}},
            {"right", {{"a", "right"}, {"fh", 30}, {"fc", 0.05}}}};
}

json cell(int r, int c, std::mt19937 &random) {
    static const char *words[] = {"Revenue", "Cost of goods", "North region", "Q3 forecast",
                                  "Total",   "Straße",        "Überblick",    "Net margin after tax",
                                  "ok",      "pending review"};
    static const char *keys[] = {"bold", "italic", "fill", "hexfill", "ink", "right"};
    json out = {{"r", r}, {"c", c}};
    const unsigned kind = random() % 4;
    if (kind < 2) {
        const std::string number = std::to_string(random() % 100000) + "." + std::to_string(random() % 100);
        out["raw"] = number;
        out["display"] = number;
        out["n"] = true;
    } else {
        std::string text = words[random() % 10];
        if (kind == 3)
            text += " " + std::string(words[random() % 10]) + " " + std::to_string(r * cols + c);
        out["raw"] = text;
        out["display"] = text;
    }
    if (random() % 4 == 0)
        out["f"] = keys[random() % 6];
    return out;
}

// Serves the page and every tile of a dense sheet from memory.
void serveDenseSheet(FakeTransport &transport) {
    transport.setHandler([](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
        if (request.path == QStringLiteral("/sheets/1")) {
            co_return NativeResponse(fixtures::pageJson(1, 1, rows, cols), 200, {});
        }
        const QUrlQuery query(request.path.section(u'?', 1));
        const int firstRow = query.queryItemValue(QStringLiteral("firstRow")).toInt();
        const int firstCol = query.queryItemValue(QStringLiteral("firstCol")).toInt();
        const int height = query.queryItemValue(QStringLiteral("rows")).toInt();
        const int width = query.queryItemValue(QStringLiteral("cols")).toInt();
        std::mt19937 random(unsigned(firstRow * 1000 + firstCol));
        json cells = json::array();
        for (int r = firstRow; r < firstRow + height; ++r)
            for (int c = firstCol; c < firstCol + width; ++c)
                cells.push_back(cell(r, c, random));
        const json grid = {
            {"version", 1}, {"rows", rows}, {"cols", cols}, {"cells", cells}, {"formats", styles()}};
        co_return NativeResponse(QByteArray::fromStdString(grid.dump()), 200, {});
    });
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

// One frame as the floor draws it: cell rectangles with their prepared looks, and the grid lines.
struct Frame {
    std::vector<std::pair<QRectF, SheetCellLook>> cells;
    std::vector<QLineF> lines;
};

Frame prepare(const SheetGrid &grid, const SheetModel &model, QSize size) {
    Frame frame;
    const SheetGridGeometry &geometry = grid.cellGeometry();
    const QPoint offset = grid.scrollOffset();
    const qint64 c0 = geometry.columnAt(offset.x()), c1 = geometry.columnAt(offset.x() + size.width());
    const qint64 r0 = geometry.rowAt(offset.y()), r1 = geometry.rowAt(offset.y() + size.height());
    const QColor label = grid.palette().color(QPalette::Text);
    for (qint64 r = r0; r <= r1; ++r) {
        for (qint64 c = c0; c <= c1; ++c) {
            const Cell *found = model.cells().find({r, c});
            if (!found)
                continue;
            const QRectF rect(geometry.columnStart(c) - offset.x(), geometry.rowStart(r) - offset.y(),
                              geometry.width(c), geometry.height(r));
            frame.cells.emplace_back(rect,
                                     SheetCellPainter::look(found, model.styleOf({r, c}), false, label));
        }
    }
    for (qint64 c = c0; c <= c1; ++c) {
        const double x = geometry.columnStart(c) + geometry.width(c) - offset.x() - 0.5;
        frame.lines.emplace_back(x, 0, x, size.height());
    }
    for (qint64 r = r0; r <= r1; ++r) {
        const double y = geometry.rowStart(r) + geometry.height(r) - offset.y() - 0.5;
        frame.lines.emplace_back(0, y, size.width(), y);
    }
    return frame;
}

double drawFloor(QImage &image, const Frame &frame, const QColor &base, const QColor &line) {
    const auto start = Clock::now();
    QPainter painter(&image);
    painter.fillRect(image.rect(), base);
    for (const auto &[rect, look] : frame.cells)
        SheetCellPainter::paint(painter, rect, look);
    painter.setPen(QPen(line, 0));
    painter.drawLines(frame.lines.data(), int(frame.lines.size()));
    painter.end();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void screenshots(SheetEditor &editor, const QString &directory) {
    editor.model()->select({2, 1});
    editor.model()->extendSelection({6, 3});
    editor.grab().save(directory + QStringLiteral("/light.png"));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(40, 40, 42));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(28, 28, 30));
    dark.setColor(QPalette::Text, QColor(235, 235, 235));
    dark.setColor(QPalette::Button, QColor(50, 50, 52));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    dark.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    dark.setColor(QPalette::Highlight, QColor(10, 132, 255));
    editor.setPalette(dark);
    editor.grab().save(directory + QStringLiteral("/dark.png"));
}
} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    auto transport = std::make_shared<FakeTransport>();
    serveDenseSheet(*transport);
    auto model = SheetModel::make(transport);
    runTask(model->open(SheetSummary{1, QStringLiteral("Bench"), 1, QStringLiteral("Sheet1"), {}}),
            std::chrono::minutes(2));
    if (model->cells().size() != rows * cols) {
        std::fprintf(stderr, "loaded %lld cells, expected %d\n", qint64(model->cells().size()), rows * cols);
        return 1;
    }
    QCoreApplication::processEvents();
    const double modelResident = residentMegabytes();

    auto editor = std::make_unique<SheetEditor>(model);
    if (argc == 3 && QByteArray(argv[1]) == "--screenshot") {
        editor->resize(1100, 560);
        editor->show();
        QCoreApplication::processEvents();
        screenshots(*editor, QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    if (argc == 3 && QByteArray(argv[1]) == "--show") {
        editor->resize(1100, 560);
        editor->model()->select({2, 1});
        editor->model()->extendSelection({6, 3});
        editor->show();
        QTimer::singleShot(std::chrono::seconds(QByteArray(argv[2]).toInt()), &app, &QApplication::quit);
        return app.exec();
    }
    editor->resize(1920, 1080 + 120);
    editor->show();
    QCoreApplication::processEvents();
    SheetGrid *grid = editor->grid();
    QWidget *viewport = grid->viewport();
    const QSize size = viewport->size();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    const QColor base = grid->palette().color(QPalette::Base);
    const QColor line = SheetGrid::lineColor(grid->palette());

    std::vector<double> gridTimes, floorTimes;
    const int rowStep = 3 * 32;
    for (int x = 0; x <= grid->horizontalScrollBar()->maximum(); x += size.width()) {
        grid->horizontalScrollBar()->setValue(x);
        for (int y = 0; y <= grid->verticalScrollBar()->maximum(); y += rowStep) {
            grid->verticalScrollBar()->setValue(y);
            const Frame frame = prepare(*grid, *model, size);
            floorTimes.push_back(drawFloor(image, frame, base, line));
            const auto start = Clock::now();
            viewport->render(&image);
            gridTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    QCoreApplication::processEvents();
    const double editorResident = residentMegabytes();

    const double gridMedian = percentile(gridTimes, 0.5), floorMedian = percentile(floorTimes, 0.5);
    const double gridP99 = percentile(gridTimes, 0.99);
    std::printf("frames: %zu at %dx%d, %d x %d cells\n", gridTimes.size(), size.width(), size.height(), rows,
                cols);
    std::printf("floor: median %.3f ms, p99 %.3f ms\n", floorMedian, percentile(floorTimes, 0.99));
    std::printf("grid:  median %.3f ms, p99 %.3f ms (goal p99 <= 8 ms: %s)\n", gridMedian, gridP99,
                gridP99 <= 8 ? "met" : "missed");
    std::printf("ratio grid / floor (medians): %.2f (goal <= 1.5: %s)\n", gridMedian / floorMedian,
                gridMedian / floorMedian <= 1.5 ? "met" : "missed");
    std::printf("resident: model %.1f MB, editor adds %.1f MB (goal <= 40 MB: %s)\n", modelResident,
                editorResident - modelResident, editorResident - modelResident <= 40 ? "met" : "missed");
    return 0;
}
