// Reads beside a long write: how long listing sheets (which also looks up the session) takes while
// another request formats 250,000 cells, against the same listing on an idle server measured first.
// Argument: number of format requests (default 3).

#include "ServerProcess.h"
#include "SheetApi.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {
double millisOf(TestClient &client) {
    const auto start = std::chrono::steady_clock::now();
    const auto answer = client.get("/sheets");
    if (!answer || answer->status != 200)
        return -1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double percentile(std::vector<double> values, double share) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}
} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int formats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    ServerProcess server;
    if (!server.start() || !server.addUser("lock@example.com", "Lock", "correct horse battery")) {
        std::fprintf(stderr, "cannot start tabrel-server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const auto session = server.signIn("lock@example.com", "correct horse battery");
    TestClient reader = server.client(session);
    const auto sheet = SheetApi::create(reader);
    if (!session || !sheet) {
        std::fprintf(stderr, "cannot sign in or create a sheet\n");
        return 1;
    }

    std::vector<double> idle;
    for (int i = 0; i < 50; ++i)
        idle.push_back(millisOf(reader));

    std::atomic<bool> writing = true;
    double formatMillis = 0;
    std::thread writer([&] {
        TestClient client = server.client(session);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < formats; ++i)
            client.postJson(sheet->tab() + "/format",
                            {{"r1", 0}, {"c1", 0}, {"r2", 499}, {"c2", 499}, {"bold", i % 2 == 0}});
        formatMillis =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        writing = false;
    });
    std::vector<double> busy;
    while (writing)
        busy.push_back(millisOf(reader));
    writer.join();
    server.stop();

    const double floor = percentile(idle, 0.5);
    std::printf("%d formats of 250,000 cells took %.0f ms; %zu listings meanwhile\n", formats, formatMillis,
                busy.size());
    std::printf("listing, idle median %.1f ms; during the formats median %.1f ms (ratio %.1f), worst %.1f ms "
                "(ratio %.1f)\n",
                floor, percentile(busy, 0.5), percentile(busy, 0.5) / floor, percentile(busy, 1.0),
                percentile(busy, 1.0) / floor);
    return 0;
}
