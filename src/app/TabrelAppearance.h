#pragma once

#include <QString>

class QWidget;

// The colour scheme of a window from the "tabrel.appearance" setting: "dark" and "light" force
// theirs, anything else follows the desktop.
void applyTabrelAppearance(QWidget *window, const QString &setting);
// True when the palette in use is a dark one (its window colour is dark).
bool tabrelIsDark(const QWidget *window);
