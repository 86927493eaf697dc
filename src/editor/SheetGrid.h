#pragma once

#include "editor/SheetCellEditor.h"
#include "editor/SheetGridGeometry.h"
#include "sheet/Coordinate.h"
#include "sheet/views/SheetCellPainter.h"

#include <QAbstractScrollArea>
#include <QHash>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QMenu;
class SheetGridHeader;
class SheetModel;

// The spreadsheet surface of the open sheet: pinned column letters and row numbers, the cells with
// their styles, the selection, the edited cell, and keys, clicks, drags and header gestures turned
// into model operations. It holds no sheet data: only the edited cell, the resize preview and focus.
class SheetGrid : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int headerHeight = 32;
    static constexpr int rowHeaderWidth = 48;
    static constexpr int handleThickness = 8;
    static constexpr double minimumSize = 16;
    static constexpr double maximumSize = 2000;
    // The grid lines' colour: a fifth of the text over the cells' base.
    static QColor lineColor(const QPalette &colors);

    explicit SheetGrid(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);
    ~SheetGrid() override;

    SheetModel &model() const { return *m_model; }
    const std::shared_ptr<SheetModel> &sharedModel() const { return m_model; }
    const SheetGridGeometry &cellGeometry() const { return m_geometry; }
    bool isDark() const { return m_dark; }

    // The cell whose editor is open, and that editor.
    std::optional<Coordinate> editing() const { return m_editing; }
    SheetCellEditor *cellEditor() const { return m_editor; }
    const std::optional<SheetResizePreview> &resizing() const { return m_resizing; }
    bool savingResize() const { return m_savingResize; }

    // Geometry in viewport coordinates, and the cell under a viewport point (none past the grid).
    QRect cellRect(const Coordinate &cell) const;
    QRect rangeRect(const CellRange &range) const;
    std::optional<Coordinate> cellAt(const QPoint &viewportPoint) const;
    QPoint scrollOffset() const;

    // Keyboard movement from the anchor (or the extent when extending), clamped to the sheet.
    bool move(qint64 dr, qint64 dc, bool extending);
    // A click on a cell; with `extending` a Shift-click.
    void select(const Coordinate &point, bool extending);
    // Extends the selection to the cell under a content point while a drag runs.
    void dragTo(const QPointF &contentPoint);
    // Opens the editor on the active cell, when writing is allowed.
    void edit();
    void endEditing();
    // Header clicks.
    void selectColumn(qint64 c);
    void selectRow(qint64 r);

    // Resizing a column ("col") or row ("row") from its header handle.
    bool canBeginResize() const;
    void changeResize(const QString &axis, qint64 index, double delta);
    void finishResize(const QString &axis, qint64 index);
    void cancelResize();
    void setDraggingResize(bool dragging);
    void fitColumn(qint64 c);

    // The context menu of a cell, built afresh (selecting the cell first when it lies outside the
    // selection); null while the model refuses changes.
    QMenu *cellMenu(const Coordinate &cell, QWidget *parent);

    SheetGridHeader *columnHeader() const { return m_columnHeader; }
    SheetGridHeader *rowHeader() const { return m_rowHeader; }

Q_SIGNALS:
    void editingChanged();
    void resizingChanged();

protected:
    bool event(QEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void setFocused(bool focused);
    void typeText(const QString &text, Qt::KeyboardModifiers modifiers, QKeyEvent *event);
    void collapseEscape();
    void closeEditorUnlessAt(const Coordinate &point);
    void setResizing(std::optional<SheetResizePreview> preview);
    void commitEdit(const Coordinate &cell, bool right, bool backwards);
    void cancelEdit();

    void rebuildGeometry();
    void updateScrollBars();
    void placeEditor();
    void placeHeaders();
    void selectionMoved();
    void announceSelection();
    void forgetLooks();
    void makeRoomForLooks();
    const SheetCellLook *lookAt(const Coordinate &cell);
    void autoscroll();

    std::shared_ptr<SheetModel> m_model;
    SheetGridGeometry m_geometry;
    SheetGridHeader *m_columnHeader = nullptr;
    SheetGridHeader *m_rowHeader = nullptr;

    std::optional<Coordinate> m_editing;
    QPointer<SheetCellEditor> m_editor;
    std::optional<SheetResizePreview> m_resizing;
    bool m_savingResize = false;
    bool m_draggingResize = false;

    bool m_tracking = false;
    QPoint m_lastDragPoint; // viewport coordinates
    QTimer m_autoscroll;
    CellRange m_paintedSelection;

    bool m_dark = false;
    QHash<Coordinate, SheetCellLook> m_looks;
};
