#pragma once

#include "sheet/views/SheetFeaturePanel.h"

class QLabel;
class QMessageBox;
class QVBoxLayout;

// "History": the sheet's logged edits, newest as the server orders them, each with who made it and
// the text before and after. Writers restore the sheet to before an edit after confirming; the
// server's notice then shows below the list. Loads the log when shown.
class SheetHistoryPanel : public SheetFeaturePanel {
    Q_OBJECT

public:
    explicit SheetHistoryPanel(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    // The confirmation asked before a restore, while it shows.
    QMessageBox *confirmation() const { return m_confirmation; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void rebuild();
    void confirmRestore(quint64 entry, const QString &ref);

    QVBoxLayout *m_entries = nullptr;
    QLabel *m_notice = nullptr;
    QMessageBox *m_confirmation = nullptr;
};
