#include "sheet/Coordinate.h"

#include <QTest>

class TestCoordinate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void refText_data() {
        QTest::addColumn<qint64>("r");
        QTest::addColumn<qint64>("c");
        QTest::addColumn<QString>("ref");
        QTest::newRow("A1") << qint64(0) << qint64(0) << "A1";
        QTest::newRow("Z1") << qint64(0) << qint64(25) << "Z1";
        QTest::newRow("AA10") << qint64(9) << qint64(26) << "AA10";
        QTest::newRow("ZZ1") << qint64(0) << qint64(701) << "ZZ1";
        QTest::newRow("AAA1") << qint64(0) << qint64(702) << "AAA1";
        QTest::newRow("BXX5000") << qint64(4999) << qint64(1999) << "BXX5000";
    }
    void refText() {
        QFETCH(qint64, r);
        QFETCH(qint64, c);
        QFETCH(QString, ref);
        QCOMPARE(Coordinate({r, c}).ref(), ref);
        // Every reference the grid can show parses back to the same cell.
        QCOMPARE(Coordinate::parse(ref), std::optional<Coordinate>(Coordinate{r, c}));
    }

    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("r");
        QTest::addColumn<qint64>("c");
        QTest::newRow("lower case with blanks") << " b12 \n" << true << qint64(11) << qint64(1);
        QTest::newRow("plus sign") << "A+5" << true << qint64(4) << qint64(0);
        QTest::newRow("last column") << "BXX1" << true << qint64(0) << qint64(1999);
        QTest::newRow("last row") << "A5000" << true << qint64(4999) << qint64(0);
        QTest::newRow("row zero") << "A0" << false << qint64(0) << qint64(0);
        QTest::newRow("row too large") << "A5001" << false << qint64(0) << qint64(0);
        QTest::newRow("negative row") << "A-1" << false << qint64(0) << qint64(0);
        QTest::newRow("four letters") << "ABCD1" << false << qint64(0) << qint64(0);
        QTest::newRow("column past BXX") << "BXY1" << false << qint64(0) << qint64(0);
        QTest::newRow("letters only") << "A" << false << qint64(0) << qint64(0);
        QTest::newRow("digits only") << "12" << false << qint64(0) << qint64(0);
        QTest::newRow("non-ASCII letter") << "Ä1" << false << qint64(0) << qint64(0);
        QTest::newRow("trailing letter") << "A1B" << false << qint64(0) << qint64(0);
        QTest::newRow("sign only") << "A+" << false << qint64(0) << qint64(0);
        QTest::newRow("huge row") << "A99999999999999999999" << false << qint64(0) << qint64(0);
        QTest::newRow("empty") << "" << false << qint64(0) << qint64(0);
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(qint64, r);
        QFETCH(qint64, c);
        const auto parsed = Coordinate::parse(text);
        QCOMPARE(parsed.has_value(), valid);
        if (valid)
            QCOMPARE(*parsed, (Coordinate{r, c}));
    }

    void rangeParse() {
        const std::optional<CellRange> a1b5 = CellRange{{0, 0}, {4, 1}};
        QCOMPARE(CellRange::parse("B5:A1"), a1b5);
        QCOMPARE(CellRange::parse("A5:B1"), a1b5);
        QCOMPARE(CellRange::parse("C3"), std::optional<CellRange>(CellRange{{2, 2}, {2, 2}}));
        for (const char *bad : {"A1:", ":A1", "A1:B2:C3", ""})
            QVERIFY2(!CellRange::parse(bad), bad);
        QCOMPARE(a1b5->text(), "A1:B5");
    }

    void rangeCoordinatesRowByRow() {
        QCOMPARE(CellRange({{1, 1}, {2, 3}}).coordinates(),
                 (QList<Coordinate>{{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}}));
        QVERIFY(CellRange({{2, 2}, {1, 1}}).coordinates().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCoordinate)
#include "tst_Coordinate.moc"
