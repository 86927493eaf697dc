#include "connection/Utf8LineScan.h"

#include <QByteArray>
#include <QList>
#include <QTest>

#include <simdjson.h>

#include <random>

namespace {
// Pieces of text that sit on either side of every rule: shortest and longest forms, surrogates, the
// last code point, stray and missing continuation bytes, and bytes that never occur.
const QList<QByteArray> &pieces() {
    // In hex, one piece per word: ASCII and line ends; two, three and four bytes; broken.
    static const QList<QByteArray> all = [] {
        QList<QByteArray> list;
        for (const QByteArray &hex :
             QByteArray("61 5A 20 30 7E 7F 0D 0A 0D0A "
                        "C280 DFBF C3A9 C080 C1BF "
                        "E0A080 E09FBF E18080 ECBFBF ED9FBF EDA080 EDBFBF EE8080 EFBFBF E282AC "
                        "F0908080 F08FBFBF F1808080 F3BFBFBF F48FBFBF F4908080 F5808080 "
                        "F888808080 80 BF C3 E282 F09F98 FE FF")
                 .split(' '))
            list.append(QByteArray::fromHex(hex));
        return list;
    }();
    return all;
}

// Mostly ASCII runs, so the vector form sees plain blocks, mixed blocks and every seam between.
QByteArray randomText(std::mt19937 &random) {
    QByteArray text;
    const int count = int(random() % 120);
    for (int i = 0; i < count; ++i) {
        if (random() % 3 == 0)
            text += pieces()[random() % pieces().size()];
        else
            text += QByteArray(int(random() % 40), 'x');
    }
    return text;
}

// What a line-by-line reference says: for every line (the text after the last line end included),
// whether it is UTF-8.
QList<bool> referenceVerdicts(const QByteArray &text) {
    QList<bool> verdicts;
    qsizetype start = 0;
    for (qsizetype at = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == '\n' || text[at] == '\r') {
            verdicts.append(simdjson::validate_utf8(text.constData() + start, size_t(at - start)));
            start = at + 1;
        }
    }
    return verdicts;
}

// The scanner's verdicts, the text handed over in pieces of random sizes.
QList<bool> scannedVerdicts(const QByteArray &text, Utf8LineScan::Implementation implementation,
                            std::mt19937 &random) {
    Utf8LineScan scan(implementation);
    QList<bool> verdicts;
    const char *at = text.constData();
    const char *end = at + text.size();
    while (at < end) {
        const char *pieceEnd = at + std::min<qsizetype>(end - at, 1 + qsizetype(random() % 100));
        while (at < pieceEnd) {
            const char *found = scan.scan(at, pieceEnd);
            if (found == pieceEnd) {
                at = pieceEnd;
            } else {
                verdicts.append(scan.finishLine());
                at = found + 1;
            }
        }
    }
    verdicts.append(scan.finishLine());
    return verdicts;
}
QString verdicts(const QList<bool> &list) {
    QString text;
    for (const bool valid : list)
        text += valid ? u'1' : u'0';
    return text;
}
} // namespace

class TestUtf8LineScan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void agreesWithReference_data() {
        QTest::addColumn<Utf8LineScan::Implementation>("implementation");
        QTest::newRow("fastest") << Utf8LineScan::Implementation::fastest;
        QTest::newRow("portable") << Utf8LineScan::Implementation::portable;
    }

    void agreesWithReference() {
        QFETCH(Utf8LineScan::Implementation, implementation);
        std::mt19937 random(7);
        for (int round = 0; round < 20'000; ++round) {
            const QByteArray text = randomText(random);
            const QList<bool> expected = referenceVerdicts(text);
            const QList<bool> actual = scannedVerdicts(text, implementation, random);
            if (actual != expected)
                QFAIL(qPrintable(
                    QStringLiteral("disagreement on %1: %2 against %3")
                        .arg(QString::fromLatin1(text.toHex(' ')), verdicts(actual), verdicts(expected))));
        }
    }

    void characterCutByBlockEnd() {
        // A character whose bytes straddle 32-byte blocks and the pieces handed over.
        for (int offset = 26; offset < 34; ++offset) {
            const QByteArray good = QByteArray(offset, 'x') + "\xF0\x9F\x98\x80" + QByteArray(40, 'y');
            const QByteArray cut = QByteArray(offset, 'x') + "\xF0\x9F\x98" + QByteArray(40, 'y');
            for (const auto &[text, valid] : {std::pair{good, true}, std::pair{cut, false}}) {
                Utf8LineScan scan;
                const char *middle = text.constData() + 33;
                QCOMPARE(scan.scan(text.constData(), middle), middle);
                QCOMPARE(scan.scan(middle, text.constData() + text.size()), text.constData() + text.size());
                QCOMPARE(scan.finishLine(), valid);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestUtf8LineScan)
#include "tst_Utf8LineScan.moc"
