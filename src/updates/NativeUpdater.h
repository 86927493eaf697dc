#pragma once

#include "updates/NativeFeedUpdater.h"

#include <QObject>
#include <QVariantMap>

// Decides whether updating is configured at all and, when it is, starts the feed updater and
// mirrors its two flags. The configuration is baked into the build (bundleInfo()); without a valid
// feed address and signing key nothing is started, for the whole run, and the menu items stay
// disabled. Lives on the GUI thread for the whole process.
class NativeUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isConfigured READ isConfigured CONSTANT)
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
    Q_PROPERTY(bool automaticallyChecksForUpdates READ automaticallyChecksForUpdates WRITE
                   setAutomaticallyChecksForUpdates NOTIFY automaticChecksChanged)
public:
    static constexpr auto feedUrlKey = "SUFeedURL";
    static constexpr auto publicKeyKey = "SUPublicEDKey";

    // The two keys as this build was configured with them (TABREL_UPDATE_FEED_URL and
    // TABREL_UPDATE_PUBLIC_KEY).
    static QVariantMap bundleInfo();
    // True when "SUFeedURL" is an https URL with a host and no user, password or fragment, and
    // "SUPublicEDKey" is standard Base64 of exactly 32 bytes.
    static bool validConfiguration(const QVariantMap &info);

    explicit NativeUpdater(const QVariantMap &info = bundleInfo(), NativeFeedUpdater::Options options = {},
                           QObject *parent = nullptr);

    bool isConfigured() const { return m_controller != nullptr; }
    bool canCheckForUpdates() const { return m_canCheck; }
    bool automaticallyChecksForUpdates() const { return m_automaticChecks; }
    // Forwards to the feed updater when the value differs; the mirror then follows it.
    void setAutomaticallyChecksForUpdates(bool on);
    // Asks the feed updater to check now, when it can.
    void checkForUpdates();

    // Present only when configured.
    NativeFeedUpdater *controller() const { return m_controller; }

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheck);
    void automaticChecksChanged(bool on);

private:
    void mirrorCanCheck(bool canCheck);
    void mirrorAutomaticChecks(bool on);

    NativeFeedUpdater *m_controller = nullptr;
    bool m_canCheck = false;
    bool m_automaticChecks = false;
};
