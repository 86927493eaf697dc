#include "workbooks/ArchiveLimits.h"

#include <zlib.h>

#include <algorithm>
#include <array>

namespace {

constexpr std::uint32_t endSignature = 0x06054b50;
constexpr std::uint32_t centralSignature = 0x02014b50;
constexpr std::uint32_t localSignature = 0x04034b50;
constexpr std::size_t endSize = 22;
constexpr std::size_t centralSize = 46;
constexpr std::size_t localSize = 30;

const std::string damaged =
    "This workbook could not be read: the file is damaged or is not an .xlsx or .xlsm workbook.";

std::uint32_t read16(std::string_view data, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(data[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 1])) << 8;
}

std::uint32_t read32(std::string_view data, std::size_t at) {
    return read16(data, at) | read16(data, at + 2) << 16;
}

std::string size(std::uint64_t bytes) {
    if (bytes >= 1024 * 1024)
        return std::to_string(bytes / (1024 * 1024)) + " MB";
    return std::to_string(bytes / 1024) + " KB";
}

std::string tooLarge(const ArchiveLimits::Limits &limits) {
    return "This workbook unpacks to more than this server imports: at most " + size(limits.maxTotalBytes) +
           " in all and " + size(limits.maxPartBytes) + " for one part.";
}

// The inflated size of a raw deflate stream, counted up to `limit` + 1; nothing when damaged.
std::optional<std::uint64_t> inflatedSize(std::string_view data, std::uint64_t limit) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return std::nullopt;
    std::array<unsigned char, 64 * 1024> out;
    std::uint64_t total = 0;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    int result = Z_OK;
    while (result != Z_STREAM_END && total <= limit) {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        result = inflate(&stream, Z_NO_FLUSH);
        total += out.size() - stream.avail_out;
        if (result != Z_OK && result != Z_STREAM_END)
            break;
        if (result == Z_OK && stream.avail_in == 0 && stream.avail_out != 0)
            break; // ran out of input before the end of the stream
    }
    inflateEnd(&stream);
    if (total > limit)
        return total;
    if (result != Z_STREAM_END)
        return std::nullopt;
    return total;
}

} // namespace

std::optional<std::string> ArchiveLimits::check(std::string_view zip, const Limits &limits) {
    if (zip.size() < endSize)
        return damaged;
    // The end record sits in the last 22 bytes plus an optional comment of up to 65,535.
    std::size_t end = std::string_view::npos;
    const std::size_t earliest = zip.size() > endSize + 65535 ? zip.size() - endSize - 65535 : 0;
    for (std::size_t at = zip.size() - endSize + 1; at-- > earliest;) {
        if (read32(zip, at) == endSignature) {
            end = at;
            break;
        }
    }
    if (end == std::string_view::npos)
        return damaged;
    const std::size_t entries = read16(zip, end + 10);
    const std::size_t directory = read32(zip, end + 16);
    if (entries > limits.maxParts)
        return tooLarge(limits);

    std::uint64_t total = 0;
    std::size_t at = directory;
    for (std::size_t entry = 0; entry < entries; ++entry) {
        if (at > zip.size() || zip.size() - at < centralSize || read32(zip, at) != centralSignature)
            return damaged;
        const std::uint32_t method = read16(zip, at + 10);
        const std::uint64_t compressed = read32(zip, at + 20);
        const std::uint64_t declared = read32(zip, at + 24);
        const std::size_t nameLength = read16(zip, at + 28);
        const std::size_t extraLength = read16(zip, at + 30);
        const std::size_t commentLength = read16(zip, at + 32);
        const std::size_t local = read32(zip, at + 42);
        at += centralSize + nameLength + extraLength + commentLength;

        if (declared > limits.maxPartBytes || total + declared > limits.maxTotalBytes)
            return tooLarge(limits);
        if (local > zip.size() || zip.size() - local < localSize || read32(zip, local) != localSignature)
            return damaged;
        const std::size_t data = local + localSize + read16(zip, local + 26) + read16(zip, local + 28);
        if (data > zip.size() || zip.size() - data < compressed)
            return damaged;
        std::uint64_t actual = compressed;
        if (method == 8) {
            // Counted against what the part declares: a part that inflates beyond it is refused.
            const std::uint64_t limit = std::min(declared, limits.maxPartBytes);
            const auto size = inflatedSize(zip.substr(data, compressed), limit);
            if (!size)
                return damaged;
            if (*size > limit)
                return *size > limits.maxPartBytes ? tooLarge(limits) : damaged;
            actual = *size;
        } else if (method != 0) {
            return damaged;
        }
        total += actual;
        if (actual > limits.maxPartBytes || total > limits.maxTotalBytes)
            return tooLarge(limits);
    }
    return std::nullopt;
}
