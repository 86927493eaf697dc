#pragma once

#include "FakeTransport.h"

// A FakeTransport whose downloads are scripted too: the handler gets the path, the destination
// file and the token, and may write the file, suspend or throw.
class DownloadTransport : public FakeTransport {
public:
    using DownloadHandler =
        std::function<QCoro::Task<>(QString path, QString destination, CancellationToken token)>;

    void setDownloadHandler(DownloadHandler handler) { m_downloadHandler = std::move(handler); }
    QCoro::Task<> download(QString path, QString destination, CancellationToken token) override {
        downloads.append({path, destination});
        co_await m_downloadHandler(std::move(path), std::move(destination), std::move(token));
    }

    QList<std::pair<QString, QString>> downloads; // path and destination of each download

private:
    DownloadHandler m_downloadHandler;
};
