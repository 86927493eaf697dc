#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// One server-sent event: its name ("cells", "resync", "bye", ...) and its data lines joined by LF,
// both UTF-8.
struct SheetEvent {
    QByteArray name;
    QByteArray data;

    bool operator==(const SheetEvent &) const = default;
};

// Assembles events from the lines of one stream attempt: "event:" names it, each "data:" adds a
// line, comments and other fields are ignored, and an empty line delivers the event.
class SheetEventParser {
public:
    std::optional<SheetEvent> receive(QByteArrayView line);

private:
    QByteArray m_name;
    QByteArray m_data;
};
