#include "connection/UrlError.h"

QString urlErrorDescription(UrlErrorCode code) {
    switch (code) {
    case UrlErrorCode::cancelled:
        return QStringLiteral("The request was cancelled.");
    case UrlErrorCode::badURL:
        return QStringLiteral("The server address is not valid.");
    case UrlErrorCode::timedOut:
        return QStringLiteral("The request timed out.");
    case UrlErrorCode::unsupportedURL:
        return QStringLiteral("The server address is not supported.");
    case UrlErrorCode::cannotFindHost:
        return QStringLiteral("A server with the specified hostname could not be found.");
    case UrlErrorCode::cannotConnectToHost:
        return QStringLiteral("Could not connect to the server.");
    case UrlErrorCode::networkConnectionLost:
        return QStringLiteral("The network connection was lost.");
    case UrlErrorCode::dnsLookupFailed:
        return QStringLiteral("The server’s name could not be looked up.");
    case UrlErrorCode::notConnectedToInternet:
        return QStringLiteral("The Internet connection appears to be offline.");
    case UrlErrorCode::badServerResponse:
        return QStringLiteral("The server sent a response that could not be read.");
    case UrlErrorCode::secureConnectionFailed:
        return QStringLiteral("A secure connection to the server could not be made.");
    case UrlErrorCode::serverCertificateUntrusted:
        return QStringLiteral("The server’s certificate is not trusted.");
    case UrlErrorCode::dataNotAllowed:
        return QStringLiteral("The network does not allow data for this application.");
    case UrlErrorCode::internationalRoamingOff:
        return QStringLiteral("International roaming is off.");
    case UrlErrorCode::unknown:
        break;
    }
    return QStringLiteral("An unknown network error occurred.");
}

UrlErrorCode urlErrorCodeFor(QNetworkReply::NetworkError error) {
    using E = QNetworkReply::NetworkError;
    switch (error) {
    case E::OperationCanceledError:
        return UrlErrorCode::cancelled;
    case E::ConnectionRefusedError:
    case E::ProxyConnectionRefusedError:
    case E::ProxyConnectionClosedError:
    case E::ProxyAuthenticationRequiredError:
        return UrlErrorCode::cannotConnectToHost;
    case E::RemoteHostClosedError:
    case E::TemporaryNetworkFailureError:
        return UrlErrorCode::networkConnectionLost;
    case E::HostNotFoundError:
    case E::ProxyNotFoundError:
        return UrlErrorCode::cannotFindHost;
    case E::TimeoutError:
    case E::ProxyTimeoutError:
        return UrlErrorCode::timedOut;
    case E::SslHandshakeFailedError:
        return UrlErrorCode::secureConnectionFailed;
    case E::NetworkSessionFailedError:
        return UrlErrorCode::notConnectedToInternet;
    case E::BackgroundRequestNotAllowedError:
        return UrlErrorCode::dataNotAllowed;
    case E::ProtocolUnknownError:
        return UrlErrorCode::unsupportedURL;
    case E::ProtocolInvalidOperationError:
    case E::ProtocolFailure:
        return UrlErrorCode::badServerResponse;
    default:
        return UrlErrorCode::unknown;
    }
}

UrlError::UrlError(UrlErrorCode code) : m_code(code), m_what(urlErrorDescription(code).toStdString()) {}
