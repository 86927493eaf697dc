#include "connection/NativeHTTP.h"

#include "connection/NativeReply.h"
#include "connection/NativeStreamLines.h"
#include "connection/NoCookieJar.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <system_error>

namespace {
constexpr qint64 largestMaxBytes = 268'435'456;
constexpr qint64 streamReadSize = 64 * 1024;
constexpr qint64 downloadReadSize = 1024 * 1024;

NativeClientError invalidPath() {
    return NativeClientError::message(QStringLiteral("Invalid server path."));
}

NativeClientError invalidDestination() {
    return NativeClientError::message(QStringLiteral("Invalid export destination."));
}

// The media type of a Content-Type value: its first non-empty ";" piece, trimmed and lower-cased.
bool isEventStream(const NativeHeaders &headers) {
    const auto found = headers.constFind(QStringLiteral("content-type"));
    if (found == headers.constEnd())
        return false;
    const QStringList pieces = found.value().split(u';', Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return false;
    return trimmedHeaderValue(pieces.first()).compare(u"text/event-stream", Qt::CaseInsensitive) == 0;
}

[[noreturn]] void throwFileError(const char *what, const QString &path, int error) {
    throw std::filesystem::filesystem_error(
        what, std::filesystem::path(QFile::encodeName(path).toStdString()),
        std::error_code(error != 0 ? error : EIO, std::generic_category()));
}

// An absolute local path from a plain path or a file URL; anything else is refused.
QString localDestination(const QString &destination) {
    QString path = destination;
    if (destination.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive)) {
        const QUrl url(destination);
        // A file URL naming another host is a network share, not a local file.
        if (!url.isValid() || !url.isLocalFile() || (!url.host().isEmpty() && url.host() != u"localhost"))
            throw invalidDestination();
        path = url.toLocalFile();
    }
    if (path.isEmpty() || !QDir::isAbsolutePath(path) || path.endsWith(u'/'))
        throw invalidDestination();
    return QDir::cleanPath(path);
}

// Moves `from` to `to` unless a file already exists there.
void moveWithoutReplacing(const QString &from, const QString &to) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS)
        throwFileError("Could not save the export", to, error);
    // File systems that cannot refuse to replace: check, then move.
    if (QFileInfo::exists(to))
        throwFileError("Could not save the export", to, EEXIST);
    if (std::rename(source.constData(), target.constData()) != 0)
        throwFileError("Could not save the export", to, errno);
}
} // namespace

QUrl NativeHTTP::origin(const QString &typed) {
    const auto refuse = [] {
        return NativeClientError::message(
            QStringLiteral("Enter your server’s HTTPS address, without a page path."));
    };
    const QString text = typed.trimmed();
    const QUrl url(text, QUrl::StrictMode);
    const qsizetype schemeEnd = text.indexOf(QStringLiteral("://"));
    if (!url.isValid() || url.host().isEmpty() || schemeEnd < 0)
        throw refuse();
    // The authority as typed: QUrl does not tell an empty user name from none, nor keep the host's spelling.
    const qsizetype authorityFrom = schemeEnd + 3;
    qsizetype authorityTo = authorityFrom;
    while (authorityTo < text.size() && text[authorityTo] != u'/' && text[authorityTo] != u'?' &&
           text[authorityTo] != u'#')
        ++authorityTo;
    const QString authority = text.mid(authorityFrom, authorityTo - authorityFrom);
    if (authority.contains(u'@') || url.hasQuery() || url.hasFragment())
        throw refuse();
    const QString path = url.path(QUrl::FullyEncoded);
    if (!path.isEmpty() && path != u"/")
        throw refuse();
    const QString scheme = url.scheme();
    if (scheme != u"https" && scheme != u"http")
        throw refuse();
    if (scheme == u"http") {
        QString host = authority;
        if (host.startsWith(u'['))
            host = host.left(host.indexOf(u']') + 1);
        else if (const qsizetype colon = host.lastIndexOf(u':'); colon >= 0)
            host = host.left(colon);
        if (host != u"localhost" && host != u"127.0.0.1" && host != u"[::1]")
            throw refuse();
    }
    QUrl result;
    result.setScheme(scheme);
    result.setHost(url.host());
    result.setPort(url.port());
    return result;
}

std::shared_ptr<NativeHTTP> NativeHTTP::create(QUrl origin, std::optional<NativeSession> credential,
                                               NativeTransportObserver observer,
                                               NativeHTTPTimeouts timeouts) {
    return std::make_shared<NativeHTTP>(Passkey{}, std::move(origin), std::move(credential),
                                        std::move(observer), timeouts);
}

NativeHTTP::NativeHTTP(Passkey, QUrl origin, std::optional<NativeSession> credential,
                       NativeTransportObserver observer, NativeHTTPTimeouts timeouts)
    : m_origin(std::move(origin)), m_credential(std::move(credential)), m_observer(std::move(observer)),
      m_timeouts(timeouts), m_manager(makeManager()) {}

NativeHTTP::~NativeHTTP() = default;

QNetworkAccessManager *NativeHTTP::makeManager() const {
    auto *manager = new QNetworkAccessManager;
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager->setCookieJar(new NoCookieJar(manager));
    manager->setCache(nullptr);
    manager->setAutoDeleteReplies(false);
    // Qt restarts this timer whenever bytes arrive, so it is the idle timeout, not a limit on the whole
    // transfer.
    manager->setTransferTimeout(static_cast<int>(m_timeouts.idle.count()));
    return manager;
}

QNetworkRequest NativeHTTP::makeRequest(const QString &path, bool hasBody, const QString &contentType) const {
    if (!path.startsWith(u'/') || path.startsWith(QStringLiteral("//")))
        throw invalidPath();
    const QUrl relative(path);
    if (!relative.isValid())
        throw invalidPath();
    const QUrl url = m_origin.resolved(relative);
    if (!url.isValid() || url.scheme() != m_origin.scheme() || url.host() != m_origin.host() ||
        url.port() != m_origin.port())
        throw invalidPath();

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setRawHeader("Origin", m_origin.toString(QUrl::FullyEncoded).toUtf8());
    request.setRawHeader("Accept", "application/json");
    if (hasBody)
        request.setRawHeader("Content-Type", contentType.toUtf8());
    if (m_credential)
        request.setRawHeader("Cookie", (m_credential->name + u'=' + m_credential->value).toUtf8());
    return request;
}

QNetworkReply *NativeHTTP::send(const QNetworkRequest &request, const QString &method,
                                const std::optional<QByteArray> &body) const {
    if (method == u"GET" && !body)
        return m_manager->get(request);
    if (body)
        return m_manager->sendCustomRequest(request, method.toUtf8(), *body);
    return m_manager->sendCustomRequest(request, method.toUtf8());
}

void NativeHTTP::report(const NativeTransportOutcome &outcome) const {
    if (m_observer)
        m_observer(outcome);
}

void NativeHTTP::rethrowClassified(std::exception_ptr error) const {
    const std::exception_ptr classified = NativeClientError::classify(error);
    try {
        std::rethrow_exception(classified);
    } catch (const NativeClientError &failure) {
        if (failure.kind() == NativeClientError::Case::offline)
            report(NativeTransportOutcome::offline(failure.urlCode()));
    } catch (...) {
    }
    std::rethrow_exception(classified);
}

QCoro::Task<> NativeHTTP::awaitHead(NativeReply &reply) const {
    try {
        co_await reply.head();
    } catch (...) {
        rethrowClassified(std::current_exception());
    }
    report(NativeTransportOutcome::responded(reply.status()));
}

QCoro::Task<QByteArray> NativeHTTP::readBody(NativeReply &reply, qint64 maxBytes) const {
    try {
        co_return co_await reply.read(maxBytes);
    } catch (...) {
        rethrowClassified(std::current_exception());
    }
}

QCoro::Task<NativeResponse> NativeHTTP::responseDetails(QString path, QString method,
                                                        std::optional<QByteArray> body, QString contentType,
                                                        qint64 maxBytes, CancellationToken token) {
    const auto self = shared_from_this();
    if (maxBytes < 1 || maxBytes > largestMaxBytes)
        throw NativeClientError::message(QStringLiteral("Invalid response size limit."));
    const QNetworkRequest request = makeRequest(path, body.has_value(), contentType);
    token.throwIfCancelled();
    NativeReply reply(send(request, method, body), token, m_timeouts.request);
    co_await awaitHead(reply);
    QByteArray data;
    for (;;) {
        // One byte past the limit is enough to know the body is too large.
        const QByteArray chunk = co_await readBody(reply, maxBytes - data.size() + 1);
        if (chunk.isEmpty())
            break;
        if (data.size() + chunk.size() > maxBytes)
            throw NativeClientError::message(QStringLiteral("The server response is too large."));
        data += chunk;
    }
    co_return NativeResponse(std::move(data), reply.status(), reply.headers());
}

QCoro::Task<> NativeHTTP::stream(QString path, OpenHandler onOpen, LineHandler onLine,
                                 CancellationToken token) {
    const auto self = shared_from_this();
    QNetworkRequest request = makeRequest(path, false, QStringLiteral("application/json"));
    request.setRawHeader("Accept", "text/event-stream");
    token.throwIfCancelled();
    // Declared before the reply, so the reply is aborted before its manager goes.
    const std::unique_ptr<QNetworkAccessManager> manager(makeManager());
    NativeReply reply(manager->get(request), token, m_timeouts.request);
    co_await awaitHead(reply);
    // An open stream may stay quiet between events for as long as the server keeps it alive; from
    // here on only the idle timeout ends it.
    reply.stopRequestTimer();
    const int status = reply.status();
    const NativeHeaders headers = reply.headers();
    NativeResponse(QByteArray(), status, headers).requireSuccess();
    if (status != 200 || !isEventStream(headers))
        throw NativeClientError::message(
            QStringLiteral("The live connection was refused. Reconnect to refresh your session."));
    token.throwIfCancelled();
    co_await onOpen();

    NativeStreamLines lines;
    for (;;) {
        const QByteArray chunk = co_await readBody(reply, streamReadSize);
        if (chunk.isEmpty())
            co_return; // the server ended the response; an unterminated last line is dropped
        QByteArrayView rest(chunk);
        while (!rest.isEmpty()) {
            token.throwIfCancelled();
            if (auto line = lines.append(rest))
                co_await onLine(line->toByteArray());
        }
    }
}

QCoro::Task<> NativeHTTP::download(QString path, QString destination, CancellationToken token) {
    const auto self = shared_from_this();
    const QString target = localDestination(destination);
    const QNetworkRequest request = makeRequest(path, false, QStringLiteral("application/json"));
    token.throwIfCancelled();
    NativeReply reply(m_manager->get(request), token, m_timeouts.request);
    co_await awaitHead(reply);
    // A large export may take longer than the request limit; the idle timeout still applies.
    reply.stopRequestTimer();
    const int status = reply.status();
    NativeResponse(QByteArray(), status, reply.headers()).requireSuccess();
    if (status != 200)
        throw NativeClientError::message(
            QStringLiteral("The export could not be completed. Refresh your session and try again."));

    // Beside the destination, so the final move stays on one file system. Removed on every path
    // unless the move succeeded. The name is short and fixed: one built from the destination's
    // name would pass the file system's name limit for a long destination name.
    const QFileInfo targetInfo(target);
    QTemporaryFile temporary(targetInfo.absolutePath() + QStringLiteral("/.tabrel-export-XXXXXX.part"));
    if (!temporary.open())
        throwFileError("Could not create the export file", temporary.fileTemplate(), errno);
    for (;;) {
        const QByteArray chunk = co_await readBody(reply, downloadReadSize);
        if (chunk.isEmpty())
            break;
        if (temporary.write(chunk) != chunk.size())
            throwFileError("Could not write the export file", temporary.fileName(), errno);
    }
    if (!temporary.flush())
        throwFileError("Could not write the export file", temporary.fileName(), errno);
    if (!temporary.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        throwFileError("Could not set the export file's permissions", temporary.fileName(), errno);
    temporary.close();
    moveWithoutReplacing(temporary.fileName(), target);
    temporary.setAutoRemove(false);
}
