#pragma once

#include <QImage>
#include <QString>

// Reads the screen dump Xvfb keeps with -fbdir (XWD, 24-bit TrueColor in 32-bit pixels) for
// screenshots. A null image when the file is not such a dump.
QImage readXwdScreen(const QString &path);
