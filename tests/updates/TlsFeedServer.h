#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

// An HTTPS server on 127.0.0.1 for tests, with a throwaway certificate for that address made by
// the openssl command. Answers each path with what the test set; unknown paths get 404.
class TlsFeedServer : public QObject {
    Q_OBJECT
public:
    struct Answer {
        int status = 200;
        QByteArray body;
        bool hold = false; // never answer
    };

    TlsFeedServer();

    // False with errorString() when the certificate could not be made or the port not opened.
    bool start();
    QString errorString() const { return m_error; }
    // The certificate a client must trust to talk to this server.
    QSslCertificate certificate() const { return m_certificate; }

    QUrl url(const QString &path) const;
    void setAnswer(const QString &path, Answer answer) { m_answers.insert(path, std::move(answer)); }
    // Paths requested so far, in order.
    QStringList requests() const { return m_requests; }

private:
    void serve(QSslSocket *socket);

    QTemporaryDir m_keys;
    QSslCertificate m_certificate;
    QSslServer m_server;
    QHash<QString, Answer> m_answers;
    QStringList m_requests;
    QString m_error;
};
