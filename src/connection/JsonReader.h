#pragma once

#include <QByteArray>
#include <QString>

#include <simdjson.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>

// A body that is not valid JSON, or a record whose required key is missing, null or of the wrong
// type. Decoding of the whole record fails with it.
class JsonDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Strict typed access to one JSON object: required keys must be present with their JSON type;
// optional keys may be absent or null; keys nobody asks for are ignored. Integers never pass
// through double, so unsigned 64-bit identifiers stay exact.
class JsonObject {
public:
    explicit JsonObject(simdjson::dom::element element);

    qint64 requiredInt(std::string_view key) const;
    std::optional<qint64> optionalInt(std::string_view key) const;
    quint64 requiredUInt64(std::string_view key) const;
    std::optional<double> optionalDouble(std::string_view key) const;
    bool requiredBool(std::string_view key) const;
    std::optional<bool> optionalBool(std::string_view key) const;
    QString requiredString(std::string_view key) const;
    std::optional<QString> optionalString(std::string_view key) const;
    JsonObject requiredObject(std::string_view key) const;
    std::optional<JsonObject> optionalObject(std::string_view key) const;
    simdjson::dom::array requiredArray(std::string_view key) const;
    std::optional<simdjson::dom::array> optionalArray(std::string_view key) const;

    simdjson::dom::object raw() const { return m_object; }

    // Element conversions shared by arrays and maps.
    static qint64 toInt(simdjson::dom::element element, std::string_view what);
    static double toDouble(simdjson::dom::element element, std::string_view what);
    static QString toString(simdjson::dom::element element, std::string_view what);

private:
    // The value under `key`, or nothing when absent or null.
    std::optional<simdjson::dom::element> find(std::string_view key) const;
    simdjson::dom::element require(std::string_view key) const;

    simdjson::dom::object m_object;
};

// Owns a parsed JSON text; the objects it hands out are valid while it lives.
class JsonDocument {
public:
    static JsonDocument parse(const QByteArray &text);
    // The root object of `text`, parsed by this thread's own parser, which keeps its buffers from
    // call to call. Valid until the next call on the same thread.
    static JsonObject parseOnThisThread(const QByteArray &text);
    JsonObject rootObject() const;
    simdjson::dom::element root() const { return m_root; }

private:
    std::unique_ptr<simdjson::dom::parser> m_parser;
    simdjson::dom::element m_root;
};

// Decodes a whole body into a record type that has `static T decode(const JsonObject &)`.
template<typename T>
T decodeJson(const QByteArray &text) {
    return T::decode(JsonDocument::parseOnThisThread(text));
}
