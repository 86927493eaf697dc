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
    void hexColours_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("leading number sign") << "#00ff00" << QColor(0, 255, 0);
        QTest::newRow("bare") << "1a2b3c" << QColor(0x1a, 0x2b, 0x3c);
        QTest::newRow("signs on both ends") << "##ff0000#" << QColor(255, 0, 0);
        QTest::newRow("short number") << "ff" << QColor(0, 0, 255);
        QTest::newRow("only the low 24 bits") << "12ffffff" << QColor(255, 255, 255);
        QTest::newRow("malformed is black") << "#zz0000" << QColor(0, 0, 0);
        QTest::newRow("sign in the middle is black") << "ff#00" << QColor(0, 0, 0);
    }
    void hexColours() {
        QFETCH(QString, text);
        QFETCH(QColor, expected);
        QCOMPARE(SheetColor::hex(text), expected);
    }

    void oklchColours_data() {
        QTest::addColumn<double>("l");
        QTest::addColumn<double>("c");
        QTest::addColumn<double>("h");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("white") << 1.0 << 0.0 << 0.0 << QColor(255, 255, 255);
        QTest::newRow("sRGB red") << 0.627955 << 0.257683 << 29.2339 << QColor(255, 0, 0);
        QTest::newRow("mid grey") << 0.6 << 0.0 << 120.0 << QColor(128, 128, 128);
        QTest::newRow("out of gamut clamps") << 0.9 << 0.4 << 140.0 << QColor(0, 255, 0);
    }
    void oklchColours() {
        QFETCH(double, l);
        QFETCH(double, c);
        QFETCH(double, h);
        QFETCH(QColor, expected);
        const QColor actual = SheetColor::oklch(l, c, h);
        const int off =
            std::max({std::abs(actual.red() - expected.red()), std::abs(actual.green() - expected.green()),
                      std::abs(actual.blue() - expected.blue())});
        QVERIFY2(off <= 1, qPrintable(actual.name()));
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

    void alignment_data() {
        QTest::addColumn<std::optional<QString>>("align");
        QTest::addColumn<bool>("numeric");
        QTest::addColumn<int>("expected");
        using O = std::optional<QString>;
        QTest::newRow("number without alignment trails") << O() << true << int(Qt::AlignRight);
        QTest::newRow("text without alignment leads") << O() << false << int(Qt::AlignLeft);
        QTest::newRow("left number leads") << O("left") << true << int(Qt::AlignLeft);
        QTest::newRow("center") << O("center") << false << int(Qt::AlignHCenter);
        QTest::newRow("right text") << O("right") << false << int(Qt::AlignRight);
        QTest::newRow("unknown value leads") << O("justify") << true << int(Qt::AlignLeft);
    }
    void alignment() {
        QFETCH(std::optional<QString>, align);
        QFETCH(bool, numeric);
        QFETCH(int, expected);
        Cell cell;
        cell.n = numeric;
        CellStyle s;
        s.a = align;
        QCOMPARE(int(SheetCellPainter::alignment(&cell, align ? &s : nullptr)), expected);
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

    void sizesPanelLimits_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("15") << "15" << false;
        QTest::newRow("16") << "16" << true;
        QTest::newRow("2000") << "2000" << true;
        QTest::newRow("2001") << "2001" << false;
        QTest::newRow("not a number") << "wide" << false;
    }
    void sizesPanelLimits() {
        QFETCH(QString, typed);
        QFETCH(bool, enabled);
        SheetSizesPanel panel(SheetModel::make(std::make_shared<FakeTransport>()));
        QCOMPARE(panel.widthField()->text(), QStringLiteral("110"));
        QCOMPARE(panel.heightField()->text(), QStringLiteral("32"));
        panel.widthField()->setText(typed);
        panel.heightField()->setText(typed);
        QCOMPARE(QPair(panel.widthButton()->isEnabled(), panel.heightButton()->isEnabled()),
                 QPair(enabled, enabled));
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
