#include "NativeUpdater.h"

#include "updates/NativePackageSignature.h"
#include "updates/NativeUpdateBuildConfig.h"

#include <QRegularExpression>
#include <QUrl>

namespace {
// QUrl forgets an empty user ("https://@host"); the address text still names one.
bool hasUserInfo(const QString &text) {
    const qsizetype start = text.indexOf(QStringLiteral("://"));
    if (start < 0)
        return false;
    const QString rest = text.mid(start + 3);
    const qsizetype end = rest.indexOf(QRegularExpression(QStringLiteral("[/?#]")));
    return rest.left(end < 0 ? rest.size() : end).contains(u'@');
}
} // namespace

QVariantMap NativeUpdater::bundleInfo() {
    return {{QLatin1String(feedUrlKey), QStringLiteral(TABREL_UPDATE_FEED_URL)},
            {QLatin1String(publicKeyKey), QStringLiteral(TABREL_UPDATE_PUBLIC_KEY)}};
}

bool NativeUpdater::validConfiguration(const QVariantMap &info) {
    const QVariant feed = info.value(QLatin1String(feedUrlKey));
    const QVariant key = info.value(QLatin1String(publicKeyKey));
    if (feed.typeId() != QMetaType::QString || key.typeId() != QMetaType::QString)
        return false;
    const QUrl url(feed.toString(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty() ||
        hasUserInfo(feed.toString()) || url.hasFragment())
        return false;
    return NativePackageSignature::decodeBase64(key.toString().toLatin1()).size() == 32;
}

NativeUpdater::NativeUpdater(const QVariantMap &info, NativeFeedUpdater::Options options, QObject *parent)
    : QObject(parent) {
    if (!validConfiguration(info))
        return;
    const QByteArray key =
        NativePackageSignature::decodeBase64(info.value(QLatin1String(publicKeyKey)).toString().toLatin1());
    m_controller = new NativeFeedUpdater(QUrl(info.value(QLatin1String(feedUrlKey)).toString()), key,
                                         std::move(options), this);
    connect(m_controller, &NativeFeedUpdater::canCheckForUpdatesChanged, this,
            &NativeUpdater::mirrorCanCheck);
    connect(m_controller, &NativeFeedUpdater::automaticallyChecksForUpdatesChanged, this,
            &NativeUpdater::mirrorAutomaticChecks);
    mirrorCanCheck(m_controller->canCheckForUpdates());
    mirrorAutomaticChecks(m_controller->automaticallyChecksForUpdates());
}

void NativeUpdater::mirrorCanCheck(bool canCheck) {
    if (canCheck == m_canCheck)
        return;
    m_canCheck = canCheck;
    Q_EMIT canCheckForUpdatesChanged(canCheck);
}

void NativeUpdater::mirrorAutomaticChecks(bool on) {
    if (on == m_automaticChecks)
        return;
    m_automaticChecks = on;
    Q_EMIT automaticChecksChanged(on);
}

void NativeUpdater::setAutomaticallyChecksForUpdates(bool on) {
    if (m_controller && m_controller->automaticallyChecksForUpdates() != on)
        m_controller->setAutomaticallyChecksForUpdates(on);
}

void NativeUpdater::checkForUpdates() {
    if (m_canCheck && m_controller)
        m_controller->checkForUpdates();
}
