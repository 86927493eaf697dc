#include "connection/NativeResponse.h"

NativeResponse::NativeResponse(QByteArray data, int status, const NativeHeaders &headers)
    : m_data(std::move(data)), m_status(status) {
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it)
        m_headers.insert(it.key().toLower(), it.value());
}

std::optional<QString> NativeResponse::header(const QString &name) const {
    const auto found = m_headers.constFind(name.toLower());
    if (found == m_headers.constEnd())
        return std::nullopt;
    return found.value();
}

std::optional<NativeClientError> NativeResponse::failure() const {
    return NativeClientError::forStatus(m_status, m_headers, m_data, QDateTime::currentDateTimeUtc());
}

const NativeResponse &NativeResponse::requireSuccess() const {
    if (auto error = failure())
        throw *error;
    return *this;
}
