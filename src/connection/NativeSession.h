#pragma once

#include <QByteArray>
#include <QString>

// The session cookie of one account: sent as "name=value" with every request.
struct NativeSession {
    QString name;
    QString value;

    bool operator==(const NativeSession &) const = default;

    // JSON object {"name": ..., "value": ...}; both keys required.
    static NativeSession fromJson(const QByteArray &json);
    QByteArray toJson() const;
};
