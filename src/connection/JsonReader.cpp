#include "connection/JsonReader.h"

#include <string>

namespace {
[[noreturn]] void fail(std::string_view key, const char *problem) {
    throw JsonDecodeError(std::string("JSON key \"") + std::string(key) + "\" " + problem);
}
} // namespace

JsonObject::JsonObject(simdjson::dom::element element) {
    if (element.get_object().get(m_object) != simdjson::SUCCESS)
        throw JsonDecodeError("expected a JSON object");
}

std::optional<simdjson::dom::element> JsonObject::find(std::string_view key) const {
    simdjson::dom::element value;
    if (m_object.at_key(key).get(value) != simdjson::SUCCESS || value.is_null())
        return std::nullopt;
    return value;
}

simdjson::dom::element JsonObject::require(std::string_view key) const {
    auto value = find(key);
    if (!value)
        fail(key, "is missing or null");
    return *value;
}

qint64 JsonObject::toInt(simdjson::dom::element element, std::string_view what) {
    int64_t value = 0;
    if (element.get_int64().get(value) != simdjson::SUCCESS)
        fail(what, "is not a signed 64-bit integer");
    return value;
}

double JsonObject::toDouble(simdjson::dom::element element, std::string_view what) {
    double value = 0;
    if (element.get_double().get(value) != simdjson::SUCCESS)
        fail(what, "is not a number");
    return value;
}

QString JsonObject::toString(simdjson::dom::element element, std::string_view what) {
    std::string_view value;
    if (element.get_string().get(value) != simdjson::SUCCESS)
        fail(what, "is not a string");
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

qint64 JsonObject::requiredInt(std::string_view key) const { return toInt(require(key), key); }

std::optional<qint64> JsonObject::optionalInt(std::string_view key) const {
    if (auto value = find(key))
        return toInt(*value, key);
    return std::nullopt;
}

quint64 JsonObject::requiredUInt64(std::string_view key) const {
    uint64_t value = 0;
    if (require(key).get_uint64().get(value) != simdjson::SUCCESS)
        fail(key, "is not an unsigned 64-bit integer");
    return value;
}

std::optional<double> JsonObject::optionalDouble(std::string_view key) const {
    if (auto value = find(key))
        return toDouble(*value, key);
    return std::nullopt;
}

bool JsonObject::requiredBool(std::string_view key) const {
    bool value = false;
    if (require(key).get_bool().get(value) != simdjson::SUCCESS)
        fail(key, "is not a boolean");
    return value;
}

std::optional<bool> JsonObject::optionalBool(std::string_view key) const {
    auto element = find(key);
    if (!element)
        return std::nullopt;
    bool value = false;
    if (element->get_bool().get(value) != simdjson::SUCCESS)
        fail(key, "is not a boolean");
    return value;
}

QString JsonObject::requiredString(std::string_view key) const { return toString(require(key), key); }

std::optional<QString> JsonObject::optionalString(std::string_view key) const {
    if (auto value = find(key))
        return toString(*value, key);
    return std::nullopt;
}

JsonObject JsonObject::requiredObject(std::string_view key) const {
    const auto value = require(key);
    if (!value.is_object())
        fail(key, "is not an object");
    return JsonObject(value);
}

std::optional<JsonObject> JsonObject::optionalObject(std::string_view key) const {
    const auto value = find(key);
    if (!value)
        return std::nullopt;
    if (!value->is_object())
        fail(key, "is not an object");
    return JsonObject(*value);
}

simdjson::dom::array JsonObject::requiredArray(std::string_view key) const {
    simdjson::dom::array array;
    if (require(key).get_array().get(array) != simdjson::SUCCESS)
        fail(key, "is not an array");
    return array;
}

std::optional<simdjson::dom::array> JsonObject::optionalArray(std::string_view key) const {
    const auto value = find(key);
    if (!value)
        return std::nullopt;
    simdjson::dom::array array;
    if (value->get_array().get(array) != simdjson::SUCCESS)
        fail(key, "is not an array");
    return array;
}

JsonDocument JsonDocument::parse(const QByteArray &text) {
    JsonDocument document;
    document.m_parser = std::make_unique<simdjson::dom::parser>();
    const auto error = document.m_parser->parse(text.constData(), static_cast<size_t>(text.size()))
                           .get(document.m_root);
    if (error != simdjson::SUCCESS)
        throw JsonDecodeError(std::string("invalid JSON: ") + simdjson::error_message(error));
    return document;
}

JsonObject JsonDocument::parseOnThisThread(const QByteArray &text) {
    thread_local simdjson::dom::parser parser;
    simdjson::dom::element root;
    const auto error = parser.parse(text.constData(), static_cast<size_t>(text.size())).get(root);
    if (error != simdjson::SUCCESS)
        throw JsonDecodeError(std::string("invalid JSON: ") + simdjson::error_message(error));
    return JsonObject(root);
}

JsonObject JsonDocument::rootObject() const { return JsonObject(m_root); }
