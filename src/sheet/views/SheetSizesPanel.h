#pragma once

#include <QWidget>

#include <memory>
#include <optional>

class QLineEdit;
class QPushButton;
class SheetModel;

// The contents of the "Sizes" panel: a column width and a row height typed as whole numbers and
// applied to the anchor's column or row. The fields start at the default sizes and do not follow
// the selection.
class SheetSizesPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumSize = 16;
    static constexpr int maximumSize = 2000;

    explicit SheetSizesPanel(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    QLineEdit *widthField() const { return m_width; }
    QLineEdit *heightField() const { return m_height; }
    QPushButton *widthButton() const { return m_setWidth; }
    QPushButton *heightButton() const { return m_setHeight; }

    // A field's whole number in the current locale; nothing when it holds something else.
    static std::optional<int> value(const QLineEdit *field);

private:
    void follow();
    void apply(const QString &axis, const QLineEdit *field);

    std::shared_ptr<SheetModel> m_model;
    QLineEdit *m_width;
    QLineEdit *m_height;
    QPushButton *m_setWidth;
    QPushButton *m_setHeight;
};
