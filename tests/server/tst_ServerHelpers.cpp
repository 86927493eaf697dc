// The server's pure helpers, case by case: token form, number texts, moving formula references,
// callback and origin checks. Each table lists the input and what the helper must answer.

#include "base/Tokens.h"
#include "formulas/FormulaText.h"
#include "formulas/NumberFormats.h"
#include "http/ConnectionServer.h"
#include "http/OriginPolicy.h"
#include "service/ServerOptions.h"
#include "signin/SignIn.h"

#include <QTest>

#include <sodium.h>

namespace {
// Checks `answer(input) == expected` for every case, naming the input of the first one that fails.
template <typename Cases, typename Answer> bool holds(const Cases &cases, Answer answer) {
    for (const auto &[input, expected] : cases) {
        if (answer(input) != expected) {
            qWarning() << "wrong answer for" << QVariant::fromValue(input).toString() << ":"
                       << QVariant::fromValue(answer(input)).toString();
            return false;
        }
    }
    return true;
}
} // namespace

class TestServerHelpers : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void tokensHaveTheCanonicalForm() {
        const QString good = QString::fromStdString(Tokens::random());
        // The last character carries two unused bits; "B" sets one of them.
        const std::pair<QString, bool> cases[] = {{good, true},
                                                  {good.left(42), false},
                                                  {good + "A", false},
                                                  {"+" + good.mid(1), false},
                                                  {"/" + good.mid(1), false},
                                                  {good.left(42) + "=", false},
                                                  {QString(42, 'A') + "B", false},
                                                  {QString(42, 'A') + "E", true}};
        QVERIFY(holds(cases, [](const QString &text) { return Tokens::valid(text.toStdString()); }));
    }

    void automaticNumbersReadNaturally() {
        const std::pair<double, QString> cases[] = {{42.0, "42"},
                                                    {0.1 + 0.2, "0.3"},
                                                    {1.0 / 3, "0.3333333333"},
                                                    {-0.0, "0"},
                                                    {123456789012.0, "123456789012"},
                                                    {1.5e20, "1.5E+20"},
                                                    {2.5e-12, "2.5E-12"},
                                                    {0.00012, "0.00012"}};
        QVERIFY(holds(cases,
                      [](double value) { return QString::fromStdString(NumberFormats::automatic(value)); }));
    }

    // Exact half, half stored below, negative half, percent half, currency, below half, rounds to zero.
    void formattedNumbersRoundHalvesAwayFromZero() {
        const std::pair<QString, QString> cases[] = {{"1563.125 0.00", "1563.13"},
                                                     {"1.005 0.00", "1.01"},
                                                     {"-2.5 #,##0", "-3"},
                                                     {"0.12345 0.00%", "12.35%"},
                                                     {"1234.565 $#,##0.00", "$1,234.57"},
                                                     {"2.4449 0.00", "2.44"},
                                                     {"-0.004 0.00", "0.00"}};
        QVERIFY(holds(cases, [](const QString &valueAndCode) {
            return QString::fromStdString(NumberFormats::display(valueAndCode.section(' ', 0, 0).toDouble(),
                                                                 valueAndCode.section(' ', 1).toStdString()));
        }));
    }

    void onlyPlainDecimalsAreNumbers() {
        const std::pair<QString, bool> cases[] = {{"12", true},     {"-3.5", true}, {"+7", true},
                                                  {"1e3", true},    {".5", true},   {" 12", false},
                                                  {"inf", false},   {"nan", false}, {"0x10", false},
                                                  {"1,000", false}, {"-", false},   {"1e999", false}};
        QVERIFY(holds(cases, [](const QString &text) {
            double value = 0;
            return NumberFormats::parse(text.toStdString(), value);
        }));
    }

    // Formula, then rows and columns to move by, to what it becomes.
    void movedFormulasKeepEverythingButReferences() {
        const std::pair<QString, QString> cases[] = {{"=a1+b$2 1 1", "=B2+C$2"},
                                                     {"='My A1'!A1 1 0", "='My A1'!A2"},
                                                     {"=\"say \"\"B2\"\"\"&B2 0 1", "=\"say \"\"B2\"\"\"&C2"},
                                                     {"=LOG10(A1)+ATAN2(1,2) 1 0", "=LOG10(A2)+ATAN2(1,2)"},
                                                     {"=B1-A1 0 -1", "=A1-#REF!"},
                                                     {"=XFD1 0 1", "=#REF!"},
                                                     {"=$A$1 -5 -5", "=$A$1"},
                                                     {"=2.5e-3*C3 1 1", "=2.5e-3*D4"}};
        QVERIFY(holds(cases, [](const QString &formulaAndMove) {
            return QString::fromStdString(FormulaText::move(
                formulaAndMove.section(' ', 0, -3).toStdString(), formulaAndMove.section(' ', -2, -2).toInt(),
                formulaAndMove.section(' ', -1).toInt(), 1048576, 16384));
        }));
    }

    void callbacksGoOnlyToApplications() {
        const std::pair<QString, bool> cases[] = {{"net.example.app://signin", true},
                                                  {"https://signin", false},
                                                  {"HTTP://signin", false},
                                                  {"javascript://signin", false},
                                                  {"x-app://signin/x", false},
                                                  {"x-app://signin?state=1", false},
                                                  {"://signin", false},
                                                  {"1app://signin", false}};
        QVERIFY(holds(cases,
                      [](const QString &callback) { return SignIn::validCallback(callback.toStdString()); }));
    }

    void clientsAreCountedByAddressOrIpv6Network() {
        const std::pair<QString, QString> cases[] = {{"192.0.2.7", "192.0.2.7"},
                                                     {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
                                                     {"2001:db8:1:2:ffff::1", "2001:db8:1:2::/64"},
                                                     {"::ffff:192.0.2.7", "::ffff:192.0.2.7"}};
        QVERIFY(holds(cases, [](const QString &address) {
            return QString::fromStdString(ConnectionServer::clientKey(address.toStdString()));
        }));
    }

    void originsMatchTheServerOnly() {
        const OriginPolicy loopback("http", "127.0.0.1", 8080);
        QCOMPARE(loopback.origin(), std::string("http://127.0.0.1:8080"));
        const std::pair<QString, bool> cases[] = {
            {"http://127.0.0.1:8080", true},  {"http://localhost:8080", true},   {"http://[::1]:8080", true},
            {"http://127.0.0.1:8081", false}, {"https://localhost:8080", false}, {"", false}};
        QVERIFY(holds(cases, [&](const QString &origin) { return loopback.allows(origin.toStdString()); }));
        const OriginPolicy published("https", "0.0.0.0", 8443, "https://sheets.example.com/");
        QCOMPARE(published.origin(), std::string("https://sheets.example.com"));
        QVERIFY(published.allows("https://sheets.example.com"));
        QVERIFY(!published.allows("https://localhost:8443"));
    }

    // What a command line is told; "" when it is accepted.
    void optionsSayWhatIsWrong() {
        const std::pair<QString, QString> cases[] = {
            {"--data d --listen [::1]:0 --formula-memory 64", ""},
            {"--data --demo", "--data needs a value"},
            {"--data d --listen", "--listen needs a value"},
            {"--data d --verbose", "unknown option --verbose"},
            {"--data d --bogus x", "unknown option --bogus"},
            {"--data d --max-chain", "--max-chain takes a whole number of at least 1"},
            {"--data d --port 65536", "--port takes a number from 0 to 65535"},
            {"--listen 127.0.0.1:80", "--data DIR is required"},
            {"backup --data d", "backup takes the FILE to write"}};
        QVERIFY(holds(cases, [](const QString &line) {
            std::vector<std::string> args;
            for (const auto &word : line.split(' '))
                args.push_back(word.toStdString());
            ServerOptions options;
            return QString::fromStdString(ServerOptions::parse(args, options).value_or(""));
        }));
    }
};

QTEST_GUILESS_MAIN(TestServerHelpers)
#include "tst_ServerHelpers.moc"
