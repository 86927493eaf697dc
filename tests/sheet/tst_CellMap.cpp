#include "sheet/CellMap.h"

#include <QTest>

class TestCellMap : public QObject {
    Q_OBJECT

    static Cell cell(qint64 r, qint64 c, const QString &raw) { return Cell{r, c, raw, raw, {}, {}}; }

    // The raw texts `range` visits, in visiting order.
    static QStringList visited(const CellMap &cells, const CellRange &range) {
        QStringList raws;
        cells.forEachIn(range, [&raws](const Cell &stored) { raws.append(stored.raw); });
        return raws;
    }

private Q_SLOTS:
    void insertsInAnyOrderAndReplaces() {
        CellMap cells;
        for (const auto &[r, c] : {std::pair{2, 5}, {2, 1}, {0, 3}, {2, 3}, {9, 0}})
            cells.insert(cell(r, c, QStringLiteral("%1,%2").arg(r).arg(c)));
        cells.insert(cell(2, 3, "replaced"));
        QCOMPARE(cells.size(), 5);
        QCOMPARE(cells.value({2, 3}).raw, "replaced");
        QCOMPARE(cells.value({2, 1}).raw, "2,1");
        QVERIFY(!cells.contains({2, 2}));
        QVERIFY(!cells.contains({2, 6}));
        QVERIFY(!cells.contains({1, 3}));
        QCOMPARE(cells.value({2, 2}), Cell());

        // Row by row, left to right, whether the range is shorter or taller than the stored rows.
        QCOMPARE(visited(cells, {{0, 1}, {2, 4}}), (QStringList{"0,3", "2,1", "replaced"}));
        QCOMPARE(visited(cells, {{0, 0}, {500, 9}}), (QStringList{"0,3", "2,1", "replaced", "2,5", "9,0"}));

        CellMap same;
        cells.forEach([&same](const Cell &stored) { same.insert(stored); });
        QCOMPARE(same, cells);
        same.insert(cell(9, 0, "changed"));
        QVERIFY(!(same == cells));
    }
};

QTEST_GUILESS_MAIN(TestCellMap)
#include "tst_CellMap.moc"
