#pragma once

#include "connection/NativeClientError.h"

#include <QByteArray>
#include <QString>

#include <optional>

// One HTTP answer: the whole body (within the caller's size limit), the status, and the headers
// with lower-cased names.
class NativeResponse {
public:
    NativeResponse() = default;
    // Lower-cases every header name; of two names that differ only in case, one value is kept.
    NativeResponse(QByteArray data, int status, const NativeHeaders &headers);

    const QByteArray &data() const { return m_data; }
    int status() const { return m_status; }
    const NativeHeaders &headers() const { return m_headers; }

    std::optional<QString> header(const QString &name) const;
    // The error the status stands for, judged now; none for 2xx.
    std::optional<NativeClientError> failure() const;
    // Returns the response, or throws its failure.
    const NativeResponse &requireSuccess() const;

private:
    QByteArray m_data;
    int m_status = 0;
    NativeHeaders m_headers;
};
