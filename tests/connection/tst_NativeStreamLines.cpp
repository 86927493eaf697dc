#include "connection/NativeClientError.h"
#include "connection/NativeStreamLines.h"

#include <QTest>

namespace {
const QString tooLarge = QStringLiteral("The live update is too large. Reconnect to refresh it.");
const QString invalidText = QStringLiteral("The live connection returned invalid text.");

struct Fed {
    QByteArrayList lines; // as bytes: QString would drop a byte-order mark
    QString error;        // the message of the failure, empty when none
};

// Feeds the bytes through the chunk form in pieces of `piece` bytes, or one at a time through the
// byte form (as the definition of the splitter reads) when `piece` is 0.
Fed feed(const QByteArray &bytes, qsizetype piece, qsizetype lineLimit, qsizetype eventLimit) {
    NativeStreamLines lines(lineLimit, eventLimit);
    Fed fed;
    const auto take = [&fed](std::optional<QByteArrayView> line) {
        if (line)
            fed.lines.append(line->toByteArray());
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
        fed.error = error.errorDescription();
    }
    return fed;
}

QByteArrayList utf8(const QStringList &lines) {
    QByteArrayList bytes;
    for (const QString &line : lines)
        bytes.append(line.toUtf8());
    return bytes;
}
} // namespace

class TestNativeStreamLines : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void splitting_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qsizetype>("lineLimit");
        QTest::addColumn<qsizetype>("eventLimit");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("error");
        const qsizetype line = NativeStreamLines::defaultLineLimit;
        const qsizetype event = NativeStreamLines::defaultEventLimit;
        const QString none;
        QTest::newRow("CR, CR LF, LF")
            << QByteArray("a\r\nb\n") << line << event << QStringList{"a", "b"} << none;
        QTest::newRow("CR alone") << QByteArray("a\rb\r") << line << event << QStringList{"a", "b"} << none;
        QTest::newRow("CR CR is two line ends")
            << QByteArray("\r\r") << line << event << QStringList{"", ""} << none;
        QTest::newRow("LF first") << QByteArray("\n") << line << event << QStringList{""} << none;
        QTest::newRow("LF CR is two line ends")
            << QByteArray("a\n\rb\n") << line << event << QStringList{"a", "", "b"} << none;
        QTest::newRow("CR LF LF") << QByteArray("a\r\n\n") << line << event << QStringList{"a", ""} << none;
        QTest::newRow("unterminated last line")
            << QByteArray("a\ndata: x") << line << event << QStringList{"a"} << none;
        QTest::newRow("byte-order mark on the first line")
            << QByteArray("\xEF\xBB\xBFx\n") << line << event << QStringList{"x"} << none;
        QTest::newRow("byte-order mark on the second line")
            << QByteArray("a\n\xEF\xBB\xBFx\n") << line << event
            << QStringList{"a", QString(QChar(0xFEFF)) + "x"} << none;
        QTest::newRow("only one byte-order mark removed")
            << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBFx\n") << line << event
            << QStringList{QString(QChar(0xFEFF)) + "x"} << none;
        QTest::newRow("multibyte text") << QByteArray("caf\xC3\xA9 \xE2\x82\xAC\n") << line << event
                                        << QStringList{QString::fromUtf8("café €")} << none;
        QTest::newRow("truncated sequence")
            << QByteArray("ok\n\xC3\n") << line << event << QStringList{"ok"} << invalidText;
        QTest::newRow("invalid bytes never ended are not judged")
            << QByteArray("\xFF") << line << event << QStringList() << none;

        // Small limits: the same rules as the defaults, cheaper to state.
        QTest::newRow("line at its limit")
            << QByteArray("abcd\n") << qsizetype(4) << qsizetype(100) << QStringList{"abcd"} << none;
        QTest::newRow("line one past its limit")
            << QByteArray("ok\nabcde\n") << qsizetype(4) << qsizetype(100) << QStringList{"ok"} << tooLarge;
        QTest::newRow("line past its limit, never ended")
            << QByteArray("abcde") << qsizetype(4) << qsizetype(100) << QStringList() << tooLarge;
        QTest::newRow("terminators do not count") << QByteArray("abcd\r\nabcd\r\r") << qsizetype(4)
                                                  << qsizetype(8) << QStringList{"abcd", "abcd", ""} << none;
        QTest::newRow("event at its limit")
            << QByteArray("abc\nabc\n\nabcdef\n") << qsizetype(10) << qsizetype(6)
            << QStringList{"abc", "abc", "", "abcdef"} << none;
        QTest::newRow("event one past its limit") << QByteArray("abc\nabc\nx\n") << qsizetype(10)
                                                  << qsizetype(6) << QStringList{"abc", "abc"} << tooLarge;
        QTest::newRow("event full, empty line still accepted")
            << QByteArray("abcdef\n\nx\n") << qsizetype(10) << qsizetype(6) << QStringList{"abcdef", "", "x"}
            << none;
        QTest::newRow("byte-order mark counts as bytes")
            << QByteArray("\xEF\xBB\xBFxy\n") << qsizetype(4) << qsizetype(100) << QStringList() << tooLarge;
    }

    void splitting() {
        QFETCH(QByteArray, bytes);
        QFETCH(qsizetype, lineLimit);
        QFETCH(qsizetype, eventLimit);
        QFETCH(QStringList, expected);
        QFETCH(QString, error);
        // The byte form, and the chunk form whatever the pieces, give the same results.
        for (const qsizetype piece : {qsizetype(0), qsizetype(2), qsizetype(3), bytes.size()}) {
            const Fed fed = feed(bytes, piece, lineLimit, eventLimit);
            QCOMPARE(fed.lines, utf8(expected));
            QCOMPARE(fed.error, error);
        }
    }
};

QTEST_GUILESS_MAIN(TestNativeStreamLines)
#include "tst_NativeStreamLines.moc"
