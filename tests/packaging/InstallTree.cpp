#include "InstallTree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>

namespace InstallTree {

Run run(const QString &program, const QStringList &arguments, const QMap<QString, QString> &environment) {
    QProcess process;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        variables.insert(it.key(), it.value());
    process.setProcessEnvironment(variables);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    Run result;
    if (!process.waitForStarted(10000)) {
        result.output = program + QStringLiteral(": ") + process.errorString();
        return result;
    }
    process.waitForFinished(120000);
    result.output = QString::fromUtf8(process.readAll());
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        result.output += QStringLiteral("\n(did not finish in time)");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

Run install(const QString &destination) {
    return run(QStringLiteral(TABREL_CMAKE),
               {QStringLiteral("--install"), QStringLiteral(TABREL_BUILD_DIR), QStringLiteral("--prefix"),
                QStringLiteral("/usr")},
               {{QStringLiteral("DESTDIR"), destination}});
}

QStringList files(const QString &root) {
    QStringList found;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(base.relativeFilePath(it.next()));
    found.sort();
    return found;
}

QMap<QString, QString> keyFile(const QString &path) {
    QMap<QString, QString> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return entries;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0 || line.startsWith(u'#'))
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        entries[key] = entries.contains(key) ? entries[key] + u'\n' + value : value;
    }
    return entries;
}

} // namespace InstallTree
