#pragma once

#include <QString>

#include <optional>

// One server-sent event: its name ("cells", "resync", "bye", ...) and its data lines joined by LF.
struct SheetEvent {
    QString name;
    QString data;

    bool operator==(const SheetEvent &) const = default;
};

// Assembles events from the lines of one stream attempt: "event:" names it, each "data:" adds a
// line, comments and other fields are ignored, and an empty line delivers the event.
class SheetEventParser {
public:
    std::optional<SheetEvent> receive(const QString &line);

private:
    QString m_name;
    QString m_data;
};
