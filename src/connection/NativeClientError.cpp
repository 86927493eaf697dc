#include "connection/NativeClientError.h"

#include "async/CancellationError.h"

#include <QLocale>
#include <QTimeZone>

namespace {
QString composed(int status) {
    return QStringLiteral("The request could not be completed (%1). Your changes have not been confirmed.")
        .arg(status);
}

bool isOfflineCode(UrlErrorCode code) {
    switch (code) {
    case UrlErrorCode::notConnectedToInternet:
    case UrlErrorCode::networkConnectionLost:
    case UrlErrorCode::cannotFindHost:
    case UrlErrorCode::cannotConnectToHost:
    case UrlErrorCode::dnsLookupFailed:
    case UrlErrorCode::timedOut:
    case UrlErrorCode::dataNotAllowed:
    case UrlErrorCode::internationalRoamingOff:
        return true;
    default:
        return false;
    }
}

// An optional sign then decimal digits only, within the signed 64-bit range.
std::optional<qint64> parseDecimalInteger(const QString &text) {
    qsizetype digitsFrom = (text.startsWith(u'+') || text.startsWith(u'-')) ? 1 : 0;
    if (digitsFrom == text.size())
        return std::nullopt;
    for (qsizetype i = digitsFrom; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

// "EEE, dd MMM yyyy HH:mm:ss zzz" in the POSIX locale, where the zone names GMT (as HTTP dates do).
std::optional<QDateTime> parseHttpDate(const QString &text) {
    const qsizetype lastSpace = text.lastIndexOf(u' ');
    if (lastSpace < 0)
        return std::nullopt;
    const QString zone = text.mid(lastSpace + 1);
    if (zone != u"GMT" && zone != u"UTC" && zone != u"UT")
        return std::nullopt;
    // Date and time are read apart and joined in UTC: read together they would be taken as local
    // time first, and a local clock change (a skipped hour) would lose or shift them.
    const QString stamp = text.left(lastSpace);
    const qsizetype timeFrom = stamp.lastIndexOf(u' ');
    if (timeFrom < 0)
        return std::nullopt;
    const QDate day = QLocale::c().toDate(stamp.left(timeFrom), QStringLiteral("ddd, dd MMM yyyy"));
    const QTime time = QLocale::c().toTime(stamp.mid(timeFrom + 1), QStringLiteral("HH:mm:ss"));
    if (!day.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(day, time, QTimeZone::utc());
}
} // namespace

NativeClientError::NativeClientError(Case kind) : m_case(kind) {}

NativeClientError &NativeClientError::finish() {
    m_what = errorDescription().toStdString();
    return *this;
}

NativeClientError NativeClientError::message(const QString &text) {
    NativeClientError e(Case::message);
    e.m_text = text;
    return e.finish();
}

NativeClientError NativeClientError::offline(UrlErrorCode code) {
    NativeClientError e(Case::offline);
    e.m_urlCode = code;
    return e.finish();
}

NativeClientError NativeClientError::conflict(const QByteArray &body) {
    NativeClientError e(Case::conflict);
    e.m_body = body;
    e.m_status = 409;
    return e.finish();
}

NativeClientError NativeClientError::rateLimited(std::optional<double> retryAfter) {
    NativeClientError e(Case::rateLimited);
    e.m_retryAfter = retryAfter;
    return e.finish();
}

NativeClientError NativeClientError::rejected(int status, const QByteArray &body) {
    NativeClientError e(Case::rejected);
    e.m_status = status;
    e.m_body = body;
    return e.finish();
}

NativeClientError NativeClientError::server(int status) {
    NativeClientError e(Case::server);
    e.m_status = status;
    return e.finish();
}

NativeClientError NativeClientError::transport(UrlErrorCode code) {
    NativeClientError e(Case::transport);
    e.m_urlCode = code;
    return e.finish();
}

NativeClientError NativeClientError::unauthorized() {
    return NativeClientError(Case::unauthorized).finish();
}

NativeClientError NativeClientError::forbidden() {
    NativeClientError e(Case::forbidden);
    e.m_status = 403;
    return e.finish();
}

NativeClientError NativeClientError::notFound() {
    return NativeClientError(Case::notFound).finish();
}

NativeClientError NativeClientError::tooLarge() {
    NativeClientError e(Case::tooLarge);
    e.m_status = 413;
    return e.finish();
}

NativeClientError NativeClientError::invalidResponse() {
    return NativeClientError(Case::invalidResponse).finish();
}

QString NativeClientError::errorDescription() const {
    switch (m_case) {
    case Case::message:
        return m_text;
    case Case::offline:
    case Case::transport:
        return urlErrorDescription(m_urlCode);
    case Case::rateLimited:
        return QStringLiteral("The server is busy. Your changes have not been confirmed.");
    case Case::conflict:
    case Case::rejected:
    case Case::server:
    case Case::forbidden:
    case Case::tooLarge:
        return composed(m_status);
    case Case::unauthorized:
        return QStringLiteral("Your session has ended. Sign out and sign in again.");
    case Case::notFound:
        return QStringLiteral("This server does not support this native feature yet.");
    case Case::invalidResponse:
        return QStringLiteral("Invalid server response.");
    }
    return QString();
}

RetryClass NativeClientError::retryClass() const {
    switch (m_case) {
    case Case::offline:
        return RetryClass::offline;
    case Case::rateLimited:
    case Case::server:
    case Case::transport:
        return RetryClass::transient;
    case Case::unauthorized:
        return RetryClass::auth;
    case Case::conflict:
        return RetryClass::conflict;
    default:
        return RetryClass::permanent;
    }
}

bool NativeClientError::operator==(const NativeClientError &other) const {
    return m_case == other.m_case && m_text == other.m_text && m_urlCode == other.m_urlCode &&
           m_body == other.m_body && m_status == other.m_status && m_retryAfter == other.m_retryAfter;
}

std::optional<NativeClientError> NativeClientError::forStatus(int status, const NativeHeaders &headers,
                                                              const QByteArray &body, const QDateTime &now) {
    const auto retryHeader = [&headers]() -> std::optional<QString> {
        const auto found = headers.constFind(QStringLiteral("retry-after"));
        if (found == headers.constEnd())
            return std::nullopt;
        return found.value();
    };
    if (status >= 200 && status <= 299)
        return std::nullopt;
    if (status == 303 || status == 401)
        return unauthorized();
    if (status == 403)
        return forbidden();
    if (status == 404)
        return notFound();
    if (status == 409)
        return conflict(body);
    if (status == 413)
        return tooLarge();
    if (status == 429)
        return rateLimited(retryAfter(retryHeader(), now));
    if (status == 503) {
        if (const auto header = retryHeader())
            return rateLimited(retryAfter(header, now));
        return server(503);
    }
    if (status >= 500 && status <= 599)
        return server(status);
    return rejected(status, body);
}

std::optional<double> NativeClientError::retryAfter(const std::optional<QString> &value,
                                                    const QDateTime &now) {
    if (!value)
        return std::nullopt;
    const QString text = trimmedHeaderValue(*value).toString();
    if (text.isEmpty())
        return std::nullopt;
    if (const auto seconds = parseDecimalInteger(text); seconds && *seconds >= 0)
        return static_cast<double>(*seconds);
    const auto date = parseHttpDate(text);
    if (!date)
        return std::nullopt;
    const double delta = static_cast<double>(now.msecsTo(*date)) / 1000.0;
    return delta < 0 ? 0.0 : delta;
}

std::exception_ptr NativeClientError::classify(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const UrlError &urlError) {
        if (urlError.code() == UrlErrorCode::cancelled)
            return std::make_exception_ptr(CancellationError());
        if (isOfflineCode(urlError.code()))
            return std::make_exception_ptr(offline(urlError.code()));
        return std::make_exception_ptr(transport(urlError.code()));
    } catch (...) {
        return error;
    }
}

std::optional<NativeClientError> NativeClientError::from(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const NativeClientError &failure) {
        return failure;
    } catch (...) {
    }
    return std::nullopt;
}

QString NativeClientError::messageOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const NativeClientError &e) {
        return e.errorDescription();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("The operation could not be completed.");
    }
}
