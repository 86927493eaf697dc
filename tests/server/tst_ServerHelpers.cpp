// The server's pure helpers, case by case: token form, number texts, moving formula references,
// callback and origin checks.

#include "base/Tokens.h"
#include "formulas/FormulaText.h"
#include "formulas/NumberFormats.h"
#include "http/ConnectionServer.h"
#include "http/OriginPolicy.h"
#include "signin/SignIn.h"

#include <QTest>

#include <sodium.h>

class TestServerHelpers : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void tokensHaveTheCanonicalForm_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        const QString good = QString::fromStdString(Tokens::random());
        QTest::newRow("fresh token") << good << true;
        QTest::newRow("42 characters") << good.left(42) << false;
        QTest::newRow("44 characters") << good + "A" << false;
        QTest::newRow("plus") << "+" + good.mid(1) << false;
        QTest::newRow("slash") << "/" + good.mid(1) << false;
        QTest::newRow("padding") << good.left(42) + "=" << false;
        // The last character carries two unused bits; "B" sets one of them.
        QTest::newRow("non-canonical end") << QString(42, 'A') + "B" << false;
        QTest::newRow("canonical end") << QString(42, 'A') + "E" << true;
    }

    void tokensHaveTheCanonicalForm() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(Tokens::valid(text.toStdString()), valid);
    }

    void comparisonCodeIsNineCharacters() {
        for (int i = 0; i < 20; ++i) {
            const std::string code = Tokens::comparisonCode(Tokens::random());
            QCOMPARE(code.size(), std::size_t(9));
            QCOMPARE(code[4], '-');
            QVERIFY(code.find_first_not_of("0123456789ABCDEF-") == std::string::npos);
        }
    }

    void automaticNumbersReadNaturally_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("integer") << 42.0 << "42";
        QTest::newRow("sum of tenths") << 0.1 + 0.2 << "0.3";
        QTest::newRow("third") << 1.0 / 3 << "0.3333333333";
        QTest::newRow("negative zero") << -0.0 << "0";
        QTest::newRow("large") << 123456789012.0 << "123456789012";
        QTest::newRow("huge") << 1.5e20 << "1.5E+20";
        QTest::newRow("tiny") << 2.5e-12 << "2.5E-12";
        QTest::newRow("small") << 0.00012 << "0.00012";
    }

    void automaticNumbersReadNaturally() {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(NumberFormats::automatic(value)), text);
    }

    void formattedNumbersRoundHalvesAwayFromZero_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("exact half") << 1563.125 << "0.00" << "1563.13";
        QTest::newRow("half stored below") << 1.005 << "0.00" << "1.01";
        QTest::newRow("negative half") << -2.5 << "#,##0" << "-3";
        QTest::newRow("percent half") << 0.12345 << "0.00%" << "12.35%";
        QTest::newRow("currency") << 1234.565 << "$#,##0.00" << "$1,234.57";
        QTest::newRow("below half") << 2.4449 << "0.00" << "2.44";
        QTest::newRow("rounds to zero") << -0.004 << "0.00" << "0.00";
    }

    void formattedNumbersRoundHalvesAwayFromZero() {
        QFETCH(double, value);
        QFETCH(QString, code);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(NumberFormats::display(value, code.toStdString())), text);
    }

    void onlyPlainDecimalsAreNumbers_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("numeric");
        QTest::newRow("integer") << "12" << true;
        QTest::newRow("signed") << "-3.5" << true;
        QTest::newRow("plus") << "+7" << true;
        QTest::newRow("exponent") << "1e3" << true;
        QTest::newRow("leading point") << ".5" << true;
        QTest::newRow("spaces") << " 12" << false;
        QTest::newRow("infinity") << "inf" << false;
        QTest::newRow("not a number") << "nan" << false;
        QTest::newRow("hexadecimal") << "0x10" << false;
        QTest::newRow("thousands") << "1,000" << false;
        QTest::newRow("sign only") << "-" << false;
        QTest::newRow("overflow") << "1e999" << false;
    }

    void onlyPlainDecimalsAreNumbers() {
        QFETCH(QString, text);
        QFETCH(bool, numeric);
        double value = 0;
        QCOMPARE(NumberFormats::parse(text.toStdString(), value), numeric);
    }

    void movedFormulasKeepEverythingButReferences_data() {
        QTest::addColumn<QString>("formula");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("cols");
        QTest::addColumn<QString>("moved");
        QTest::newRow("lower case") << "=a1+b$2" << 1 << 1 << "=B2+C$2";
        QTest::newRow("quoted sheet") << "='My A1'!A1" << 1 << 0 << "='My A1'!A2";
        QTest::newRow("doubled quote in text")
            << "=\"say \"\"B2\"\"\"&B2" << 0 << 1 << "=\"say \"\"B2\"\"\"&C2";
        QTest::newRow("function names stay") << "=LOG10(A1)+ATAN2(1,2)" << 1 << 0 << "=LOG10(A2)+ATAN2(1,2)";
        QTest::newRow("left of column A") << "=B1-A1" << 0 << -1 << "=A1-#REF!";
        QTest::newRow("past the last column") << "=XFD1" << 0 << 1 << "=#REF!";
        QTest::newRow("absolute stays put") << "=$A$1" << -5 << -5 << "=$A$1";
        QTest::newRow("exponent number") << "=2.5e-3*C3" << 1 << 1 << "=2.5e-3*D4";
    }

    void movedFormulasKeepEverythingButReferences() {
        QFETCH(QString, formula);
        QFETCH(int, rows);
        QFETCH(int, cols);
        QFETCH(QString, moved);
        QCOMPARE(QString::fromStdString(FormulaText::move(formula.toStdString(), rows, cols, 1048576, 16384)),
                 moved);
    }

    void callbacksGoOnlyToApplications_data() {
        QTest::addColumn<QString>("callback");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("application") << "net.example.app://signin" << true;
        QTest::newRow("web") << "https://signin" << false;
        QTest::newRow("upper-case web") << "HTTP://signin" << false;
        QTest::newRow("script") << "javascript://signin" << false;
        QTest::newRow("extra path") << "x-app://signin/x" << false;
        QTest::newRow("query") << "x-app://signin?state=1" << false;
        QTest::newRow("no scheme") << "://signin" << false;
        QTest::newRow("digit first") << "1app://signin" << false;
    }

    void callbacksGoOnlyToApplications() {
        QFETCH(QString, callback);
        QFETCH(bool, accepted);
        QCOMPARE(SignIn::validCallback(callback.toStdString()), accepted);
    }

    void clientsAreCountedByAddressOrIpv6Network_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("client");
        QTest::newRow("IPv4") << "192.0.2.7" << "192.0.2.7";
        QTest::newRow("IPv6 host") << "2001:db8:1:2:3:4:5:6" << "2001:db8:1:2::/64";
        QTest::newRow("its neighbour") << "2001:db8:1:2:ffff::1" << "2001:db8:1:2::/64";
        QTest::newRow("IPv4 in IPv6") << "::ffff:192.0.2.7" << "::ffff:192.0.2.7";
    }

    void clientsAreCountedByAddressOrIpv6Network() {
        QFETCH(QString, address);
        QFETCH(QString, client);
        QCOMPARE(QString::fromStdString(ConnectionServer::clientKey(address.toStdString())), client);
    }

    void originsMatchTheServerOnly() {
        const OriginPolicy loopback("http", "127.0.0.1", 8080);
        QCOMPARE(loopback.origin(), std::string("http://127.0.0.1:8080"));
        QVERIFY(loopback.allows("http://127.0.0.1:8080"));
        QVERIFY(loopback.allows("http://localhost:8080"));
        QVERIFY(loopback.allows("http://[::1]:8080"));
        QVERIFY(!loopback.allows("http://127.0.0.1:8081"));
        QVERIFY(!loopback.allows("https://localhost:8080"));
        QVERIFY(!loopback.allows(""));
        const OriginPolicy published("https", "0.0.0.0", 8443, "https://sheets.example.com/");
        QCOMPARE(published.origin(), std::string("https://sheets.example.com"));
        QVERIFY(published.allows("https://sheets.example.com"));
        QVERIFY(!published.allows("https://localhost:8443"));
    }
};

QTEST_GUILESS_MAIN(TestServerHelpers)
#include "tst_ServerHelpers.moc"
