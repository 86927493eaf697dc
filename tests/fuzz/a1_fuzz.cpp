// libFuzzer target for A1 references and ranges: whatever parses lies inside the sheet's limits and
// reads back the same from its own text; every cell inside the limits survives the trip through
// its text; a parsed range is normalised.
#include "sheet/Coordinate.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto cell = Coordinate::parse(text)) {
        if (cell->r < 0 || cell->r >= 5000 || cell->c < 0 || cell->c >= 2000)
            std::abort();
        if (Coordinate::parse(cell->ref()) != cell)
            std::abort();
    }
    if (const auto range = CellRange::parse(text)) {
        if (range->start.r > range->end.r || range->start.c > range->end.c)
            std::abort();
        if (CellRange::parse(range->text()) != range)
            std::abort();
    }
    if (size >= 4) {
        const Coordinate cell{(data[0] << 8 | data[1]) % 5000, (data[2] << 8 | data[3]) % 2000};
        if (Coordinate::parse(cell.ref()) != cell || Coordinate::parse(cell.ref().toLower()) != cell)
            std::abort();
    }
    return 0;
}
