#include "connection/NativeBrowserSignIn.h"

NativeBrowserSignIn::NativeBrowserSignIn(Opener opener) : m_opener(std::move(opener)) {}

QCoro::Task<bool> NativeBrowserSignIn::start(QUrl url, QString scheme) {
    cancel();
    // The scheme is registered for the application by its desktop file; nothing to set up here.
    Q_UNUSED(scheme);
    const QUuid generation = m_generation;
    m_active = true;
    const Opener opener = m_opener;
    const bool opened = opener && co_await opener(url);
    if (m_generation == generation)
        m_active = opened;
    co_return opened;
}

void NativeBrowserSignIn::cancel() {
    m_generation = QUuid::createUuid();
    m_active = false;
}
