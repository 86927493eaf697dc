// Server memory: the resident size of one tabrel-server after opening and editing 1,000 sheets of
// 10,000 cells each (numbers, texts and one formula in ten). Arguments: number of sheets, cells per
// sheet, then any options for the server (e.g. "--formula-memory 256", in MiB; 512 by default). The
// floor is the same server's resident size with no sheet, measured first.

#include "ServerProcess.h"
#include "SheetApi.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {
constexpr int columns = 100;
constexpr int cellsPerBatch = 2000;

std::string columnName(int c) {
    std::string name;
    for (++c; c > 0; c = (c - 1) / 26)
        name.insert(name.begin(), char('A' + (c - 1) % 26));
    return name;
}

// The server process started by ServerProcess: the one whose command line names its data folder.
qint64 serverPid(const QString &dataDir) {
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!number || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = cmdline.readAll().split('\0');
        if (arguments.value(0).endsWith("tabrel-server") && arguments.contains(dataDir.toLocal8Bit()) &&
            !arguments.contains("add-user"))
            return pid;
    }
    return 0;
}

// "VmRSS" or "VmHWM" of /proc/<pid>/status, in KiB.
long statusKiB(qint64 pid, const char *field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}
} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int sheetCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const int cellsPerSheet = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10000;

    QStringList serverOptions;
    for (int i = 3; i < argc; ++i)
        serverOptions.append(QString::fromLocal8Bit(argv[i]));
    ServerProcess server(ServerProcess::Options{{}, serverOptions, {}});
    if (!server.start() || !server.addUser("memory@example.com", "Memory", "correct horse battery")) {
        std::fprintf(stderr, "cannot start tabrel-server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const auto session = server.signIn("memory@example.com", "correct horse battery");
    const qint64 pid = serverPid(server.dataDir());
    if (!session || pid == 0) {
        std::fprintf(stderr, "cannot sign in or find the server process\n");
        return 1;
    }
    TestClient client = server.client(session);
    const long floorKiB = statusKiB(pid, "VmRSS");

    const auto start = std::chrono::steady_clock::now();
    int refused = 0;
    for (int s = 0; s < sheetCount; ++s) {
        const auto sheet = SheetApi::create(client);
        if (!sheet) {
            const bool running = server.running();
            server.stop();
            std::fprintf(stderr, "cannot create sheet %d (server %s); its last output:\n%s\n", s + 1,
                         running ? "running" : "gone", qPrintable(server.output().right(2000)));
            return 1;
        }
        const auto page = client.get(sheet->page());
        if (!page || page->status != 200)
            ++refused;
        std::vector<nlohmann::json> batch;
        for (int i = 0; i < cellsPerSheet; ++i) {
            const int r = i / columns, c = i % columns;
            std::string raw;
            if (c % 10 == 9)
                raw = "=SUM(" + columnName(c - 9) + std::to_string(r + 1) + ":" + columnName(c - 1) +
                      std::to_string(r + 1) + ")";
            else if (c % 3 == 0)
                raw = "item " + std::to_string(r) + "." + std::to_string(c);
            else
                raw = std::to_string((r * 7919 + c * 104729) % 100000) + "." + std::to_string(c % 100);
            batch.push_back(SheetApi::write(r, c, raw));
            if (batch.size() == cellsPerBatch || i + 1 == cellsPerSheet) {
                const auto answer = SheetApi::batch(client, *sheet, batch);
                if (!answer || answer->status != 200)
                    ++refused;
                batch.clear();
            }
        }
        const auto tile = SheetApi::tile(client, *sheet, 0, 0, 25, 50);
        if (!tile || tile->status != 200)
            ++refused;
        if ((s + 1) % 50 == 0)
            std::fprintf(stderr, "%d sheets, resident %ld KiB\n", s + 1, statusKiB(pid, "VmRSS"));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long residentKiB = statusKiB(pid, "VmRSS");
    const long peakKiB = statusKiB(pid, "VmHWM");
    server.stop();

    const double cells = double(sheetCount) * cellsPerSheet;
    std::printf("server options: %s\n",
                serverOptions.isEmpty() ? "(defaults)" : qPrintable(serverOptions.join(u' ')));
    std::printf("%d sheets x %d cells (%.0f cells) opened and written in %.0f s, %d requests refused\n",
                sheetCount, cellsPerSheet, cells, seconds, refused);
    std::printf("server resident: empty %.1f MiB, after %.1f MiB, peak %.1f MiB\n", floorKiB / 1024.0,
                residentKiB / 1024.0, peakKiB / 1024.0);
    std::printf("growth per cell %.1f bytes; resident after / empty = %.2f\n",
                (residentKiB - floorKiB) * 1024.0 / cells,
                floorKiB > 0 ? double(residentKiB) / floorKiB : 0.0);
    return refused == 0 ? 0 : 2;
}
