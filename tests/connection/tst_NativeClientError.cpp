#include "async/CancellationError.h"
#include "connection/NativeClientError.h"
#include "connection/NativeResponse.h"

#include <QTest>
#include <QTimeZone>

namespace {
const QDateTime now = QDateTime(QDate(2024, 3, 5), QTime(12, 0, 0), QTimeZone::utc());

QString composed(int status) {
    return QStringLiteral("The request could not be completed (%1). Your changes have not been confirmed.")
        .arg(status);
}

NativeHeaders retryAfterHeader(const QString &value) {
    return {{QStringLiteral("retry-after"), value}};
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
                << status << (retry ? retryAfterHeader(retry) : NativeHeaders()) << expected;
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
};

QTEST_GUILESS_MAIN(TestNativeClientError)
#include "tst_NativeClientError.moc"
