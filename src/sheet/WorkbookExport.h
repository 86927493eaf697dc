#pragma once

#include <QString>

// A downloaded workbook waiting for the save dialog: the file in its private temporary folder and
// the name the dialog suggests.
struct WorkbookExport {
    QString url;
    QString filename;

    // The suggested file name for a sheet title: no control characters, "/" and ":" made "-",
    // trimmed of white space and dots, at most 200 bytes of UTF-8 before ".xlsx" is added, and
    // "Workbook" when nothing is left.
    static QString filenameFor(const QString &title);
};
