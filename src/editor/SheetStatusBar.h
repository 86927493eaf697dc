#pragma once

#include <QWidget>

#include <memory>

class QLabel;
class QProgressBar;
class SheetModel;

// The row under the grid: the tab name, a progress indicator while busy, "Unsaved cell edit" or the
// last notice, and the live-update status.
class SheetStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit SheetStatusBar(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    QString tabText() const;
    QString noticeText() const;
    QString liveText() const;
    bool showsProgress() const;

private:
    void follow();

    std::shared_ptr<SheetModel> m_model;
    QLabel *m_tab;
    QProgressBar *m_progress;
    QLabel *m_notice;
    QLabel *m_live;
};
