#pragma once

#include "updates/NativeAppcast.h"

#include <QDateTime>
#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QSslCertificate>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

class QNetworkReply;

// Updates the application from a signed feed: reads the feed over HTTPS, and when it offers a newer
// version downloads the package, checks its Ed25519 signature against the public key and only then
// hands it to the desktop to open (which offers to install it). A package whose signature does not
// verify is removed. While automatic checks are on (kept in the settings), checks once a day.
//
// A check ends with exactly one checkFinished(); canCheckForUpdates is false while it runs.
// Destroying the updater aborts a running check without a signal.
class NativeFeedUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
    Q_PROPERTY(bool automaticallyChecksForUpdates READ automaticallyChecksForUpdates WRITE
                   setAutomaticallyChecksForUpdates NOTIFY automaticallyChecksForUpdatesChanged)
public:
    enum class Outcome { UpToDate, Offered, Refused, Failed };
    Q_ENUM(Outcome)

    struct Options {
        QString currentVersion;                      // default: this build's version
        QString downloadFolder;                      // default: "updates" in the cache folder
        std::function<bool(const QUrl &)> open;      // default: QDesktopServices::openUrl
        std::shared_ptr<QSettings> settings;         // default: the application's settings
        QList<QSslCertificate> extraCertificates;    // for tests: authorities trusted besides the system's
        std::chrono::milliseconds startDelay{60000}; // before the first automatic check of a run
    };

    static constexpr auto automaticChecksKey = "SUEnableAutomaticChecks";
    static constexpr auto lastCheckKey = "SULastCheckTime";
    static constexpr qint64 checkIntervalSeconds = 24 * 60 * 60;
    static constexpr qint64 maxFeedBytes = 1 << 20;
    static constexpr qint64 maxPackageBytes = qint64(1) << 30;

    // `feed` must be an https URL and `publicKey` 32 bytes; the owner checks both first.
    NativeFeedUpdater(const QUrl &feed, const QByteArray &publicKey, Options options,
                      QObject *parent = nullptr);
    ~NativeFeedUpdater() override;

    bool canCheckForUpdates() const { return m_canCheck; }
    bool automaticallyChecksForUpdates() const { return m_automatic; }
    void setAutomaticallyChecksForUpdates(bool on);

    // Starts a check the person asked for; ignored while one runs.
    void checkForUpdates();

    QString lastMessage() const { return m_message; }
    // The verified package of the last offered update, kept until the next check.
    QString packagePath() const { return m_packagePath; }

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheck);
    void automaticallyChecksForUpdatesChanged(bool on);
    void checkFinished(NativeFeedUpdater::Outcome outcome, const QString &message, bool userInitiated);

private:
    void check(bool userInitiated);
    void feedFinished();
    void startDownload(const NativeAppcast::Item &item);
    void downloadReadyRead();
    void downloadFinished();
    void finish(Outcome outcome, const QString &message);
    void discardPackage();
    void schedule();
    void setCanCheck(bool canCheck);
    QNetworkReply *get(const QUrl &url);
    // A sentence for a failed transfer, or empty when the reply succeeded with status 200.
    static QString transferFailure(QNetworkReply *reply, const QString &what);

    QUrl m_feed;
    QByteArray m_publicKey;
    Options m_options;
    QNetworkAccessManager m_network;
    QTimer m_timer;
    bool m_canCheck = true;
    bool m_automatic = false;
    bool m_userInitiated = false;
    bool m_tooLarge = false;
    QPointer<QNetworkReply> m_reply;
    NativeAppcast::Item m_item;
    QFile m_package;
    qint64 m_received = 0;
    QString m_packagePath;
    QString m_message;
};
