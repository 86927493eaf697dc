#pragma once

#include "FakeClipboard.h"
#include "FakeSheetServer.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "editor/SheetEditor.h"
#include "editor/SheetGrid.h"
#include "sheet/SheetModel.h"

#include <QTest>

// Sends a mouse event with the given buttons held, which QTest's own mouseMove cannot.
inline void sendMouse(QWidget *target, QEvent::Type type, const QPoint &at, Qt::MouseButton button,
                      Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(at), QPointF(target->mapToGlobal(at)), button, held, {});
    QCoreApplication::sendEvent(target, &event);
}

// Presses at `at` and drags by `by`, holding the button.
inline void pressAndDrag(QWidget *target, QPoint at, QPoint by) {
    sendMouse(target, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    sendMouse(target, QEvent::MouseMove, at + by, Qt::NoButton, Qt::LeftButton);
}

// A sheet served from memory, its model and an editor shown on it at a fixed size.
struct EditorFixture {
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::shared_ptr<FakeClipboard> clipboard = std::make_shared<FakeClipboard>();
    std::shared_ptr<SheetModel> model = SheetModel::make(transport, {.clipboard = clipboard});
    std::unique_ptr<FakeSheetServer> server;
    std::unique_ptr<SheetEditor> editor;

    // Saves still running after a failed check end against a refusing transport, not a freed server.
    ~EditorFixture() {
        editor.reset();
        transport->setHandler([](const FakeTransport::Request &) -> QCoro::Task<NativeResponse> {
            co_return fixtures::answer(503, "{}");
        });
        server.reset();
    }

    // Opens a rows x cols sheet (none when rows is 0) and shows the editor with focus in the grid.
    void open(qint64 rows, qint64 cols, bool mayWrite = true,
              std::function<void(FakeSheetServer &)> cells = {}) {
        if (rows > 0) {
            server = std::make_unique<FakeSheetServer>(transport, rows, cols, mayWrite);
            if (cells)
                cells(*server);
            runTask(model->open(fixtures::summary(1, 1)));
        }
        show();
    }
    // At a fixed size, with the focus in its grid.
    void show() {
        editor = std::make_unique<SheetEditor>(model);
        editor->resize(900, 600);
        editor->show();
        editor->activateWindow();
        QVERIFY(QTest::qWaitForWindowExposed(editor.get()));
        editor->grid()->setFocus();
    }
    SheetGrid *grid() const { return editor->grid(); }
    QWidget *viewport() const { return grid()->viewport(); }
    QPoint centre(qint64 r, qint64 c) const { return grid()->cellRect({r, c}).center(); }
    void key(int key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(grid(), Qt::Key(key), modifiers);
    }
    void type(const QString &text) { QTest::keyClicks(grid(), text); }
    // The cell writes posted in every batch so far, as "A1=raw".
    QStringList posted() const {
        QStringList writes;
        for (const auto &body : server->posted)
            for (const auto &write : body.value("cells", nlohmann::json::array()))
                writes.append(Coordinate{write.at("r").get<qint64>(), write.at("c").get<qint64>()}.ref() +
                              u'=' + QString::fromStdString(write.at("raw").get<std::string>()));
        return writes;
    }
    // Lets detached saves and their follow-ups run.
    static void settle() {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }
};
