#pragma once

#include <QString>

class QAbstractButton;
class QMessageBox;
class QWidget;

enum class TabrelSaveChoice { save, discard, cancel };

// The warning that asks what to do with unsaved edits: "Save", "Discard" and "Cancel", in that order
// on every desktop layout (one button role for all three), Save the default and Escape cancelling.
QMessageBox *makeTabrelSaveAlert(const QString &title, const QString &text, QWidget *parent);
// Which of the alert's three buttons `clicked` is; anything else counts as Cancel.
TabrelSaveChoice tabrelSaveChoice(const QMessageBox *alert, const QAbstractButton *clicked);
