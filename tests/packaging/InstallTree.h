#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Runs the build tree's `cmake --install` into a scratch folder and reads what it put there.
namespace InstallTree {

struct Run {
    int exitCode = -1;
    QString output;
};

// Runs a program to its end (two minutes at most) and collects stdout and stderr together.
Run run(const QString &program, const QStringList &arguments, const QMap<QString, QString> &environment = {});

// `cmake --install` of the build tree with prefix /usr into `destination`; the output on failure.
Run install(const QString &destination);

// Every file below `root`, as paths relative to it, sorted.
QStringList files(const QString &root);

// The "Key=Value" lines of a desktop entry or systemd unit; repeated keys are joined with "\n".
QMap<QString, QString> keyFile(const QString &path);

} // namespace InstallTree
