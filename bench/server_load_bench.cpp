// Server under load: 50 writing clients and 100 live streams on 10 sheets against one tabrel-server
// for 60 seconds (or the number of seconds given as the first argument). Before the load, one writer
// alone on the same server gives the floor. Prints writes per second, write latency, events
// delivered, and checks that every confirmed write reached every stream of its sheet exactly once.
// Goals: nothing lost or delivered twice; p99 under load at most 10 times the single writer's p99.
// Last, the same clients fetch the server's small root page instead of writing, alone and then all
// together: that ratio is what the HTTP transport and this machine give before any write is made.

#include "EventStream.h"
#include "ServerProcess.h"
#include "SheetApi.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
constexpr int writers = 50;
constexpr int streams = 100;
constexpr int sheets = 10;

struct Writes {
    std::vector<double> latencyMs;
    std::vector<std::string> confirmed; // raw texts, unique per write
    std::map<std::string, int> refused; // HTTP status or transport error -> count
};

double percentile(std::vector<double> samples, double q) {
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, std::size_t(q * double(samples.size())))];
}

enum class Request { write, rootPage };

// One writer: single-cell batches to its sheet until `stop`, each text naming writer and sequence;
// or, for Request::rootPage, fetches of the root page. It keeps its connection open between
// requests, as the application's HTTP client does.
Writes write(const ServerProcess &server, const ServerSession &session, const SheetRef &sheet, int writer,
             const std::atomic<bool> &stop, Request request = Request::write) {
    Writes result;
    httplib::Client client(server.origin());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    client.set_connection_timeout(10, 0);
    client.set_read_timeout(120, 0);
    const httplib::Headers headers{{"Accept", "application/json"},
                                   {"Origin", server.origin()},
                                   {"Cookie", session.name + "=" + session.value}};
    for (int k = 0; !stop.load(std::memory_order_relaxed); ++k) {
        const std::string raw = "w" + std::to_string(writer) + "k" + std::to_string(k);
        const nlohmann::json cell = SheetApi::write((writer / sheets) * 400 + (k / 26) % 400, k % 26, raw);
        const std::string body = nlohmann::json{{"cells", nlohmann::json::array({cell})}}.dump();
        const auto start = Clock::now();
        const auto answer = request == Request::rootPage ? client.Get("/", headers)
                                                         : client.Post(sheet.tab() + "/cells/batch", headers,
                                                                       body, "application/json");
        result.latencyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (answer && answer->status == 200) {
            if (request == Request::write)
                result.confirmed.push_back(raw);
        } else
            ++result.refused[answer ? "status " + std::to_string(answer->status)
                                    : httplib::to_string(answer.error())];
    }
    return result;
}
} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int floorSeconds = std::max(3, seconds / 10);

    // Every client here is one person on one address; the server's quotas per account and per
    // address are for people, so they are raised to let one stand for a hundred and fifty.
    ServerProcess::Options options;
    options.extraArguments = {"--streams-per-account", QString::number(streams), "--connections-per-address",
                              QString::number(2 * (streams + writers))};
    ServerProcess server(options);
    if (!server.start() || !server.addUser("load@example.com", "Load", "correct horse battery")) {
        std::fprintf(stderr, "cannot start tabrel-server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const auto session = server.signIn("load@example.com", "correct horse battery");
    if (!session) {
        std::fprintf(stderr, "cannot sign in\n");
        return 1;
    }
    TestClient setup = server.client(session);
    std::vector<SheetRef> sheetRefs;
    for (int i = 0; i < sheets; ++i) {
        const auto sheet = SheetApi::create(setup);
        if (!sheet) {
            std::fprintf(stderr, "cannot create a sheet\n");
            return 1;
        }
        sheetRefs.push_back(*sheet);
    }
    std::vector<std::unique_ptr<EventStream>> watchers;
    for (int i = 0; i < streams; ++i) {
        watchers.push_back(std::make_unique<EventStream>(server.origin(), *session,
                                                         sheetRefs[i % sheets].tab() + "/stream"));
    }
    for (auto &watcher : watchers) {
        if (!watcher->waitOpen()) {
            std::fprintf(stderr, "a live stream did not open\n");
            return 1;
        }
    }

    // The floor: one writer alone, the streams open. Then all writers for `seconds`.
    std::vector<Writes> results(writers + 1);
    const auto runAlone = [&](Request request) {
        std::atomic<bool> stop = false;
        std::thread alone(
            [&] { results[writers] = write(server, *session, sheetRefs[0], writers, stop, request); });
        std::this_thread::sleep_for(std::chrono::seconds(floorSeconds));
        stop = true;
        alone.join();
    };
    const auto runAll = [&](Request request, int forSeconds) {
        std::atomic<bool> stop = false;
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        for (int w = 0; w < writers; ++w)
            threads.emplace_back(
                [&, w] { results[w] = write(server, *session, sheetRefs[w % sheets], w, stop, request); });
        std::this_thread::sleep_for(std::chrono::seconds(forSeconds));
        stop = true;
        for (auto &thread : threads)
            thread.join();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    const auto allLatency = [&] {
        std::vector<double> latency;
        for (int w = 0; w < writers; ++w)
            latency.insert(latency.end(), results[w].latencyMs.begin(), results[w].latencyMs.end());
        return latency;
    };
    runAlone(Request::write);
    const double loadSeconds = runAll(Request::write, seconds);

    // What each sheet's streams must have seen: every confirmed write to it, the floor's included.
    std::vector<std::set<std::string>> expected(sheets);
    const std::vector<double> loadLatency = allLatency();
    const std::vector<double> floorLatency = results[writers].latencyMs;
    std::map<std::string, int> refused;
    for (int w = 0; w <= writers; ++w) {
        const int sheet = w == writers ? 0 : w % sheets;
        expected[sheet].insert(results[w].confirmed.begin(), results[w].confirmed.end());
        for (const auto &[status, count] : results[w].refused)
            refused[status] += count;
    }
    const std::size_t loadWrites = loadLatency.size();

    std::size_t delivered = 0, lost = 0, twice = 0, resyncs = 0, unconfirmed = 0;
    for (int i = 0; i < streams; ++i) {
        const auto &want = expected[i % sheets];
        watchers[i]->waitFor(
            [&](const std::vector<EventStream::Event> &events) { return events.size() >= want.size(); },
            std::chrono::seconds(60));
        std::map<std::string, int> seen;
        for (const auto &event : watchers[i]->events()) {
            if (event.name == "resync")
                ++resyncs;
            if (event.name != "cells")
                continue;
            ++delivered;
            const auto grid = nlohmann::json::parse(event.data, nullptr, false);
            if (grid.is_object() && grid.contains("cells")) {
                for (const auto &cell : grid["cells"]) {
                    if (cell.contains("raw") && cell["raw"].is_string())
                        ++seen[cell["raw"].get<std::string>()];
                }
            }
        }
        for (const auto &[raw, count] : seen)
            unconfirmed += want.contains(raw) ? 0 : 1;
        for (const auto &raw : want) {
            const auto found = seen.find(raw);
            if (found == seen.end())
                ++lost;
            else if (found->second > 1)
                ++twice;
        }
    }

    // The transport alone: the same clients, the streams still open, fetching the root page.
    runAlone(Request::rootPage);
    const std::vector<double> pageFloor = results[writers].latencyMs;
    const double pageSeconds = runAll(Request::rootPage, floorSeconds);
    const std::vector<double> pageLoad = allLatency();
    watchers.clear();
    server.stop();

    const double floorP99 = percentile(floorLatency, 0.99);
    const double loadP99 = percentile(loadLatency, 0.99);
    std::printf("single writer (%d s):  %zu writes  p50 %.2f ms  p99 %.2f ms\n", floorSeconds,
                floorLatency.size(), percentile(floorLatency, 0.5), floorP99);
    std::printf("under load (%d writers, %d streams, %d sheets, %.0f s):\n", writers, streams, sheets,
                loadSeconds);
    std::string refusals;
    for (const auto &[status, count] : refused)
        refusals += " " + std::to_string(count) + " (" + status + ")";
    std::printf("  writes                %zu (%.0f writes/s), refused:%s\n", loadWrites,
                double(loadWrites) / loadSeconds, refusals.empty() ? " none" : refusals.c_str());
    std::printf("  latency               p50 %.2f ms  p99 %.2f ms\n", percentile(loadLatency, 0.5), loadP99);
    std::printf("  events delivered      %zu  (resync %zu)\n", delivered, resyncs);
    std::printf(
        "  confirmed writes lost %zu, delivered twice %zu; unconfirmed writes delivered %zu (over all "
        "streams)\n",
        lost, twice, unconfirmed);
    std::printf("p99 under load / single-writer p99 = %.2f (goal <= 10)\n",
                floorP99 > 0 ? loadP99 / floorP99 : 0.0);
    const double pageFloorP99 = percentile(pageFloor, 0.99);
    std::printf("root page, for comparison (%d s each): alone p99 %.2f ms; %d clients %.0f pages/s, p50 %.2f "
                "ms, p99 %.2f ms; ratio %.2f\n",
                floorSeconds, pageFloorP99, writers, double(pageLoad.size()) / pageSeconds,
                percentile(pageLoad, 0.5), percentile(pageLoad, 0.99),
                pageFloorP99 > 0 ? percentile(pageLoad, 0.99) / pageFloorP99 : 0.0);
    return lost == 0 && twice == 0 ? 0 : 2;
}
