#pragma once

#include "sheet/SheetModel.h"

#include <QMenu>

#include <memory>

// The "Format" menu: bold, italic, alignment, number format, fill and text colour from the open
// page's palettes, and clearing all of it, each one format request for the selection. Disabled
// while the sheet is read-only, busy or holds an unsaved edit.
class SheetFormatMenu : public QMenu {
    Q_OBJECT
public:
    explicit SheetFormatMenu(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    QAction *boldAction() const { return m_bold; }
    QAction *italicAction() const { return m_italic; }
    QMenu *alignmentMenu() const { return m_alignment; }
    QMenu *numberFormatMenu() const { return m_numberFormat; }
    QMenu *fillMenu() const { return m_fill; }
    QMenu *inkMenu() const { return m_ink; }
    QAction *clearAction() const { return m_clear; }

    // The changes "Clear formatting" sends.
    static FormatChanges clearedFormatting();

private:
    void rebuildLists();
    void followState();
    void send(FormatChanges changes);

    std::shared_ptr<SheetModel> m_model;
    QAction *m_bold;
    QAction *m_italic;
    QMenu *m_alignment;
    QMenu *m_numberFormat;
    QMenu *m_fill;
    QMenu *m_ink;
    QAction *m_clear;
};
