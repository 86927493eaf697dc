// libFuzzer target for the event-stream line reader. Any bytes, cut into any pieces, give exactly
// the lines (or the failure) of feeding them one byte at a time; the vector and portable UTF-8
// scans agree on every line end and verdict, and both agree with simdjson's validator.
#include "connection/NativeClientError.h"
#include "connection/NativeStreamLines.h"

#include <simdjson.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
struct Outcome {
    std::vector<std::string> lines;
    std::string failure;
    bool operator==(const Outcome &) const = default;
};

// Small limits, so that the fuzzer reaches them.
constexpr qsizetype lineLimit = 64;
constexpr qsizetype eventLimit = 160;

Outcome byteByByte(QByteArrayView input) {
    Outcome outcome;
    NativeStreamLines lines(lineLimit, eventLimit);
    try {
        for (char byte : input)
            if (const auto line = lines.append(byte))
                outcome.lines.emplace_back(line->data(), std::size_t(line->size()));
    } catch (const NativeClientError &error) {
        outcome.failure = error.what();
    }
    return outcome;
}

Outcome inPieces(QByteArrayView input, const std::uint8_t *cuts, std::size_t cutCount) {
    Outcome outcome;
    NativeStreamLines lines(lineLimit, eventLimit);
    std::size_t cut = 0;
    try {
        while (!input.isEmpty()) {
            const qsizetype size =
                std::min<qsizetype>(input.size(), cutCount ? 1 + cuts[cut++ % cutCount] : 7);
            QByteArrayView piece = input.first(size);
            input = input.sliced(size);
            while (!piece.isEmpty())
                if (const auto line = lines.append(piece))
                    outcome.lines.emplace_back(line->data(), std::size_t(line->size()));
        }
    } catch (const NativeClientError &error) {
        outcome.failure = error.what();
    }
    return outcome;
}

// Line ends and verdicts of one scan implementation over the whole input, in one piece.
std::vector<std::pair<std::size_t, bool>> scanLines(QByteArrayView input, Utf8LineScan::Implementation how) {
    std::vector<std::pair<std::size_t, bool>> result;
    Utf8LineScan scan(how);
    const char *at = input.data();
    const char *end = at + input.size();
    while (at < end) {
        const char *lineEnd = scan.scan(at, end);
        if (lineEnd == end)
            break;
        result.emplace_back(std::size_t(lineEnd - input.data()), scan.finishLine());
        at = lineEnd + 1;
    }
    return result;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The first bytes choose the piece sizes, the rest is the stream.
    const std::size_t cutCount = size ? std::min<std::size_t>(data[0] % 8, size - 1) : 0;
    const std::uint8_t *cuts = data + (size ? 1 : 0);
    const std::size_t skip = size ? 1 + cutCount : 0;
    const QByteArrayView input(reinterpret_cast<const char *>(data) + skip, qsizetype(size - skip));

    const Outcome reference = byteByByte(input);
    if (!(inPieces(input, cuts, cutCount) == reference))
        std::abort();

    const auto portable = scanLines(input, Utf8LineScan::Implementation::portable);
    if (scanLines(input, Utf8LineScan::Implementation::fastest) != portable)
        std::abort();
    std::size_t start = 0;
    for (const auto &[end, valid] : portable) {
        if (valid != simdjson::validate_utf8(input.data() + start, end - start))
            std::abort();
        start = end + 1;
    }
    // Every line handed out is valid UTF-8 and within its limit.
    for (const std::string &line : reference.lines)
        if (qsizetype(line.size()) > lineLimit || !simdjson::validate_utf8(line.data(), line.size()))
            std::abort();
    return 0;
}
