// Copying a 500 x 200 selection (100,000 cells) to clipboard text, and pasting 500 cells. Measured
// in the same run:
//   floor: joining the same cell texts with tabs and line feeds into one string;
//   copy:  SheetModel::copy of the whole selection onto an in-memory clipboard;
//   paste: SheetModel::paste of a 50 x 10 block through a transport that answers at once.
// Each is the best of 15 runs. Prints the times, the copy / floor ratio (goals: copy under 100 ms,
// ratio at most 2) and the requests one paste makes (goal: one round trip).

#include "FakeTransport.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "sheet/SheetModel.h"

#include <QGuiApplication>
#include <QUrlQuery>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {
constexpr int rows = 500, cols = 200;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

class MemoryClipboard final : public SheetClipboard {
public:
    std::optional<QString> text() const override { return m_text; }
    void setText(const QString &text) override { m_text = text; }

private:
    std::optional<QString> m_text;
};

std::string textAt(int r, int c) {
    if ((r + c) % 3 == 0)
        return std::to_string(r * cols + c);
    if ((r + c) % 3 == 1)
        return "item " + std::to_string(r) + "/" + std::to_string(c);
    return "=A" + std::to_string(r + 1) + "*2";
}

void serve(FakeTransport &transport, int &batches) {
    transport.setHandler([&batches](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
        if (request.path == QStringLiteral("/sheets/1")) {
            co_return NativeResponse(fixtures::pageJson(1, 1, rows, cols), 200, {});
        }
        if (request.method == QStringLiteral("POST")) {
            ++batches;
            const json body = json::parse(request.body->toStdString());
            json cells = json::array();
            for (const json &write : body.at("cells"))
                cells.push_back({{"r", write.at("r")},
                                 {"c", write.at("c")},
                                 {"raw", write.at("raw")},
                                 {"display", write.at("raw")}});
            static quint64 version = 1;
            co_return NativeResponse(
                QByteArray::fromStdString(json({{"version", ++version}, {"cells", cells}}).dump()), 200, {});
        }
        const QUrlQuery query(request.path.section(u'?', 1));
        const int firstRow = query.queryItemValue(QStringLiteral("firstRow")).toInt();
        const int firstCol = query.queryItemValue(QStringLiteral("firstCol")).toInt();
        const int height = query.queryItemValue(QStringLiteral("rows")).toInt();
        const int width = query.queryItemValue(QStringLiteral("cols")).toInt();
        json cells = json::array();
        for (int r = firstRow; r < firstRow + height; ++r)
            for (int c = firstCol; c < firstCol + width; ++c)
                cells.push_back({{"r", r}, {"c", c}, {"raw", textAt(r, c)}, {"display", textAt(r, c)}});
        co_return NativeResponse(QByteArray::fromStdString(json({{"version", 1}, {"cells", cells}}).dump()),
                                 200, {});
    });
}

template <typename F> double bestOf(int runs, F &&run) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}
} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    auto transport = std::make_shared<FakeTransport>();
    int batches = 0;
    serve(*transport, batches);
    auto clipboard = std::make_shared<MemoryClipboard>();
    auto model = SheetModel::make(transport, {.clipboard = clipboard});
    runTask(model->open(SheetSummary{1, QStringLiteral("Bench"), 1, QStringLiteral("Sheet1"), {}}),
            std::chrono::minutes(2));

    // Floor: the same texts, fetched from the model beforehand, joined into one string.
    std::vector<QString> texts;
    texts.reserve(rows * cols);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            texts.push_back(model->cells().value({r, c}).raw);
    QString joined;
    const double floor = bestOf(15, [&] {
        joined = QString();
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                if (c)
                    joined += u'\t';
                joined += texts[size_t(r * cols + c)];
            }
            joined += u'\n';
        }
    });

    model->select({0, 0});
    model->extendSelection({rows - 1, cols - 1});
    const double copy = bestOf(15, [&] { model->copy(); });
    if (clipboard->text()->size() < joined.size() - rows)
        std::fprintf(stderr, "copied text is shorter than the floor's\n");

    QString block;
    for (int r = 0; r < 50; ++r) {
        for (int c = 0; c < 10; ++c) {
            if (c)
                block += u'\t';
            block += QStringLiteral("p%1").arg(r * 10 + c);
        }
        block += u'\n';
    }
    model->select({100, 20});
    batches = 0;
    int pasteRuns = 0;
    const double paste = bestOf(15, [&] {
        clipboard->setText(block);
        runTask(model->paste());
        ++pasteRuns;
    });
    std::printf("copy of %d x %d: %.2f ms (goal < 100 ms: %s)\n", rows, cols, copy,
                copy < 100 ? "met" : "missed");
    std::printf("floor (joining the same texts): %.2f ms; ratio copy / floor %.2f (goal <= 2: %s)\n", floor,
                copy / floor, copy / floor <= 2 ? "met" : "missed");
    std::printf("paste of 500 cells: %.2f ms in %.1f round trips each (goal: 1); cells now %s\n", paste,
                double(batches) / pasteRuns, qPrintable(model->cells().value({149, 29}).raw));
    return model->error().isEmpty() ? 0 : 1;
}
