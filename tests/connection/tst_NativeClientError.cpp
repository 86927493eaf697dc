#include "async/CancellationError.h"
#include "connection/NativeClientError.h"
#include "connection/NativeResponse.h"
#include "connection/NativeStreamLines.h"

#include <QTest>
#include <QTimeZone>

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

const QDateTime now = QDateTime(QDate(2024, 3, 5), QTime(12, 0, 0), QTimeZone::utc());

QString composed(int status) {
    return QStringLiteral("The request could not be completed (%1). Your changes have not been confirmed.")
        .arg(status);
}
} // namespace

class TestNativeClientError : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusMapping_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<NativeHeaders>("headers");
        QTest::addColumn<std::optional<NativeClientError>>("expected");
        const QByteArray body = "{\"why\":1}";
        using E = NativeClientError;
        const auto row = [](int status, std::optional<E> expected, const char *retry = nullptr) {
            QTest::addRow("%d%s%s", status, retry ? " retry-after " : "", retry ? retry : "")
                << status << (retry ? NativeHeaders{{"retry-after", retry}} : NativeHeaders()) << expected;
        };
        for (int status : {100, 300, 302, 422, 600})
            row(status, E::rejected(status, body));
        for (int status : {500, 503, 599})
            row(status, E::server(status));
        for (int status : {303, 401})
            row(status, E::unauthorized());
        row(403, E::forbidden());
        row(404, E::notFound());
        row(409, E::conflict(body));
        row(413, E::tooLarge());
        row(503, E::rateLimited(std::nullopt), "soon");
    }
    void statusMapping() {
        QFETCH(int, status);
        QFETCH(NativeHeaders, headers);
        QFETCH(std::optional<NativeClientError>, expected);
        const auto actual = NativeClientError::forStatus(status, headers, "{\"why\":1}", now);
        QCOMPARE(actual.has_value(), expected.has_value());
        if (expected) {
            QVERIFY(*actual == *expected);
            QCOMPARE(actual->errorDescription(), expected->errorDescription());
        }
    }

    void messagesAndRetryClasses_data() {
        QTest::addColumn<NativeClientError>("error");
        QTest::addColumn<QString>("description");
        QTest::addColumn<RetryClass>("retryClass");
        using E = NativeClientError;
        const auto row = [](const char *name, const E &error, const QString &description, RetryClass retry) {
            QTest::newRow(name) << error << description << retry;
        };
        row("offline", E::offline(UrlErrorCode::timedOut), urlErrorDescription(UrlErrorCode::timedOut),
            RetryClass::offline);
        row("transport", E::transport(UrlErrorCode::badServerResponse),
            urlErrorDescription(UrlErrorCode::badServerResponse), RetryClass::transient);
        row("conflict", E::conflict("x"), composed(409), RetryClass::conflict);
        row("rate limited", E::rateLimited(3.0), "The server is busy. Your changes have not been confirmed.",
            RetryClass::transient);
        row("rejected 422", E::rejected(422, "x"), composed(422), RetryClass::permanent);
        row("unauthorized", E::unauthorized(), "Your session has ended. Sign out and sign in again.",
            RetryClass::auth);
        row("not found", E::notFound(), "This server does not support this native feature yet.",
            RetryClass::permanent);
    }
    void messagesAndRetryClasses() {
        QFETCH(NativeClientError, error);
        QFETCH(QString, description);
        QFETCH(RetryClass, retryClass);
        QCOMPARE(error.errorDescription(), description);
        QCOMPARE(QString::fromUtf8(error.what()), description);
        QCOMPARE(error.retryClass(), retryClass);
    }

    void retryAfter_data() {
        QTest::addColumn<std::optional<QString>>("value");
        QTest::addColumn<std::optional<double>>("expected");
        const auto row = [](const char *name, std::optional<QString> value,
                            std::optional<double> expected = {}) {
            QTest::newRow(name) << value << expected;
        };
        row("absent", std::nullopt);
        row("blank", " \t ");
        row("30 in spaces", "  30 ", 30.0);
        row("tabs", "\t12\t", 12.0);
        row("plus five", "+5", 5.0);
        row("minus five", "-5");
        row("line break kept", "5\n");
        row("decimal point", "1.5");
        row("beyond 64 bits", "99999999999999999999");
        row("date a minute ahead", "Tue, 05 Mar 2024 12:01:00 GMT", 60.0);
        row("date in the past", "Mon, 04 Mar 2024 12:00:00 GMT", 0.0);
        row("date without zone", "Tue, 05 Mar 2024 12:01:00");
    }
    void retryAfter() {
        QFETCH(std::optional<QString>, value);
        QFETCH(std::optional<double>, expected);
        const auto actual = NativeClientError::retryAfter(value, now);
        QCOMPARE(actual.has_value(), expected.has_value());
        if (expected)
            QCOMPARE(*actual, *expected);
    }

    // Qt's network errors become cancellation, offline or transport errors; other errors pass through.
    void classify() {
        const auto classified = [](UrlErrorCode code) {
            return NativeClientError::from(
                NativeClientError::classify(std::make_exception_ptr(UrlError(code))));
        };
        QVERIFY_THROWS_EXCEPTION(CancellationError,
                                 std::rethrow_exception(NativeClientError::classify(
                                     std::make_exception_ptr(UrlError(UrlErrorCode::cancelled)))));
        for (auto code :
             {UrlErrorCode::notConnectedToInternet, UrlErrorCode::networkConnectionLost,
              UrlErrorCode::cannotFindHost, UrlErrorCode::cannotConnectToHost, UrlErrorCode::dnsLookupFailed,
              UrlErrorCode::timedOut, UrlErrorCode::dataNotAllowed, UrlErrorCode::internationalRoamingOff})
            QVERIFY(classified(code) == NativeClientError::offline(code));
        for (auto code : {UrlErrorCode::badServerResponse, UrlErrorCode::badURL,
                          UrlErrorCode::secureConnectionFailed, UrlErrorCode::unknown})
            QVERIFY(classified(code) == NativeClientError::transport(code));
        const auto original = std::make_exception_ptr(NativeClientError::notFound());
        QVERIFY(NativeClientError::classify(original) == original);
        const auto other = std::make_exception_ptr(std::runtime_error("disk full"));
        QVERIFY(NativeClientError::classify(other) == other);
    }

    void responseFindsHeadersInAnyCase() {
        for (const QString name : {"retry-after", "RETRY-AFTER", "Retry-After"}) {
            const NativeResponse response("", 429, {{name, "9"}});
            QCOMPARE(response.header("Retry-After"), std::optional<QString>("9"));
            QCOMPARE(response.header("retry-after"), std::optional<QString>("9"));
            QVERIFY(response.failure() == NativeClientError::rateLimited(9.0));
        }
        const NativeResponse ok("body", 200, {});
        QVERIFY(!ok.failure());
        QCOMPARE(ok.requireSuccess().data(), QByteArray("body"));
        QVERIFY_THROWS_EXCEPTION(NativeClientError, NativeResponse("", 302, {}).requireSuccess());
    }

    // Live updates arrive as lines of text, split as the event stream format says.
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

QTEST_GUILESS_MAIN(TestNativeClientError)
#include "tst_NativeClientError.moc"
