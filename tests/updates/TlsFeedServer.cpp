#include "TlsFeedServer.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>

TlsFeedServer::TlsFeedServer() {
    connect(&m_server, &QSslServer::pendingConnectionAvailable, this, [this] {
        while (m_server.hasPendingConnections())
            serve(qobject_cast<QSslSocket *>(m_server.nextPendingConnection()));
    });
}

bool TlsFeedServer::start() {
    const QString certificatePath = m_keys.filePath(QStringLiteral("cert.pem"));
    const QString keyPath = m_keys.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                   "-keyout", keyPath, "-out", certificatePath, "-days", "1", "-subj", "/CN=127.0.0.1",
                   "-addext", "subjectAltName=IP:127.0.0.1"});
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl: ") + QString::fromUtf8(openssl.readAll()) + openssl.errorString();
        return false;
    }
    QFile certificateFile(certificatePath), keyFile(keyPath);
    if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read the certificate");
        return false;
    }
    m_certificate = QSslCertificate(&certificateFile, QSsl::Pem);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(m_certificate);
    tls.setPrivateKey(QSslKey(&keyFile, QSsl::Ec, QSsl::Pem));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server.setSslConfiguration(tls);
    if (!m_server.listen(QHostAddress::LocalHost)) {
        m_error = m_server.errorString();
        return false;
    }
    return true;
}

QUrl TlsFeedServer::url(const QString &path) const {
    return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
}

void TlsFeedServer::serve(QSslSocket *socket) {
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QSslSocket::readyRead, this, [this, socket] {
        if (socket->property("answered").toBool())
            return;
        QByteArray head = socket->property("head").toByteArray() + socket->readAll();
        socket->setProperty("head", head);
        if (!head.contains("\r\n\r\n"))
            return;
        socket->setProperty("answered", true);
        const QString path = QString::fromLatin1(head.left(head.indexOf("\r\n")).split(' ').value(1));
        m_requests.append(path);
        const Answer answer = m_answers.value(path, Answer{404, "not found", false});
        if (answer.hold)
            return;
        socket->write("HTTP/1.1 " + QByteArray::number(answer.status) + " Test\r\nContent-Length: " +
                      QByteArray::number(answer.body.size()) + "\r\nConnection: close\r\n\r\n" + answer.body);
        socket->disconnectFromHost();
    });
}
