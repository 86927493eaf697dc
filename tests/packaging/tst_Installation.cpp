// `cmake --install` puts the desktop entry, icon, AppStream data, programs and the server's unit
// where the desktop and systemd look for them, in a form the distribution's validators accept; and
// CPack's Debian packages hold exactly that, split into the client and the server package.

#include "connection/NativeConnection.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString appId = QStringLiteral(TABREL_APP_ID);
const QString desktopFile = "usr/share/applications/" + appId + ".desktop";
const QString metainfoFile = "usr/share/metainfo/" + appId + ".metainfo.xml";
const QString iconFile = "usr/share/icons/hicolor/scalable/apps/" + appId + ".svg";
const QString unitFile = QStringLiteral("usr/lib/systemd/system/tabrel-server.service");

struct Run {
    int exitCode = -1;
    QString output; // stdout and stderr together
};

// Runs a program to its end, two minutes at most.
Run run(const QString &program, const QStringList &arguments, const QString &destdir = {}) {
    QProcess process;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    if (!destdir.isEmpty())
        variables.insert(QStringLiteral("DESTDIR"), destdir);
    process.setProcessEnvironment(variables);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    // One that did not start or finish is killed as `process` goes.
    const bool finished = process.waitForStarted(10000) && process.waitForFinished(120000);
    const QString output = QString::fromUtf8(process.readAll());
    if (!finished)
        return {-1, output + u'\n' + program + ": " + process.errorString()};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, output};
}

// Every file below `root`, as paths relative to it, sorted.
QStringList files(const QString &root) {
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(root).relativeFilePath(it.next()));
    found.sort();
    return found;
}

// The "Key=Value" lines of a desktop entry or systemd unit; repeated keys are joined with "\n".
QMap<QString, QString> keyFile(const QString &path) {
    QMap<QString, QString> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return entries;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0 || line.startsWith(u'#'))
            continue;
        const QString key = line.left(equals).trimmed(), value = line.mid(equals + 1).trimmed();
        entries[key] = entries.contains(key) ? entries[key] + u'\n' + value : value;
    }
    return entries;
}
} // namespace

class TestInstallation : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    QStringList m_files;               // below installed/
    QMap<QString, QString> m_packages; // package name -> .deb file

    QString path(const QString &installed) const { return m_scratch.filePath("installed/" + installed); }
    static QString debField(const QString &deb, const QString &name) {
        const Run fields = run(QStringLiteral("dpkg-deb"), {"--field", deb, name});
        return fields.exitCode == 0 ? fields.output.trimmed() : QString();
    }
    QStringList contents(const QString &package) {
        const QString folder = m_scratch.filePath("unpacked-" + package);
        const Run unpacked = run(QStringLiteral("dpkg-deb"), {"-x", m_packages.value(package), folder});
        return unpacked.exitCode == 0 ? files(folder) : QStringList{unpacked.output};
    }
    void pack() {
        const QString out = m_scratch.filePath(QStringLiteral("packages"));
        const Run packed = run(QStringLiteral(TABREL_CPACK),
                               {"-G", "DEB", "--config", TABREL_BUILD_DIR "/CPackConfig.cmake", "-B", out});
        QVERIFY2(packed.exitCode == 0, qPrintable(packed.output));
        for (const QString &deb : QDir(out).entryList({QStringLiteral("*.deb")}, QDir::Files))
            m_packages.insert(debField(QDir(out).filePath(deb), "Package"), QDir(out).filePath(deb));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_scratch.isValid());
        const Run installed =
            run(QStringLiteral(TABREL_CMAKE), {"--install", TABREL_BUILD_DIR, "--prefix", "/usr"},
                m_scratch.filePath("installed"));
        QVERIFY2(installed.exitCode == 0, qPrintable(installed.output));
        m_files = files(m_scratch.filePath("installed"));
#ifdef TABREL_DEBIAN_PACKAGES
        pack();
#endif
    }

    // The desktop entry, AppStream data and unit are read by the checks below.
    void filesLandInTheirFreedesktopPlaces() {
        QStringList expected{iconFile};
#ifdef TABREL_INSTALLS_CLIENT
        expected.append(QStringLiteral("usr/bin/brevane-tabrel"));
#endif
#ifdef TABREL_INSTALLS_SERVER
        expected.append(QStringLiteral("usr/bin/tabrel-server"));
#endif
        for (const QString &file : expected)
            QVERIFY2(m_files.contains(file), qPrintable(file + u'\n' + m_files.join(u'\n')));
    }

    void validatorsAcceptTheDesktopData() {
        for (const auto &[program, arguments] :
             {std::pair{QStringLiteral("desktop-file-validate"), QStringList{path(desktopFile)}},
              std::pair{QStringLiteral("appstreamcli"),
                        QStringList{"validate", "--no-net", path(metainfoFile)}}}) {
            const Run validated = run(program, arguments);
            QVERIFY2(validated.exitCode == 0, qPrintable(program + u'\n' + validated.output));
        }
    }

    // The browser returns to the scheme a connection sends, whichever server it was made for: the
    // loopback demo included. The callback URL reaches the program as its one argument.
    void desktopEntryRegistersTheSignInCallback() {
        const auto entry = keyFile(path(desktopFile));
        QVERIFY(entry.value(QStringLiteral("Exec")).endsWith(" %u"));
        const QStringList types = entry.value(QStringLiteral("MimeType")).split(u';', Qt::SkipEmptyParts);
        QTemporaryDir settingsDir;
        auto settings =
            std::make_shared<QSettings>(settingsDir.filePath("settings.ini"), QSettings::IniFormat);
        for (const QString &server :
             {QStringLiteral("http://127.0.0.1:8080"), NativeConnection::defaultServer()}) {
            const QString scheme = NativeConnection::create(server, std::nullopt, settings)->callbackScheme();
            QVERIFY2(types.contains("x-scheme-handler/" + scheme),
                     qPrintable(scheme + u' ' + types.join(u';')));
        }
    }

    // The desktop finds the icon by the entry's Icon name and the software centre the entry by the
    // AppStream launchable.
    void namesAgreeAcrossTheFiles() {
        const auto entry = keyFile(path(desktopFile));
        QCOMPARE(entry.value(QStringLiteral("Icon")), appId);
        QCOMPARE(entry.value(QStringLiteral("Exec")).section(u' ', 0, 0), "brevane-tabrel");
        QFile metainfo(path(metainfoFile));
        QVERIFY(metainfo.open(QIODevice::ReadOnly));
        const QString xml = QString::fromUtf8(metainfo.readAll());
        QVERIFY(xml.contains("<launchable type=\"desktop-id\">" + appId + ".desktop<"));
        QVERIFY(xml.contains("<id>" + appId + "</id>"));
    }

#ifdef TABREL_INSTALLS_SERVER
    // The server never runs as root, keeps its data in its own state directory and sees little else;
    // systemd accepts the unit's syntax (the program itself is not installed on this system).
    void serverUnitIsConfinedToItsStateDirectory() {
        const auto unit = keyFile(path(unitFile));
        const QMap<QString, QString> confinement = {
            {"DynamicUser", "yes"},       {"StateDirectory", "tabrel-server"},
            {"ProtectSystem", "strict"},  {"ProtectHome", "yes"},
            {"PrivateTmp", "yes"},        {"NoNewPrivileges", "yes"},
            {"CapabilityBoundingSet", ""}};
        for (auto it = confinement.cbegin(); it != confinement.cend(); ++it)
            QVERIFY2(unit.contains(it.key()) && unit.value(it.key()) == it.value(), qPrintable(it.key()));
        QVERIFY(!unit.contains(QStringLiteral("User")));
        const QString start = unit.value(QStringLiteral("ExecStart"));
        QVERIFY2(start.contains("--data %S/tabrel-server") && start.contains("--listen 127.0.0.1:"),
                 qPrintable(start));
        if (QStandardPaths::findExecutable(QStringLiteral("systemd-analyze")).isEmpty())
            QSKIP("systemd-analyze is not installed");
        const Run verified = run(QStringLiteral("systemd-analyze"), {"verify", path(unitFile)});
        const QStringList complaints =
            verified.output.split(u'\n', Qt::SkipEmptyParts)
                .filter(QRegularExpression(QStringLiteral("^(?!.*is not executable)")));
        QVERIFY2(complaints.isEmpty(), qPrintable(verified.output));
    }
#endif

#ifdef TABREL_DEBIAN_PACKAGES
    void packagesHoldWhatInstallPuts() {
        QStringList expected = {QStringLiteral("brevane-tabrel")};
#ifdef TABREL_INSTALLS_SERVER
        expected.append(QStringLiteral("tabrel-server"));
#endif
        QCOMPARE(m_packages.keys(), expected);
        QStringList packaged;
        for (const QString &package : m_packages.keys())
            packaged += contents(package);
        packaged.sort();
        QCOMPARE(packaged, m_files);
    }

    // Each package holds its own part, and the packages of the libraries it links to, as
    // dpkg-shlibdeps named them: nothing is listed by hand.
    void eachPackageHoldsItsOwnPart_data() {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("holds");
        QTest::addColumn<QString>("leavesOut");
        QTest::addColumn<QString>("dependency"); // empty: no program, so no library
#ifdef TABREL_INSTALLS_CLIENT
        QTest::newRow("client") << "brevane-tabrel" << desktopFile << unitFile << "libqt6widgets6";
#else
        QTest::newRow("client") << "brevane-tabrel" << desktopFile << unitFile << "";
#endif
#ifdef TABREL_INSTALLS_SERVER
        QTest::newRow("server") << "tabrel-server" << unitFile << desktopFile << "libsqlite3-0";
#endif
    }
    void eachPackageHoldsItsOwnPart() {
        QFETCH(QString, package);
        QFETCH(QString, holds);
        QFETCH(QString, leavesOut);
        QFETCH(QString, dependency);
        const QStringList files = contents(package);
        QVERIFY2(files.contains(holds) && !files.contains(leavesOut), qPrintable(files.join(u'\n')));
        QCOMPARE(debField(m_packages.value(package), "Version"), TABREL_VERSION);
        const QString depends = debField(m_packages.value(package), "Depends");
        const QRegularExpression named(
            QStringLiteral("^%1( |$)").arg(QRegularExpression::escape(dependency)));
        QVERIFY2(dependency.isEmpty() || depends.split(", ").filter(named).size() == 1, qPrintable(depends));
#ifdef TABREL_INSTALLS_SERVER
        if (package == u"tabrel-server") { // it tells systemd about its unit
            const Run postinst =
                run(QStringLiteral("dpkg-deb"), {"--info", m_packages.value(package), "postinst"});
            QVERIFY2(postinst.output.contains("daemon-reload"), qPrintable(postinst.output));
        }
#endif
    }
#endif
};

QTEST_GUILESS_MAIN(TestInstallation)
#include "tst_Installation.moc"
