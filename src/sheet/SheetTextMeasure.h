#pragma once

#include <QString>

#include <functional>

// Width in points of a cell's widest line in the application font at 13 logical pixels, bold and italic
// as its style says. Replaceable so that models can be tested without a GUI.
using SheetTextMeasure = std::function<double(const QString &text, bool bold, bool italic)>;

// Measures with QFontMetricsF; needs a QGuiApplication.
double measureCellText(const QString &text, bool bold, bool italic);
