#include "connection/NativeAccount.h"
#include "connection/NativeConnection.h"
#include "connection/NativeSignInProof.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTest>

// The token form, the proof key, the comparison code, account records and the callback scheme.
class TestNativeSignInProof : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void valid_data() {
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("expected");
        const QString good = NativeSignInProof::base64Url(QByteArray(32, '\xfb'));
        QTest::newRow("well formed") << good << true;
        QTest::newRow("42 characters") << good.left(42) << false;
        QTest::newRow("padding") << good.left(42) + u'=' << false;
        // 32 bytes leave two unused bits in the last character: "A", "E", "I"... are canonical.
        QString lastBits = NativeSignInProof::base64Url(QByteArray(32, '\0'));
        lastBits.back() = u'B';
        QTest::newRow("non-zero unused bits") << lastBits << false;
        lastBits.back() = u'E';
        QTest::newRow("zero unused bits") << lastBits << true;
        QString accented = good;
        accented[10] = u'é';
        QTest::newRow("non-ASCII") << accented << false;
    }
    void valid() {
        QFETCH(QString, token);
        QFETCH(bool, expected);
        QCOMPARE(NativeSignInProof::valid(token), expected);
    }

    // The challenge follows RFC 7636; SHA-256("abc") begins ba7816bf.
    void digests() {
        QCOMPARE(NativeSignInProof::challenge(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
                 QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
        QCOMPARE(NativeSignInProof::comparisonCode(QStringLiteral("abc")), QStringLiteral("BA78-16BF"));
    }

    void verifierComesFromTheGenerator() {
        const QByteArray bytes = QByteArray::fromHex("74 18 d4 1c 5b 0c 52 9f 44 ec 4c 73 4f 88 27 39"
                                                     "6d 4e 2b 95 3d 7a 39 e7 ba 4d 2e 82 f1 d0 9a 1c");
        const auto fixed = [&bytes](int count) -> std::optional<QByteArray> { return bytes.left(count); };
        QCOMPARE(NativeSignInProof::newVerifier(fixed), NativeSignInProof::base64Url(bytes));
        const auto verifier = NativeSignInProof::newVerifier(NativeSignInProof::systemRandomBytes);
        QVERIFY(verifier);
        QVERIFY(NativeSignInProof::valid(*verifier));
        QVERIFY(*verifier != NativeSignInProof::newVerifier(NativeSignInProof::systemRandomBytes));
        QVERIFY(!NativeSignInProof::newVerifier([](int) { return std::nullopt; }));
        QVERIFY(!NativeSignInProof::newVerifier([](int) { return QByteArray(31, 'x'); }));
    }

    void accountKeyAndName_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("name");
        const auto row = [](const char *name, const char *typed, const char *origin, const char *expected) {
            QTest::newRow(name) << QString(typed) << QString(origin) << QString(expected);
        };
        row("typed, trimmed", "  Team sheets \n", "https://sheets.example", "Team sheets");
        row("empty gives host", "", "https://sheets.example:8443", "sheets.example");
        row("blank gives host", " \t", "http://localhost:8080", "localhost");
    }
    void accountKeyAndName() {
        QFETCH(QString, typed);
        QFETCH(QString, origin);
        QFETCH(QString, name);
        const NativeAccount account = NativeAccount::create(QUrl(origin), typed);
        QCOMPARE(account.name, name);
        static const QRegularExpression uuid(
            QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
        QVERIFY2(uuid.match(account.id).hasMatch(), qPrintable(account.id));
        QCOMPARE(account.key(), QStringLiteral("account:") + account.id + u'|' + origin);
        QVERIFY(NativeAccount::create(QUrl(origin), typed).id != account.id);
    }

    // One bad entry spoils the list.
    void accountListRefusesForeignData() {
        for (const char *json :
             {"[{\"id\":\"A\",\"origin\":\"https://a.example\"}]",
              "[{\"id\":\"A\",\"origin\":\"http://a b\",\"name\":\"A\"}]",
              "[{\"id\":\"A\",\"origin\":\"https://a.example\",\"name\":\"A\"},{\"id\":\"B\"}]"})
            QVERIFY2(!NativeAccount::decodeList(json), json);
    }

    // An IPv6 host leaves out its colons; no host at all gives "app".
    void defaultCallbackScheme() {
        for (const auto &[server, scheme] :
             {std::pair{"https://sheets.brevane.net", "net.brevane.tabrel.sheets"},
              std::pair{"http://localhost:8080", "net.brevane.tabrel.localhost"},
              std::pair{"http://[::1]:8080", "net.brevane.tabrel.1"},
              std::pair{"sheets", "net.brevane.tabrel.app"}})
            QCOMPARE(NativeConnection::defaultCallbackScheme(server), QString(scheme));
    }
};

QTEST_GUILESS_MAIN(TestNativeSignInProof)
#include "tst_NativeSignInProof.moc"
