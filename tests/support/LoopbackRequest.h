#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <optional>

// One HTTP request as the loopback test server received it.
struct LoopbackRequest {
    QByteArray method;
    QByteArray target;                            // path and query, as sent
    QList<QPair<QByteArray, QByteArray>> headers; // in the order sent, names as sent
    QByteArray body;
    QByteArray raw; // the head and body exactly as received

    // The value of the first header with this name (compared without regard to case).
    std::optional<QByteArray> header(const QByteArray &name) const {
        for (const auto &[key, value] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return std::nullopt;
    }
};
