#include "connection/NativeBrowserSignIn.h"

NativeBrowserSignIn::NativeBrowserSignIn(Opener opener) : m_opener(std::move(opener)) {}

bool NativeBrowserSignIn::start(const QUrl &url, const QString &scheme) {
    cancel();
    // The scheme is registered for the application by its desktop file; nothing to set up here.
    Q_UNUSED(scheme);
    m_active = m_opener && m_opener(url);
    return m_active;
}

void NativeBrowserSignIn::cancel() {
    m_generation = QUuid::createUuid();
    m_active = false;
}
