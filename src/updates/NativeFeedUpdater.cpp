#include "NativeFeedUpdater.h"

#include "updates/NativePackageSignature.h"
#include "updates/NativeUpdateBuildConfig.h"

#include <QDesktopServices>
#include <QDir>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QStandardPaths>

#include <algorithm>
#include <stdexcept>

namespace {
constexpr int transferTimeoutMs = 30000;

// Keeps a file name from the download address to letters, digits and ".-_+", never hidden.
QString packageFileName(const QUrl &url) {
    QString name = url.fileName();
    name.removeIf([](QChar c) {
        return !(c.isLetterOrNumber() && c.unicode() < 128) && c != u'.' && c != u'-' && c != u'_' &&
               c != u'+';
    });
    while (name.startsWith(u'.'))
        name.remove(0, 1);
    return name.isEmpty() ? QStringLiteral("update") : name;
}

int httpStatus(QNetworkReply *reply) {
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}
} // namespace

NativeFeedUpdater::NativeFeedUpdater(const QUrl &feed, const QByteArray &publicKey, Options options,
                                     QObject *parent)
    : QObject(parent), m_feed(feed), m_publicKey(publicKey), m_options(std::move(options)) {
    if (m_options.currentVersion.isEmpty())
        m_options.currentVersion = QStringLiteral(TABREL_UPDATE_CURRENT_VERSION);
    if (m_options.downloadFolder.isEmpty())
        m_options.downloadFolder =
            QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/updates");
    if (!m_options.open)
        m_options.open = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    if (!m_options.settings)
        m_options.settings = std::make_shared<QSettings>();
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_automatic = m_options.settings->value(QLatin1String(automaticChecksKey), false).toBool();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { check(false); });
    schedule();
}

NativeFeedUpdater::~NativeFeedUpdater() {
    if (m_reply) {
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply->abort();
    }
    if (m_package.isOpen()) {
        m_package.close();
        m_package.remove();
    }
}

void NativeFeedUpdater::setAutomaticallyChecksForUpdates(bool on) {
    if (on == m_automatic)
        return;
    m_automatic = on;
    m_options.settings->setValue(QLatin1String(automaticChecksKey), on);
    Q_EMIT automaticallyChecksForUpdatesChanged(on);
    schedule();
}

void NativeFeedUpdater::checkForUpdates() {
    check(true);
}

void NativeFeedUpdater::setCanCheck(bool canCheck) {
    if (canCheck == m_canCheck)
        return;
    m_canCheck = canCheck;
    Q_EMIT canCheckForUpdatesChanged(canCheck);
}

// The next automatic check is due a day after the last one, and never sooner than the start delay.
void NativeFeedUpdater::schedule() {
    if (!m_automatic) {
        m_timer.stop();
        return;
    }
    const QDateTime last = m_options.settings->value(QLatin1String(lastCheckKey)).toDateTime();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    qint64 waitMs = last.isValid() ? now.msecsTo(last.addSecs(checkIntervalSeconds)) : 0;
    waitMs = std::clamp<qint64>(waitMs, m_options.startDelay.count(), checkIntervalSeconds * 1000);
    m_timer.start(std::chrono::milliseconds(waitMs));
}

QNetworkReply *NativeFeedUpdater::get(const QUrl &url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    if (!m_options.extraCertificates.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(m_options.extraCertificates);
        request.setSslConfiguration(tls);
    }
    return m_network.get(request);
}

QString NativeFeedUpdater::transferFailure(QNetworkReply *reply, const QString &what) {
    const int status = httpStatus(reply);
    if (status != 0 && status != 200)
        return tr("The %1 could not be loaded: the server answered %2.").arg(what).arg(status);
    // The transfer timeout aborts the reply; nothing else here cancels one that still reports.
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return tr("The %1 could not be loaded: the server did not answer in time.").arg(what);
    if (reply->error() != QNetworkReply::NoError)
        return tr("The %1 could not be loaded: %2").arg(what, reply->errorString());
    return {};
}

void NativeFeedUpdater::check(bool userInitiated) {
    if (!m_canCheck)
        return;
    setCanCheck(false);
    m_userInitiated = userInitiated;
    m_options.settings->setValue(QLatin1String(lastCheckKey), QDateTime::currentDateTimeUtc());
    m_reply = get(m_feed);
    auto *reply = m_reply.data();
    m_tooLarge = false;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply->bytesAvailable() > maxFeedBytes) {
            m_tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, &NativeFeedUpdater::feedFinished);
}

void NativeFeedUpdater::feedFinished() {
    QNetworkReply *reply = m_reply;
    reply->deleteLater();
    if (m_tooLarge)
        return finish(Outcome::Failed, tr("The update feed is larger than 1 MiB."));
    if (const QString failure = transferFailure(reply, tr("update feed")); !failure.isEmpty())
        return finish(Outcome::Failed, failure);
    std::optional<NativeAppcast::Item> item;
    try {
        item = NativeAppcast::newest(reply->readAll());
    } catch (const std::runtime_error &error) {
        return finish(Outcome::Failed, QString::fromStdString(error.what()));
    }
    const QVersionNumber current = QVersionNumber::fromString(m_options.currentVersion);
    if (!item || item->version <= current)
        return finish(Outcome::UpToDate,
                      tr("You have the newest version (%1).").arg(m_options.currentVersion));
    if (item->url.scheme() != QLatin1String("https"))
        return finish(Outcome::Refused, tr("The update feed offers a download that is not on HTTPS."));
    if (item->length > maxPackageBytes)
        return finish(Outcome::Refused, tr("The update feed announces a download larger than 1 GiB."));
    startDownload(*item);
}

void NativeFeedUpdater::startDownload(const NativeAppcast::Item &item) {
    m_item = item;
    m_received = 0;
    const QDir folder(m_options.downloadFolder);
    if (!folder.mkpath(QStringLiteral(".")))
        return finish(Outcome::Failed, tr("Could not create the folder %1.").arg(folder.path()));
    // Written under a ".part" name and renamed only once verified, so no unverified file ever
    // carries the package's name.
    m_package.setFileName(folder.filePath(packageFileName(item.url) + QStringLiteral(".part")));
    if (!m_package.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return finish(Outcome::Failed, tr("Could not save the update: %1").arg(m_package.errorString()));
    m_reply = get(item.url);
    connect(m_reply, &QNetworkReply::readyRead, this, &NativeFeedUpdater::downloadReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &NativeFeedUpdater::downloadFinished);
}

// Writes what arrived; stops the transfer once it runs past the announced length.
void NativeFeedUpdater::downloadReadyRead() {
    const QByteArray data = m_reply->readAll();
    if (httpStatus(m_reply) != 200 || !m_package.isOpen())
        return;
    m_received += data.size();
    if (m_received > m_item.length || m_package.write(data) != data.size()) {
        m_package.close();
        m_reply->abort();
    }
}

void NativeFeedUpdater::downloadFinished() {
    QNetworkReply *reply = m_reply;
    reply->deleteLater();
    if (m_package.isOpen())
        downloadReadyRead();
    const bool written = m_package.isOpen();
    m_package.close();
    const QString version = m_item.version.toString();
    if (m_received > m_item.length) {
        discardPackage();
        return finish(Outcome::Failed, tr("The update download is larger than the feed announced."));
    }
    if (!written) {
        discardPackage();
        return finish(Outcome::Failed, tr("Could not save the update: %1").arg(m_package.errorString()));
    }
    if (const QString failure = transferFailure(reply, tr("update")); !failure.isEmpty()) {
        discardPackage();
        return finish(Outcome::Failed, failure);
    }
    if (m_received != m_item.length) {
        discardPackage();
        return finish(Outcome::Failed, tr("The update download ended before its announced size."));
    }
    if (!NativePackageSignature::verifies(m_package.fileName(), m_item.signature, m_publicKey)) {
        discardPackage();
        return finish(Outcome::Refused,
                      tr("The update to version %1 could not be verified and was removed.").arg(version));
    }
    const QString path = m_package.fileName().chopped(5);
    QFile::remove(path);
    if (!m_package.rename(path)) {
        discardPackage();
        return finish(Outcome::Failed, tr("Could not save the update: %1").arg(m_package.errorString()));
    }
    m_packagePath = path;
    if (!m_options.open(QUrl::fromLocalFile(m_packagePath)))
        return finish(Outcome::Failed, tr("The update to version %1 was verified but could not be opened; it "
                                          "is in %2.")
                                           .arg(version, m_packagePath));
    finish(Outcome::Offered, tr("The update to version %1 was downloaded and verified.").arg(version));
}

void NativeFeedUpdater::discardPackage() {
    m_package.remove();
}

void NativeFeedUpdater::finish(Outcome outcome, const QString &message) {
    m_reply.clear();
    m_message = message;
    setCanCheck(true);
    Q_EMIT checkFinished(outcome, message, m_userInitiated);
    schedule();
}
