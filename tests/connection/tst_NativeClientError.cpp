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
        const auto none = std::optional<NativeClientError>();
        QTest::newRow("200") << 200 << NativeHeaders() << none;
        QTest::newRow("204") << 204 << NativeHeaders() << none;
        QTest::newRow("299") << 299 << NativeHeaders() << none;
        QTest::newRow("100") << 100 << NativeHeaders()
                             << std::optional(NativeClientError::rejected(100, body));
        QTest::newRow("300") << 300 << NativeHeaders()
                             << std::optional(NativeClientError::rejected(300, body));
        QTest::newRow("302") << 302 << NativeHeaders()
                             << std::optional(NativeClientError::rejected(302, body));
        QTest::newRow("303") << 303 << NativeHeaders() << std::optional(NativeClientError::unauthorized());
        QTest::newRow("401") << 401 << NativeHeaders() << std::optional(NativeClientError::unauthorized());
        QTest::newRow("403") << 403 << NativeHeaders() << std::optional(NativeClientError::forbidden());
        QTest::newRow("404") << 404 << NativeHeaders() << std::optional(NativeClientError::notFound());
        QTest::newRow("409") << 409 << NativeHeaders() << std::optional(NativeClientError::conflict(body));
        QTest::newRow("413") << 413 << NativeHeaders() << std::optional(NativeClientError::tooLarge());
        QTest::newRow("422") << 422 << NativeHeaders()
                             << std::optional(NativeClientError::rejected(422, body));
        QTest::newRow("429 without delay")
            << 429 << NativeHeaders() << std::optional(NativeClientError::rateLimited(std::nullopt));
        QTest::newRow("429 with delay")
            << 429 << retryAfterHeader("7") << std::optional(NativeClientError::rateLimited(7.0));
        QTest::newRow("500") << 500 << NativeHeaders() << std::optional(NativeClientError::server(500));
        QTest::newRow("503 without header")
            << 503 << NativeHeaders() << std::optional(NativeClientError::server(503));
        QTest::newRow("503 with 120")
            << 503 << retryAfterHeader("120") << std::optional(NativeClientError::rateLimited(120.0));
        QTest::newRow("503 with unreadable header")
            << 503 << retryAfterHeader("soon") << std::optional(NativeClientError::rateLimited(std::nullopt));
        QTest::newRow("599") << 599 << NativeHeaders() << std::optional(NativeClientError::server(599));
        QTest::newRow("600") << 600 << NativeHeaders()
                             << std::optional(NativeClientError::rejected(600, body));
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
        QTest::newRow("message") << NativeClientError::message("Invalid server path.")
                                 << QString("Invalid server path.") << RetryClass::permanent;
        QTest::newRow("offline") << NativeClientError::offline(UrlErrorCode::timedOut)
                                 << urlErrorDescription(UrlErrorCode::timedOut) << RetryClass::offline;
        QTest::newRow("transport") << NativeClientError::transport(UrlErrorCode::badServerResponse)
                                   << urlErrorDescription(UrlErrorCode::badServerResponse)
                                   << RetryClass::transient;
        QTest::newRow("conflict") << NativeClientError::conflict("x") << composed(409)
                                  << RetryClass::conflict;
        QTest::newRow("rate limited")
            << NativeClientError::rateLimited(3.0)
            << QString("The server is busy. Your changes have not been confirmed.") << RetryClass::transient;
        QTest::newRow("rejected 422")
            << NativeClientError::rejected(422, "x") << composed(422) << RetryClass::permanent;
        QTest::newRow("server 503") << NativeClientError::server(503) << composed(503)
                                    << RetryClass::transient;
        QTest::newRow("unauthorized")
            << NativeClientError::unauthorized()
            << QString("Your session has ended. Sign out and sign in again.") << RetryClass::auth;
        QTest::newRow("forbidden") << NativeClientError::forbidden() << composed(403)
                                   << RetryClass::permanent;
        QTest::newRow("not found") << NativeClientError::notFound()
                                   << QString("This server does not support this native feature yet.")
                                   << RetryClass::permanent;
        QTest::newRow("too large") << NativeClientError::tooLarge() << composed(413) << RetryClass::permanent;
        QTest::newRow("invalid response") << NativeClientError::invalidResponse()
                                          << QString("Invalid server response.") << RetryClass::permanent;
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
        const auto none = std::optional<double>();
        QTest::newRow("absent") << std::optional<QString>() << none;
        QTest::newRow("empty") << std::optional<QString>("") << none;
        QTest::newRow("blank") << std::optional<QString>(" \t ") << none;
        QTest::newRow("30 in spaces") << std::optional<QString>("  30 ") << std::optional(30.0);
        QTest::newRow("tabs") << std::optional<QString>("\t12\t") << std::optional(12.0);
        QTest::newRow("zero") << std::optional<QString>("0") << std::optional(0.0);
        QTest::newRow("plus five") << std::optional<QString>("+5") << std::optional(5.0);
        QTest::newRow("minus five") << std::optional<QString>("-5") << none;
        QTest::newRow("line break kept") << std::optional<QString>("5\n") << none;
        QTest::newRow("word") << std::optional<QString>("later") << none;
        QTest::newRow("decimal point") << std::optional<QString>("1.5") << none;
        QTest::newRow("sign alone") << std::optional<QString>("+") << none;
        QTest::newRow("beyond 64 bits") << std::optional<QString>("99999999999999999999") << none;
        QTest::newRow("date a minute ahead")
            << std::optional<QString>("Tue, 05 Mar 2024 12:01:00 GMT") << std::optional(60.0);
        QTest::newRow("date in the past")
            << std::optional<QString>("Mon, 04 Mar 2024 12:00:00 GMT") << std::optional(0.0);
        QTest::newRow("date in a local clock change")
            << std::optional<QString>("Sun, 31 Mar 2024 02:30:00 GMT") << std::optional(2212200.0);
        QTest::newRow("date without zone") << std::optional<QString>("Tue, 05 Mar 2024 12:01:00") << none;
        QTest::newRow("date with bad month")
            << std::optional<QString>("Tue, 05 Foo 2024 12:01:00 GMT") << none;
    }

    void retryAfter() {
        QFETCH(std::optional<QString>, value);
        QFETCH(std::optional<double>, expected);
        const auto actual = NativeClientError::retryAfter(value, now);
        QCOMPARE(actual.has_value(), expected.has_value());
        if (expected)
            QCOMPARE(*actual, *expected);
    }

    void classify_data() {
        QTest::addColumn<UrlErrorCode>("code");
        QTest::addColumn<int>("outcome"); // 0 cancellation, 1 offline, 2 transport
        QTest::newRow("cancelled") << UrlErrorCode::cancelled << 0;
        for (auto code :
             {UrlErrorCode::notConnectedToInternet, UrlErrorCode::networkConnectionLost,
              UrlErrorCode::cannotFindHost, UrlErrorCode::cannotConnectToHost, UrlErrorCode::dnsLookupFailed,
              UrlErrorCode::timedOut, UrlErrorCode::dataNotAllowed, UrlErrorCode::internationalRoamingOff})
            QTest::addRow("offline %d", static_cast<int>(code)) << code << 1;
        for (auto code : {UrlErrorCode::badServerResponse, UrlErrorCode::badURL,
                          UrlErrorCode::secureConnectionFailed, UrlErrorCode::unknown})
            QTest::addRow("transport %d", static_cast<int>(code)) << code << 2;
    }

    void classify() {
        QFETCH(UrlErrorCode, code);
        QFETCH(int, outcome);
        const auto classified = NativeClientError::classify(std::make_exception_ptr(UrlError(code)));
        try {
            std::rethrow_exception(classified);
        } catch (const CancellationError &) {
            QCOMPARE(outcome, 0);
        } catch (const NativeClientError &error) {
            QCOMPARE(error.kind(),
                     outcome == 1 ? NativeClientError::Case::offline : NativeClientError::Case::transport);
            QCOMPARE(error.urlCode(), code);
            QCOMPARE(error.retryClass(), outcome == 1 ? RetryClass::offline : RetryClass::transient);
        }
    }

    void classifyPassesOtherErrorsThrough() {
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
