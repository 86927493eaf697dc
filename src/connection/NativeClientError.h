#pragma once

#include "connection/UrlError.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>

#include <exception>
#include <optional>
#include <string>

// Response headers with lower-cased names.
using NativeHeaders = QMap<QString, QString>;

// A header value without the spaces and tabs around it (line breaks are kept: they make it invalid).
inline QStringView trimmedHeaderValue(QStringView value) {
    while (!value.isEmpty() && (value.front() == u' ' || value.front() == u'\t'))
        value = value.sliced(1);
    while (!value.isEmpty() && (value.back() == u' ' || value.back() == u'\t'))
        value.chop(1);
    return value;
}

// How callers should react to a failure: wait for the network, retry later, sign in again, give
// up, or resolve a conflict. The order is part of the contract.
enum class RetryClass { offline, transient, auth, permanent, conflict };

// The one error type of the server connection layer. Each value carries the sentence shown to the
// user (errorDescription) apart from the case and payload that code inspects.
class NativeClientError : public std::exception {
public:
    enum class Case {
        message,
        offline,
        conflict,
        rateLimited,
        rejected,
        server,
        transport,
        unauthorized,
        forbidden,
        notFound,
        tooLarge,
        invalidResponse,
    };

    static NativeClientError message(const QString &text);
    static NativeClientError offline(UrlErrorCode code);
    static NativeClientError conflict(const QByteArray &body);
    static NativeClientError rateLimited(std::optional<double> retryAfter);
    static NativeClientError rejected(int status, const QByteArray &body);
    static NativeClientError server(int status);
    static NativeClientError transport(UrlErrorCode code);
    static NativeClientError unauthorized();
    static NativeClientError forbidden();
    static NativeClientError notFound();
    static NativeClientError tooLarge();
    static NativeClientError invalidResponse();

    Case kind() const { return m_case; }
    // Payloads; each is meaningful only for the cases that carry it.
    const QString &text() const { return m_text; }
    UrlErrorCode urlCode() const { return m_urlCode; }
    const QByteArray &body() const { return m_body; }
    int status() const { return m_status; }
    std::optional<double> retryAfter() const { return m_retryAfter; }

    QString errorDescription() const;
    RetryClass retryClass() const;
    const char *what() const noexcept override { return m_what.c_str(); }

    bool operator==(const NativeClientError &other) const;

    // The error an HTTP status stands for, or none for 2xx. `now` dates a Retry-After given as a date.
    static std::optional<NativeClientError> forStatus(int status, const NativeHeaders &headers,
                                                      const QByteArray &body, const QDateTime &now);
    // Seconds to wait from a Retry-After header value: a non-negative integer, or an HTTP date.
    static std::optional<double> retryAfter(const std::optional<QString> &value, const QDateTime &now);
    // Turns a URL-loading failure into `offline`, `transport` or a CancellationError; any other
    // error is returned unchanged.
    static std::exception_ptr classify(std::exception_ptr error);
    // The sentence to show for any failure: errorDescription() for this type, what() otherwise.
    static QString messageOf(std::exception_ptr error);
    // The NativeClientError that `error` holds, or none when it holds something else or nothing.
    static std::optional<NativeClientError> from(std::exception_ptr error);

private:
    explicit NativeClientError(Case kind);
    NativeClientError &finish();

    Case m_case;
    QString m_text;
    UrlErrorCode m_urlCode = UrlErrorCode::unknown;
    QByteArray m_body;
    int m_status = 0;
    std::optional<double> m_retryAfter;
    std::string m_what;
};
