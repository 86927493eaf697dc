#include "FakeSheetServer.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "sheet/SheetModel.h"
#include "sheet/views/SheetCellPainter.h"
#include "sheet/views/SheetColor.h"
#include "sheet/views/SheetFormatMenu.h"
#include "sheet/views/SheetSizesPanel.h"

#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTest>

using nlohmann::json;

namespace {
CellStyle style(const char *json) {
    return decodeJson<CellStyle>(QByteArray(json));
}
// A model on a 10 x 5 sheet served from memory.
struct Served {
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::shared_ptr<SheetModel> model = SheetModel::make(transport);
    FakeSheetServer server{transport, 10, 5};
    void open() { runTask(model->open(fixtures::summary(1, 1))); }
};
} // namespace

// Cell colours and looks, the format menu and the sizes panel: the pieces other sheet views share.
class TestSheetCellLook : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Number signs at either end are dropped, a short number fills from the right, only the low 24
    // bits count, and anything else (a sign in the middle included) is black.
    void hexColours() {
        for (const auto &[text, expected] : {std::pair("#00ff00", QColor(0, 255, 0)),
                                             {"1a2b3c", QColor(0x1a, 0x2b, 0x3c)},
                                             {"##ff0000#", QColor(255, 0, 0)},
                                             {"ff", QColor(0, 0, 255)},
                                             {"12ffffff", QColor(255, 255, 255)},
                                             {"#zz0000", QColor(0, 0, 0)},
                                             {"ff#00", QColor(0, 0, 0)}})
            QCOMPARE(SheetColor::hex(QString::fromLatin1(text)), expected);
    }

    // White, sRGB red, mid grey, and a colour out of gamut that clamps.
    void oklchColours() {
        struct Case {
            double l, c, h;
            QColor expected;
        };
        for (const auto &[l, c, h, expected] : {Case{1.0, 0.0, 0.0, QColor(255, 255, 255)},
                                                {0.627955, 0.257683, 29.2339, QColor(255, 0, 0)},
                                                {0.6, 0.0, 120.0, QColor(128, 128, 128)},
                                                {0.9, 0.4, 140.0, QColor(0, 255, 0)}}) {
            const QColor actual = SheetColor::oklch(l, c, h);
            QVERIFY2(std::max({std::abs(actual.red() - expected.red()),
                               std::abs(actual.green() - expected.green()),
                               std::abs(actual.blue() - expected.blue())}) <= 1,
                     qPrintable(actual.name()));
        }
    }

    void styleColoursPerScheme() {
        const CellStyle oklchFill = style("{\"fh\": 30, \"fc\": 0.1}");
        const auto light = SheetColor::fill(&oklchFill, false);
        const auto dark = SheetColor::fill(&oklchFill, true);
        QVERIFY(light && dark);
        QCOMPARE(*light, SheetColor::oklch(0.92, 0.1, 30));
        QCOMPARE(*dark, SheetColor::oklch(0.3, 0.1, 30));
        QVERIFY(light->lightnessF() > dark->lightnessF());
        const CellStyle oklchInk = style("{\"kh\": 200, \"kc\": 0.05}");
        QCOMPARE(*SheetColor::ink(&oklchInk, false), SheetColor::oklch(0.42, 0.05, 200));
        QCOMPARE(*SheetColor::ink(&oklchInk, true), SheetColor::oklch(0.8, 0.05, 200));
        // Hex wins over hue and chroma; one of hue or chroma alone means none.
        const CellStyle both = style(
            "{\"fx\": \"#102030\", \"fh\": 30, \"fc\": 0.1, \"k\": \"ff0000\", \"kh\": 30, \"kc\": 0.1}");
        QCOMPARE(*SheetColor::fill(&both, true), QColor(0x10, 0x20, 0x30));
        QCOMPARE(*SheetColor::ink(&both, false), QColor(255, 0, 0));
        const CellStyle half = style("{\"fh\": 30, \"kc\": 0.2}");
        QVERIFY(!SheetColor::fill(&half, false));
        QVERIFY(!SheetColor::ink(&half, false));
        // Hairlines: a fifth of black over white, premixed into one opaque colour.
        QCOMPARE(SheetColor::blend(Qt::white, Qt::black, 0.2).rgba(), qRgb(204, 204, 204));
        QVERIFY(!SheetColor::fill(nullptr, false));
        QVERIFY(SheetColor::isDark(QPalette(QColor(30, 30, 30))));
        QVERIFY(!SheetColor::isDark(QPalette(QColor(240, 240, 240))));
    }

    // Without an alignment numbers trail and text leads; an unknown value leads.
    void alignment() {
        struct Case {
            const char *align; // null: no style
            bool numeric;
            Qt::Alignment expected;
        };
        for (const auto &[align, numeric, expected] : {Case{nullptr, true, Qt::AlignRight},
                                                       {nullptr, false, Qt::AlignLeft},
                                                       {"left", true, Qt::AlignLeft},
                                                       {"center", false, Qt::AlignHCenter},
                                                       {"right", false, Qt::AlignRight},
                                                       {"justify", true, Qt::AlignLeft}}) {
            Cell cell;
            cell.n = numeric;
            CellStyle style;
            style.a = QString::fromLatin1(align);
            QCOMPARE(SheetCellPainter::alignment(&cell, align ? &style : nullptr), expected);
        }
    }

    void looksAndPainting() {
        Cell cell;
        cell.display = QStringLiteral("line\nbreak\tand tab");
        const CellStyle boldItalic = style("{\"b\": true, \"i\": true, \"fx\": \"#ff0000\"}");
        const SheetCellLook look = SheetCellPainter::look(&cell, &boldItalic, false, Qt::black);
        QVERIFY(look.font.bold() && look.font.italic());
        QCOMPARE(look.font.pixelSize(), 13);
        QCOMPARE(look.text.text(), QStringLiteral("line break and tab"));
        QCOMPARE(look.ink, QColor(Qt::black));
        // A huge unbroken text is cut before layout and drawn clipped to its cell.
        cell.display = QString(8192, u'W');
        const SheetCellLook huge = SheetCellPainter::look(&cell, nullptr, false, Qt::black);
        QCOMPARE(huge.text.text().size(), SheetCellPainter::maximumShownCharacters);
        QImage image(300, 100, QImage::Format_ARGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            SheetCellPainter::paint(painter, QRectF(100, 30, 110, 32), huge);
            SheetCellPainter::paint(painter, QRectF(0, 0, 50, 20), &cell, &boldItalic, false, Qt::black);
        }
        QCOMPARE(image.pixelColor(260, 46), QColor(Qt::white)); // nothing beyond the cell
        QCOMPARE(image.pixelColor(1, 1), QColor(Qt::red));      // the fill
        QVERIFY(image.pixelColor(150, 46) != QColor(Qt::white) ||
                image.pixelColor(140, 46) != QColor(Qt::white));
    }

    void formatMenuSendsChanges() {
        Served served;
        auto &[transport, model, server] = served;
        server.setStyle("b", {{"b", true}});
        server.setCell(0, 0, "bold", "b");
        server.setCell(1, 0, "plain");
        served.open();
        SheetFormatMenu menu(model);
        QVERIFY(menu.isEnabled());
        QCOMPARE(menu.title(), QStringLiteral("Format"));
        const auto send = [&](QAction *action) {
            const qsizetype before = server.posted.size();
            action->trigger();
            return QTest::qWaitFor([&] { return server.posted.size() == before + 1 && !model->busy(); });
        };
        model->select({0, 0});
        QVERIFY(send(menu.boldAction()));
        QCOMPARE(server.posted.last().dump(), R"({"bold":false,"c1":0,"c2":0,"r1":0,"r2":0})"); // all bold
        QVERIFY(send(menu.italicAction())); // bold, not italic: italic is turned on
        QCOMPARE(server.posted.last().dump(), R"({"c1":0,"c2":0,"italic":true,"r1":0,"r2":0})");
        model->extendSelection({1, 0});
        QVERIFY(send(menu.boldAction()));
        QCOMPARE(server.posted.last().dump(), R"({"bold":true,"c1":0,"c2":0,"r1":0,"r2":1})");
        QVERIFY(send(menu.italicAction()));
        QCOMPARE(server.posted.last().dump(), R"({"c1":0,"c2":0,"italic":true,"r1":0,"r2":1})");
        QVERIFY(send(menu.clearAction()));
        QCOMPARE(server.posted.last().dump(), R"({"align":"","bold":false,"c1":0,"c2":0,"fill":"none",)"
                                              R"("ink":"none","italic":false,"numfmt":"","r1":0,"r2":1})");
        QStringList alignments;
        for (QAction *action : menu.alignmentMenu()->actions())
            alignments << action->text();
        QCOMPARE(alignments, (QStringList{"Automatic", "Left", "Center", "Right"}));
        QVERIFY(send(menu.alignmentMenu()->actions().at(2)));
        QVERIFY(server.posted.last().at("align") == "center");
        QCOMPARE(menu.fillMenu()->actions().size(), 1); // "No fill" only: this page has no swatches
        model->setDraft(QStringLiteral("unsaved"));
        QVERIFY(!menu.isEnabled());
    }

    void sizesPanelLimits() {
        SheetSizesPanel panel(SheetModel::make(std::make_shared<FakeTransport>()));
        QCOMPARE(panel.widthField()->text() + u' ' + panel.heightField()->text(), "110 32");
        for (const auto &[typed, enabled] :
             {std::pair("15", false), {"16", true}, {"2000", true}, {"2001", false}, {"wide", false}}) {
            panel.widthField()->setText(typed);
            panel.heightField()->setText(typed);
            QCOMPARE(QPair(panel.widthButton()->isEnabled(), panel.heightButton()->isEnabled()),
                     QPair(enabled, enabled));
        }
    }

    void sizesPanelResizesTheAnchorsColumnAndRow() {
        Served served;
        auto &[transport, model, server] = served;
        served.open();
        model->select({7, 3});
        model->extendSelection({8, 4});
        SheetSizesPanel panel(model);
        panel.widthField()->setText(QStringLiteral("120"));
        panel.widthButton()->click();
        QTRY_COMPARE(server.posted.size(), 1);
        QCOMPARE(server.posted.last().dump(), R"({"col":3,"size":120})");
        // The panel refuses a second size while the first is still being saved.
        QTRY_VERIFY(!model->busy() && panel.heightButton()->isEnabled());
        panel.heightButton()->click();
        QTRY_COMPARE(server.posted.size(), 2);
        QCOMPARE(server.posted.last().dump(), R"({"row":7,"size":32})");
    }
};

QTEST_MAIN(TestSheetCellLook)
#include "tst_SheetCellLook.moc"
