#pragma once

#include <QCoroTask>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QVBoxLayout;
class SheetModel;

// The common ground of the feature panels (History, Data, Comments, Share, Import, Export): the
// model they work on, a column to put their controls in, and `done` for the panel container,
// which closes the panel when it fires. The container shows the title, the model's error line and
// "Done"; a panel shows only its own content.
class SheetFeaturePanel : public QWidget {
    Q_OBJECT

public:
    // Opens an imported sheet (its ID and title) elsewhere; without one the model opens it.
    using OpenImported = std::function<void(quint64, QString)>;

    explicit SheetFeaturePanel(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    // The panel shown under `name` ("History", "Data", "Comments", "Share", "Import", "Export"),
    // or none for any other name. The panel container connects `done` to its dismissal.
    static SheetFeaturePanel *make(const QString &name, std::shared_ptr<SheetModel> model,
                                   OpenImported openImported = {}, QWidget *parent = nullptr);

    const std::shared_ptr<SheetModel> &model() const { return m_model; }

Q_SIGNALS:
    // The panel's work is finished and the container should close it.
    void done();

protected:
    // Starts `work` without waiting for it; the model lives until it ends.
    void run(std::function<QCoro::Task<>()> work);
    // A text line; `selectable` lets the user copy it.
    QLabel *addText(const QString &text, bool selectable = false);
    QVBoxLayout *column() const { return m_column; }

private:
    std::shared_ptr<SheetModel> m_model;
    QVBoxLayout *m_column = nullptr;
};
