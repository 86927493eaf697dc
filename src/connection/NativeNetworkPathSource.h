#pragma once

#include "connection/NativePathSource.h"

#include <QNetworkInformation>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

#include <optional>

// The path source of the running system, on QNetworkInformation (NetworkManager on Linux). Without
// a backend, or while the backend cannot tell, no path is reported: callers then treat the network
// as usable and rely on what each server's answers show.
class NativeNetworkPathSource : public QObject, public NativePathSource {
    Q_OBJECT
public:
    // The backend is loaded `loadDelay` after start(): loading it costs start-up several
    // milliseconds (plugins, and NetworkManager's answers on the system bus).
    explicit NativeNetworkPathSource(std::chrono::milliseconds loadDelay = {}, QObject *parent = nullptr);
    ~NativeNetworkPathSource() override;

    void start(Callback onPath) override;
    void cancel() override;

    // Online, on-site and local-only networks are usable; an absent network is not; unknown
    // reachability is no report at all. Linux has no low-data mode, so a path is never constrained.
    static std::optional<NativePath> pathFor(QNetworkInformation::Reachability reachability,
                                             QNetworkInformation::TransportMedium medium, bool metered);

private:
    void load();
    void report();

    QTimer m_load;
    QPointer<QNetworkInformation> m_information;
    Callback m_onPath;
};
