// libFuzzer target for the wire-record decoders: any body either decodes or fails with
// JsonDecodeError (never another exception, a crash or a leak), and a decoded grid answer's cells
// and a decoded page keep what the text said when encoded and decoded again.
#include "sheet/SheetWire.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>

namespace {
template <typename T> std::optional<T> tryDecode(const QByteArray &body) {
    try {
        return decodeJson<T>(body);
    } catch (const JsonDecodeError &) {
        return std::nullopt;
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto grid = tryDecode<GridResponse>(body); grid && grid->cells) {
        for (const Cell &cell : *grid->cells) {
            if (tryDecode<Cell>(QByteArray::fromStdString(cell.encode().dump())) != cell)
                std::abort();
        }
    }
    tryDecode<SheetPage>(body);
    tryDecode<SheetList>(body);
    tryDecode<TablePage>(body);
    tryDecode<HistoryPage>(body);
    tryDecode<Notice>(body);
    if (const auto write = tryDecode<CellWrite>(body);
        write && tryDecode<CellWrite>(QByteArray::fromStdString(write->encode().dump())) != write)
        std::abort();
    return 0;
}
