#include "AppFakes.h"

#include "app/TabrelWindows.h"

#include <QSignalSpy>
#include <QTest>

namespace {
std::shared_ptr<NativeTransport> server(const char *origin) {
    return std::make_shared<OriginOnlyTransport>(QUrl(QString::fromLatin1(origin)));
}
QStringList titles(const TabrelWindows &windows) {
    QStringList out;
    for (const auto &entry : windows.entries())
        out << entry.title;
    return out;
}
} // namespace

class TestTabrelWindows : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reservingTheSameSpreadsheetReturnsItsEntryAtTheFront() {
        TabrelWindows windows;
        const auto a = server("https://a.example");
        const QUuid first = windows.reserve("ann", 1, "Budget", a);
        windows.reserve("ann", 2, "Plan", a);
        windows.setOpen(first, false);
        QCOMPARE(titles(windows), (QStringList{"Plan", "Budget"}));
        // A fresh client of the same origin still means the same spreadsheet.
        const QUuid again =
            windows.reserve("ann", 1, "Budget (new title ignored)", server("https://a.example"));
        QCOMPARE(again, first);
        QCOMPARE(titles(windows), (QStringList{"Budget", "Plan"}));
        QVERIFY(windows.entries().first().isOpen);
        QCOMPARE(windows.entries().size(), 2);
    }

    // Another port, another account on the same server, another spreadsheet.
    void entriesStayApart() {
        struct Case {
            const char *account, *origin;
            quint64 document;
        };
        for (const auto &[account, origin, document] : {Case{"ann", "https://a.example:8443", 1},
                                                        {"bob", "https://a.example", 1},
                                                        {"ann", "https://a.example", 2}}) {
            TabrelWindows windows;
            const QUuid first = windows.reserve("ann", 1, "One", server("https://a.example"));
            const auto other = server(origin);
            QVERIFY(windows.reserve(account, document, "Two", other) != first);
            QCOMPARE(windows.entries().size(), 2);
            windows.updateRecents({{document, "Renamed"}}, account, other);
            QCOMPARE(windows.entry(first)->title, QStringLiteral("One"));
        }
    }

    void recentsRenameInPlaceAndAppendNewSheetsClosed() {
        TabrelWindows windows;
        const auto a = server("https://a.example");
        const QUuid opened = windows.reserve("ann", 2, "Two", a);
        windows.updateRecents({{1, "One"}, {2, "Two"}, {3, "Three"}}, "ann", a);
        QCOMPARE(titles(windows), (QStringList{"Two", "One", "Three"}));
        QSignalSpy changed(&windows, &TabrelWindows::entriesChanged);
        windows.updateRecents({{3, "Three"}, {2, "Two renamed"}, {4, "Four"}}, "ann", a);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(titles(windows), (QStringList{"Two renamed", "One", "Three", "Four"}));
        QCOMPARE(windows.entries().first().id, opened);
        QVERIFY(windows.entries().first().isOpen);
        QVERIFY(!windows.entries().last().isOpen);
        // Nothing new: no change reported.
        windows.updateRecents({{1, "One"}}, "ann", a);
        QCOMPARE(changed.size(), 1);
    }

    void openStateAndSignOut() {
        TabrelWindows windows;
        const auto a = server("https://a.example");
        const QUuid ann = windows.reserve("ann", 1, "One", a);
        windows.reserve("bob", 1, "Bob's", a);
        windows.setOpen(QUuid::createUuid(), false); // unknown: ignored
        QVERIFY(windows.hasOpenDocument("ann"));
        windows.setOpen(ann, false);
        QVERIFY(!windows.hasOpenDocument("ann"));
        QVERIFY(windows.hasOpenDocument("bob"));
        windows.removeAccount("ann");
        QCOMPARE(titles(windows), (QStringList{"Bob's"}));
        QVERIFY(!windows.entry(ann));
    }
};

QTEST_GUILESS_MAIN(TestTabrelWindows)
#include "tst_TabrelWindows.moc"
