// libFuzzer target for the status-to-error rule and Retry-After: any status, header and body give
// exactly one outcome with a sentence for people; a Retry-After is never negative or NaN; a plain
// number of seconds is read exactly; and 429 and 503 carry the header's value.
#include "connection/NativeClientError.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    const int status = 100 + (data[0] << 8 | data[1]) % 500;
    const QString header = QString::fromUtf8(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    const QDateTime now(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);

    const std::optional<double> seconds = NativeClientError::retryAfter(header, now);
    if (seconds && (std::isnan(*seconds) || *seconds < 0))
        std::abort();
    const QString plain = trimmedHeaderValue(header).toString();
    bool allDigits = !plain.isEmpty() && plain.size() <= 15;
    for (QChar ch : plain)
        allDigits = allDigits && ch >= u'0' && ch <= u'9';
    if (allDigits && seconds != plain.toDouble())
        std::abort();

    const NativeHeaders headers{{QStringLiteral("retry-after"), header}};
    const auto error = NativeClientError::forStatus(status, headers, QByteArray("{}"), now);
    if ((status >= 200 && status <= 299) != !error)
        std::abort();
    if (!error)
        return 0;
    if (error->errorDescription().isEmpty())
        std::abort();
    if (status == 429 || (status == 503 && seconds)) {
        if (error->kind() != NativeClientError::Case::rateLimited || error->retryAfter() != seconds)
            std::abort();
    }
    // Without the header a 503 is a server failure like any other 5xx.
    const auto bare = NativeClientError::forStatus(status, {}, QByteArray(), now);
    if (status == 503 && bare->kind() != NativeClientError::Case::server)
        std::abort();
    return 0;
}
