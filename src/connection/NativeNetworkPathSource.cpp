#include "connection/NativeNetworkPathSource.h"

NativeNetworkPathSource::NativeNetworkPathSource(std::chrono::milliseconds loadDelay, QObject *parent)
    : QObject(parent) {
    m_load.setSingleShot(true);
    m_load.setInterval(loadDelay);
    connect(&m_load, &QTimer::timeout, this, &NativeNetworkPathSource::load);
}

NativeNetworkPathSource::~NativeNetworkPathSource() {
    cancel();
}

void NativeNetworkPathSource::start(Callback onPath) {
    cancel();
    m_onPath = std::move(onPath);
    if (m_load.interval() > 0)
        m_load.start();
    else
        load();
}

void NativeNetworkPathSource::load() {
    if (!QNetworkInformation::instance() && !QNetworkInformation::loadDefaultBackend())
        return;
    m_information = QNetworkInformation::instance();
    if (!m_information)
        return;
    connect(m_information, &QNetworkInformation::reachabilityChanged, this, &NativeNetworkPathSource::report);
    connect(m_information, &QNetworkInformation::transportMediumChanged, this,
            &NativeNetworkPathSource::report);
    connect(m_information, &QNetworkInformation::isMeteredChanged, this, &NativeNetworkPathSource::report);
    report();
}

void NativeNetworkPathSource::cancel() {
    m_load.stop();
    if (m_information)
        disconnect(m_information, nullptr, this, nullptr);
    m_information.clear();
    m_onPath = nullptr;
}

void NativeNetworkPathSource::report() {
    if (!m_information || !m_onPath)
        return;
    const auto path =
        pathFor(m_information->reachability(), m_information->transportMedium(), m_information->isMetered());
    if (path)
        m_onPath(*path);
}

std::optional<NativePath> NativeNetworkPathSource::pathFor(QNetworkInformation::Reachability reachability,
                                                           QNetworkInformation::TransportMedium medium,
                                                           bool metered) {
    using Reachability = QNetworkInformation::Reachability;
    NativePath path;
    switch (reachability) {
    case Reachability::Unknown:
        return std::nullopt;
    // Local means a link without a default route: a team server on the same network, or this
    // machine, still answers. Whether it does is for the server's own answers to show.
    case Reachability::Online:
    case Reachability::Site:
    case Reachability::Local:
        path.status = NativePath::Status::satisfied;
        break;
    case Reachability::Disconnected:
        path.status = NativePath::Status::unsatisfied;
        break;
    }
    path.isExpensive = metered || medium == QNetworkInformation::TransportMedium::Cellular;
    path.isConstrained = false;
    return path;
}
