#include "connection/NativeClientError.h"
#include "connection/NativeStreamLines.h"

#include <QTest>

namespace {
using SplitCase = std::tuple<QByteArray, QStringList, QString, qsizetype, qsizetype>;
const QString tooLarge = QStringLiteral("The live update is too large. Reconnect to refresh it.");
const QString invalidText = QStringLiteral("The live connection returned invalid text.");

// Feeds the bytes through the chunk form in pieces of `piece` bytes, or one at a time through the
// byte form (as the definition of the splitter reads) when `piece` is 0. Returns the lines (as bytes:
// QString would drop a byte-order mark) and the failure's message.
std::pair<QByteArrayList, QString> feed(const QByteArray &bytes, qsizetype piece, qsizetype lineLimit,
                                        qsizetype eventLimit) {
    NativeStreamLines lines(lineLimit, eventLimit);
    QByteArrayList fed;
    const auto take = [&fed](std::optional<QByteArrayView> line) {
        if (line)
            fed.append(line->toByteArray());
    };
    try {
        for (qsizetype at = 0; at < bytes.size(); at += std::max<qsizetype>(piece, 1)) {
            if (piece == 0)
                take(lines.append(bytes[at]));
            QByteArrayView rest = QByteArrayView(bytes).sliced(at, std::min(piece, bytes.size() - at));
            while (!rest.isEmpty())
                take(lines.append(rest));
        }
    } catch (const NativeClientError &error) {
        return {fed, error.errorDescription()};
    }
    return {fed, QString()};
}
} // namespace

class TestNativeStreamLines : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void splitting_data() {
        QTest::addColumn<SplitCase>("row");
        const auto row = [](const char *name, const QByteArray &bytes, const QStringList &expected,
                            const QString &error = {}, qsizetype line = NativeStreamLines::defaultLineLimit,
                            qsizetype event = NativeStreamLines::defaultEventLimit) {
            QTest::newRow(name) << SplitCase{bytes, expected, error, line, event};
        };
        const QString bom(QChar(0xFEFF));
        row("CR, CR LF, LF", "a\r\nb\n", {"a", "b"});
        row("CR alone", "a\rb\r", {"a", "b"});
        row("CR CR is two line ends", "\r\r", {"", ""});
        row("LF CR is two line ends", "a\n\rb\n", {"a", "", "b"});
        row("unterminated last line", "a\ndata: x", {"a"});
        row("byte-order mark on the first line", "\xEF\xBB\xBFx\n", {"x"});
        row("byte-order mark on the second line", "a\n\xEF\xBB\xBFx\n", {"a", bom + "x"});
        row("only one byte-order mark removed", "\xEF\xBB\xBF\xEF\xBB\xBFx\n", {bom + "x"});
        row("truncated sequence", "ok\n\xC3\n", {"ok"}, invalidText);
        row("invalid bytes never ended are not judged", "\xFF", {});
        // Small limits: the same rules as the defaults, cheaper to state.
        row("line at its limit", "abcd\n", {"abcd"}, {}, 4, 100);
        row("line one past its limit", "ok\nabcde\n", {"ok"}, tooLarge, 4, 100);
        row("line past its limit, never ended", "abcde", {}, tooLarge, 4, 100);
        row("terminators do not count", "abcd\r\nabcd\r\r", {"abcd", "abcd", ""}, {}, 4, 8);
        row("event at its limit", "abc\nabc\n\nabcdef\n", {"abc", "abc", "", "abcdef"}, {}, 10, 6);
        row("event one past its limit", "abc\nabc\nx\n", {"abc", "abc"}, tooLarge, 10, 6);
        row("event full, empty line still accepted", "abcdef\n\nx\n", {"abcdef", "", "x"}, {}, 10, 6);
        row("byte-order mark counts as bytes", "\xEF\xBB\xBFxy\n", {}, tooLarge, 4, 100);
    }

    void splitting() {
        QFETCH(SplitCase, row);
        const auto &[bytes, expected, error, lineLimit, eventLimit] = row;
        QByteArrayList lines;
        for (const QString &line : expected)
            lines.append(line.toUtf8());
        // The byte form, and the chunk form whatever the pieces, give the same results.
        for (const qsizetype piece : {qsizetype(0), qsizetype(2), qsizetype(3), bytes.size()})
            QCOMPARE(feed(bytes, piece, lineLimit, eventLimit), std::pair(lines, error));
    }
};

QTEST_GUILESS_MAIN(TestNativeStreamLines)
#include "tst_NativeStreamLines.moc"
