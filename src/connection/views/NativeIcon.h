#pragma once

#include <QIcon>
#include <QString>

// A themed icon by its freedesktop name, or the style's standard icon when the desktop has none.
QIcon nativeIcon(const QString &themeName);
