// Loading a 500 x 200 sheet (100,000 cells in 80 tiles) from a loopback server whose tile bodies are
// prepared in advance. Measured in the same run:
//   floor:   the same 80 requests through the same HTTP stack, bodies read and thrown away;
//   refresh: SheetModel::refresh end to end (requests, decoding, merging, replacing the grid).
// Each is the best of 30 runs. Prints both times, the ratio refresh / floor (goal: at most 1.5), the
// decode throughput and the resident memory growth for the loaded sheet (goal: at most 60 MB).

#include "LoopbackExchange.h"
#include "LoopbackHttpServer.h"
#include "TaskRunner.h"

#include "connection/NativeHTTP.h"
#include "sheet/SheetModel.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QThreadPool>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <random>

namespace {
constexpr int rows = 500, cols = 200;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double residentMegabytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

QByteArray pageBody() {
    const nlohmann::json page = {{"Sheet", {{"ID", 1}, {"Title", "Bench"}, {"TabID", 1}, {"TabName", "Sheet1"}}},
                                 {"Rows", rows},
                                 {"Cols", cols},
                                 {"Truncated", false},
                                 {"MayWrite", true},
                                 {"MayComment", true},
                                 {"MayShare", true},
                                 {"FillSwatches", nlohmann::json::array()},
                                 {"InkSwatches", nlohmann::json::array()},
                                 {"NumberFormats", nlohmann::json::array()}};
    return QByteArray::fromStdString(page.dump());
}

// One tile like the server's: numbers, words and formulas, a fifth of the cells styled.
QByteArray tileBody(int firstRow, int firstCol, int height, int width, std::mt19937 &random) {
    static const char *words[] = {"Revenue", "Cost of goods", "North region", "Q3 forecast", "Total",
                                  "Straße", "Überblick", "Net margin after tax", "ok", "pending review"};
    nlohmann::json cells = nlohmann::json::array();
    for (int r = firstRow; r < firstRow + height; ++r) {
        for (int c = firstCol; c < firstCol + width; ++c) {
            nlohmann::json cell = {{"r", r}, {"c", c}};
            switch (random() % 3) {
            case 0: {
                const std::string number = QStringLiteral("%1.%2").arg(random() % 100000).arg(random() % 100).toStdString();
                cell["raw"] = number;
                cell["display"] = number;
                cell["n"] = true;
                break;
            }
            case 1:
                cell["raw"] = words[random() % 10];
                cell["display"] = cell["raw"];
                break;
            default:
                cell["raw"] = QStringLiteral("=SUM(A%1:C%1)").arg(r + 1).toStdString();
                cell["display"] = std::to_string(random() % 1000000);
                cell["n"] = true;
            }
            if (random() % 5 == 0)
                cell["f"] = QStringLiteral("s%1").arg(random() % 4).toStdString();
            cells.push_back(std::move(cell));
        }
    }
    const nlohmann::json formats = {{"s0", {{"b", true}}},
                                    {"s1", {{"i", true}, {"a", "right"}}},
                                    {"s2", {{"fh", 120.0}, {"fc", 0.1}}},
                                    {"s3", {{"n", "#,##0.00"}}}};
    const nlohmann::json tile = {{"version", 42},  {"rows", height},     {"cols", width},
                                 {"cells", cells}, {"formats", formats}, {"sizes", {{"cols", {{"0", 120.0}}}}}};
    return QByteArray::fromStdString(tile.dump());
}

template<typename F>
double best(int rounds, F &&run) {
    double result = 1e9;
    for (int i = 0; i < rounds; ++i)
        result = std::min(result, run());
    return result;
}
} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);

    QHash<QByteArray, QByteArray> bodies;
    QList<QByteArray> tilePaths;
    std::mt19937 random(7);
    qint64 tileBytes = 0;
    for (int r = 0; r < rows; r += 25) {
        for (int c = 0; c < cols; c += 50) {
            const QByteArray path = QStringLiteral("/api/sheets/1/tabs/1/cells?firstRow=%1&firstCol=%2&rows=%3&cols=%4")
                                        .arg(r).arg(c).arg(std::min(25, rows - r)).arg(std::min(50, cols - c))
                                        .toUtf8();
            bodies.insert(path, tileBody(r, c, std::min(25, rows - r), std::min(50, cols - c), random));
            tilePaths.append(path);
            tileBytes += bodies.value(path).size();
        }
    }
    bodies.insert("/sheets/1", pageBody());

    LoopbackHttpServer server;
    server.setHandler([&bodies](LoopbackExchange &exchange) {
        exchange.respond(200, bodies.value(exchange.request().target), {{"Content-Type", "application/json"}});
    });
    auto client = NativeHTTP::create(server.origin(), NativeSession{"larkspan_session", "bench"});

    const double floor = best(30, [&] {
        const auto start = Clock::now();
        for (const QByteArray &path : tilePaths)
            runTask(client->responseDetails(QString::fromUtf8(path), "GET", std::nullopt, "application/json",
                                            SheetModel::gridMaxBytes, {}));
        return seconds(start);
    });

    const double decode = best(5, [&] {
        const auto start = Clock::now();
        for (const QByteArray &path : tilePaths)
            (void)decodeJson<GridResponse>(bodies.value(path));
        return seconds(start);
    });

    const double rssBefore = residentMegabytes();
    auto model = SheetModel::make(client);
    runTask(model->open(SheetSummary{1, "Bench", 1, "Sheet1", std::nullopt}));
    const double rssLoaded = residentMegabytes();
    if (model->cells().size() != rows * cols || !model->error().isEmpty()) {
        std::fprintf(stderr, "the sheet did not load: %lld cells, error '%s'\n",
                     static_cast<long long>(model->cells().size()), qPrintable(model->error()));
        return 1;
    }

    const double refresh = best(30, [&] {
        // The previous reload frees its old grid on a worker after it has finished; that belongs
        // to it, so let it end before timing the next one.
        QThreadPool::globalInstance()->waitForDone();
        const auto start = Clock::now();
        runTask(model->refresh());
        return seconds(start);
    });

    std::printf("tiles: %lld requests, %.1f MB of JSON, %d cells\n", static_cast<long long>(tilePaths.size()),
                double(tileBytes) / 1e6, rows * cols);
    std::printf("floor (requests only):   %8.1f ms\n", floor * 1e3);
    std::printf("SheetModel::refresh:     %8.1f ms\n", refresh * 1e3);
    std::printf("ratio refresh / floor:   %8.2f   (goal <= 1.5)\n", refresh / floor);
    std::printf("decode throughput:       %8.1f MB/s (GridResponse, one thread)\n", double(tileBytes) / 1e6 / decode);
    std::printf("resident memory growth:  %8.1f MB   (goal <= 60) for the loaded sheet\n", rssLoaded - rssBefore);
    return 0;
}
