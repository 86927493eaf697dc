// The server on https: the session cookie is "__Host-larkspan_session" and the http name is refused.

#include "ServerProcess.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestTls : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void httpsSessionsUseTheHostPrefixedCookie() {
        QTemporaryDir keys;
        const QString certificate = keys.filePath("cert.pem");
        const QString key = keys.filePath("key.pem");
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                                  certificate, "-days", "1", "-subj", "/CN=127.0.0.1"});
        QVERIFY(openssl.waitForFinished(60000));
        QCOMPARE(openssl.exitCode(), 0);

        ServerProcess server(ServerProcess::Options{{}, {"--tls-cert", certificate, "--tls-key", key}, {}});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(server.origin().starts_with("https://127.0.0.1:"));
        QVERIFY(server.addUser("ann@example.com", "Ann", "correct horse battery"));
        const auto session = server.signIn("ann@example.com", "correct horse battery");
        QVERIFY(session);
        QCOMPARE(session->name, std::string("__Host-larkspan_session"));

        auto http = server.client(session);
        QCOMPARE(http.get("/sheets")->status, 200);
        auto plainName = server.client(ServerSession{"larkspan_session", session->value});
        QCOMPARE(plainName.get("/sheets")->status, 401);
        QVERIFY2(server.stop(), qPrintable(server.errorString()));
    }

    void unusableCertificateStopsTheStart() {
        QTemporaryDir keys;
        ServerProcess server(ServerProcess::Options{
            {}, {"--tls-cert", keys.filePath("missing.pem"), "--tls-key", keys.filePath("missing.key")}, {}});
        QVERIFY(!server.start());
        QVERIFY2(server.errorString().contains("TLS"), qPrintable(server.errorString()));
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "tst_Tls.moc"
