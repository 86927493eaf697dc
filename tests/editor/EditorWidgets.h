#pragma once

#include "editor/SheetEditor.h"
#include "editor/SheetGrid.h"

#include <QTest>

// An editor shown at a fixed size with the focus in its grid; null when the window never showed.
inline std::unique_ptr<SheetEditor> showEditor(std::shared_ptr<SheetModel> model) {
    auto editor = std::make_unique<SheetEditor>(std::move(model));
    editor->resize(900, 600);
    editor->show();
    editor->activateWindow();
    if (!QTest::qWaitForWindowExposed(editor.get()))
        return nullptr;
    editor->grid()->setFocus();
    return editor;
}

// Sends a mouse event with the given buttons held, which QTest's own mouseMove cannot.
inline void sendMouse(QWidget *target, QEvent::Type type, const QPoint &at, Qt::MouseButton button,
                      Qt::MouseButtons held, Qt::KeyboardModifiers modifiers = {}) {
    QMouseEvent event(type, QPointF(at), QPointF(target->mapToGlobal(at)), button, held, modifiers);
    QCoreApplication::sendEvent(target, &event);
}

// Drags a header's resize handle by `by` and releases it.
inline void dragHandle(QWidget *header, QPoint handle, QPoint by, bool release = true) {
    sendMouse(header, QEvent::MouseButtonPress, handle, Qt::LeftButton, Qt::LeftButton);
    sendMouse(header, QEvent::MouseMove, handle + by, Qt::NoButton, Qt::LeftButton);
    if (release)
        sendMouse(header, QEvent::MouseButtonRelease, handle + by, Qt::LeftButton, Qt::NoButton);
}
