// libFuzzer target for the clipboard's tab-separated format: decoding any text must not crash,
// and decoding what encoding produced must give the same rows back (but for the one documented
// normalisation: a last row of one empty field after other rows is dropped).
#include "sheet/TSV.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QList<QStringList> rows = TSV::decode(text);
    if (rows.isEmpty())
        std::abort(); // decoding always yields at least one row
    const QList<QStringList> again = TSV::decode(TSV::encode(rows));
    if (rows.size() > 1 && rows.last() == QStringList{QString()})
        rows.removeLast();
    if (again != rows)
        std::abort();
    return 0;
}
