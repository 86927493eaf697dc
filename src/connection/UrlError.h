#pragma once

#include <QNetworkReply>
#include <QString>

#include <exception>
#include <string>

// The URL-loading failures the connection layer tells apart, named after the codes the rest of the
// system reasons about. Qt's network errors are mapped onto them; HTTP statuses never are.
enum class UrlErrorCode {
    cancelled,
    badURL,
    timedOut,
    unsupportedURL,
    cannotFindHost,
    cannotConnectToHost,
    networkConnectionLost,
    dnsLookupFailed,
    notConnectedToInternet,
    badServerResponse,
    secureConnectionFailed,
    serverCertificateUntrusted,
    dataNotAllowed,
    internationalRoamingOff,
    unknown,
};

// A short description of the code for people, as the platform's URL layer would give it.
QString urlErrorDescription(UrlErrorCode code);

// The code for a failure Qt reported on a reply. Errors that only restate an HTTP status map to
// `unknown`; callers look at the status for those.
UrlErrorCode urlErrorCodeFor(QNetworkReply::NetworkError error);

// A failure of URL loading itself (no usable HTTP answer), before classification.
class UrlError : public std::exception {
public:
    explicit UrlError(UrlErrorCode code);
    UrlErrorCode code() const { return m_code; }
    const char *what() const noexcept override { return m_what.c_str(); }

private:
    UrlErrorCode m_code;
    std::string m_what;
};
