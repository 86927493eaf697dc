// libFuzzer target for the live event parser, against a plain reading of the stream rules: an
// empty line delivers (and clears) the event; "event:" names it; each "data:" adds a line; the
// text after the colon loses its spaces and tabs at both ends; every other line is ignored.
#include "sheet/SheetEventParser.h"

#include <QList>

#include <cstdint>
#include <cstdlib>

namespace {
QByteArray trimmed(QByteArray text) {
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove(0, 1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    SheetEventParser parser;
    QByteArray name, body;
    for (const QByteArray &line : input.split('\n')) {
        const std::optional<SheetEvent> event = parser.receive(line);
        if (line.isEmpty()) {
            if (!event || event->name != name || event->data != body)
                std::abort();
            name.clear();
            body.clear();
            continue;
        }
        if (event)
            std::abort();
        if (line.startsWith("event:")) {
            name = trimmed(line.mid(6));
        } else if (line.startsWith("data:")) {
            if (!body.isEmpty())
                body += '\n';
            body += trimmed(line.mid(5));
        }
    }
    return 0;
}
