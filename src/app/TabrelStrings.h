#pragma once

#include <QCoreApplication>
#include <QString>

// A user-visible text of the application shell, from the "Mac" string table, keyed by its English text.
inline QString tabrelMacString(const char *english) {
    return QCoreApplication::translate("Mac", english);
}
