#include "connection/NativeClientError.h"
#include "connection/NativeStreamLines.h"
#include "connection/Utf8LineScan.h"

#include <QTest>

#include <simdjson.h>

#include <random>

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

// Pieces of text that sit on either side of every UTF-8 rule: shortest and longest forms, surrogates,
// the last code point, stray and missing continuation bytes, and bytes that never occur.
const QList<QByteArray> pieces = [] {
    QList<QByteArray> list;
    for (const QByteArray &hex : QByteArray("61 5A 20 30 7E 7F 0D 0A 0D0A C280 DFBF C3A9 C080 C1BF "
                                            "E0A080 E09FBF E18080 ECBFBF ED9FBF EDA080 EDBFBF EE8080 EFBFBF "
                                            "E282AC F0908080 F08FBFBF F1808080 F3BFBFBF F48FBFBF F4908080 "
                                            "F5808080 F888808080 80 BF C3 E282 F09F98 FE FF")
                                     .split(' '))
        list.append(QByteArray::fromHex(hex));
    return list;
}();

// Mostly ASCII runs, so the vector scan sees plain blocks, mixed blocks and every seam between.
QByteArray randomText(std::mt19937 &random) {
    QByteArray text;
    for (int i = 0, count = int(random() % 120); i < count; ++i)
        text += random() % 3 == 0 ? pieces[random() % pieces.size()] : QByteArray(int(random() % 40), 'x');
    return text;
}

// For every line (the text after the last line end included): '1' when it is UTF-8, else '0'.
QString referenceVerdicts(const QByteArray &text) {
    QString verdicts;
    for (qsizetype at = 0, start = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == '\n' || text[at] == '\r') {
            verdicts += simdjson::validate_utf8(text.constData() + start, size_t(at - start)) ? u'1' : u'0';
            start = at + 1;
        }
    }
    return verdicts;
}

// The scanner's verdicts, the text handed over in pieces of random sizes.
QString scannedVerdicts(const QByteArray &text, Utf8LineScan::Implementation how, std::mt19937 &random) {
    Utf8LineScan scan(how);
    QString verdicts;
    const char *at = text.constData();
    const char *end = at + text.size();
    while (at < end) {
        const char *pieceEnd = at + std::min<qsizetype>(end - at, 1 + qsizetype(random() % 100));
        while (at < pieceEnd) {
            const char *found = scan.scan(at, pieceEnd);
            if (found != pieceEnd)
                verdicts += scan.finishLine() ? u'1' : u'0';
            at = found == pieceEnd ? pieceEnd : found + 1;
        }
    }
    return verdicts + (scan.finishLine() ? u'1' : u'0');
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

    void scanAgreesWithReference_data() {
        QTest::addColumn<Utf8LineScan::Implementation>("implementation");
        QTest::newRow("fastest") << Utf8LineScan::Implementation::fastest;
        QTest::newRow("portable") << Utf8LineScan::Implementation::portable;
    }

    void scanAgreesWithReference() {
        QFETCH(Utf8LineScan::Implementation, implementation);
        std::mt19937 random(7);
        for (int round = 0; round < 20'000; ++round) {
            const QByteArray text = randomText(random);
            const QString expected = referenceVerdicts(text);
            const QString actual = scannedVerdicts(text, implementation, random);
            if (actual != expected)
                QFAIL(qPrintable(QStringLiteral("disagreement on %1: %2 against %3")
                                     .arg(QString::fromLatin1(text.toHex(' ')), actual, expected)));
        }
    }
};

QTEST_GUILESS_MAIN(TestNativeStreamLines)
#include "tst_NativeStreamLines.moc"
