#include "connection/NativeSession.h"

#include "connection/JsonReader.h"

#include <nlohmann/json.hpp>

NativeSession NativeSession::fromJson(const QByteArray &json) {
    const auto document = JsonDocument::parse(json);
    const auto object = document.rootObject();
    return NativeSession{object.requiredString("name"), object.requiredString("value")};
}

QByteArray NativeSession::toJson() const {
    const nlohmann::json object = {{"name", name.toStdString()}, {"value", value.toStdString()}};
    return QByteArray::fromStdString(object.dump());
}
