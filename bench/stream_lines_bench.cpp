// NativeStreamLines throughput on 64 MiB of event text, against a plain memchr scan for line ends
// over the same bytes in the same run. Goal: NativeStreamLines takes at most twice as long.

#include "connection/NativeStreamLines.h"

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

namespace {
constexpr qsizetype totalBytes = 64 * 1024 * 1024;
constexpr qsizetype readSize = 64 * 1024; // what one network read hands the splitter

// Event text with lines from 20 bytes to 256 KiB (log-uniform, so short lines dominate by count and
// long ones by bytes), some non-ASCII text, CR LF and LF endings, and an empty line before an event
// would pass 1 MiB.
QByteArray makeEventText() {
    std::mt19937_64 random(20240305);
    std::uniform_real_distribution<double> logLength(std::log(20.0), std::log(262'144.0));
    QByteArray text;
    text.reserve(totalBytes + 300'000);
    qsizetype eventBytes = 0;
    while (text.size() < totalBytes) {
        const auto length = static_cast<qsizetype>(std::exp(logLength(random)));
        if (eventBytes + length > 1'048'576) {
            text += '\n';
            eventBytes = 0;
        }
        QByteArray line = "data: ";
        while (line.size() < length)
            line += (random() % 16 == 0) ? QByteArray("caf\xC3\xA9 ")
                                         : QByteArray("{\"r\":12,\"c\":3,\"v\":\"x\"} ");
        line.truncate(length);
        while ((line.back() & 0x80) != 0) // never cut a character in two
            line.chop(1);
        line.append(length - line.size(), 'x');
        text += line;
        text += (random() % 4 == 0) ? "\r\n" : "\n";
        eventBytes += length;
    }
    return text;
}

template <typename F> double secondsOf(F &&run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
} // namespace

int main() {
    const QByteArray text = makeEventText();
    const double mib = static_cast<double>(text.size()) / (1024.0 * 1024.0);

    qsizetype memchrLines = 0;
    const auto scanWithMemchr = [&] {
        memchrLines = 0;
        const char *at = text.constData();
        const char *end = at + text.size();
        while (const void *found = std::memchr(at, '\n', static_cast<size_t>(end - at))) {
            ++memchrLines;
            at = static_cast<const char *>(found) + 1;
        }
    };

    qsizetype lines = 0, lineBytes = 0;
    const auto splitWithNativeStreamLines = [&] {
        lines = 0;
        lineBytes = 0;
        NativeStreamLines splitter;
        for (qsizetype at = 0; at < text.size(); at += readSize) {
            QByteArrayView rest = QByteArrayView(text).sliced(at, std::min(readSize, text.size() - at));
            while (!rest.isEmpty()) {
                if (const auto line = splitter.append(rest)) {
                    ++lines;
                    lineBytes += line->size();
                }
            }
        }
    };

    // Best of 15 each, the two taking turns so that a change of clock speed touches both alike.
    double memchrSeconds = 1e9, splitterSeconds = 1e9;
    for (int round = 0; round < 15; ++round) {
        memchrSeconds = std::min(memchrSeconds, secondsOf(scanWithMemchr));
        splitterSeconds = std::min(splitterSeconds, secondsOf(splitWithNativeStreamLines));
    }

    std::printf("event text: %.1f MiB, %lld lines (memchr found %lld LF)\n", mib,
                static_cast<long long>(lines), static_cast<long long>(memchrLines));
    std::printf("memchr scan:       %8.2f ms  %8.0f MiB/s\n", memchrSeconds * 1000, mib / memchrSeconds);
    std::printf("NativeStreamLines: %8.2f ms  %8.0f MiB/s  (%lld bytes in lines, UTF-8 checked; %s)\n",
                splitterSeconds * 1000, mib / splitterSeconds, static_cast<long long>(lineBytes),
                Utf8LineScan::vectorAvailable() ? "AVX2" : "portable");
    std::printf("ratio NativeStreamLines / memchr: %.2f (goal: at most 2)\n",
                splitterSeconds / memchrSeconds);
    return 0;
}
