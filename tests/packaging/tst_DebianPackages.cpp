// CPack's Debian packages hold exactly what `cmake --install` installs, split into the client and
// the server package, with library dependencies worked out by dpkg-shlibdeps.

#include "InstallTree.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class TestDebianPackages : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    QStringList m_installed;
    QMap<QString, QString> m_packages; // package name -> .deb file

    QString scratch(const QString &name) const { return m_scratch.filePath(name); }

    static QString debField(const QString &deb, const QString &name) {
        const InstallTree::Run run =
            InstallTree::run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), deb, name});
        return run.exitCode == 0 ? run.output.trimmed() : QString();
    }
    QString field(const QString &package, const QString &name) {
        return debField(m_packages.value(package), name);
    }

    QStringList contents(const QString &package) {
        const QString folder = scratch(QStringLiteral("unpacked-") + package);
        const InstallTree::Run run = InstallTree::run(
            QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_packages.value(package), folder});
        return run.exitCode == 0 ? InstallTree::files(folder) : QStringList{run.output};
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_scratch.isValid());
        const InstallTree::Run installed = InstallTree::install(scratch(QStringLiteral("installed")));
        QVERIFY2(installed.exitCode == 0, qPrintable(installed.output));
        m_installed = InstallTree::files(scratch(QStringLiteral("installed")));

        const QString out = scratch(QStringLiteral("packages"));
        const InstallTree::Run packed = InstallTree::run(
            QStringLiteral(TABREL_CPACK),
            {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
             QStringLiteral(TABREL_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), out});
        QVERIFY2(packed.exitCode == 0, qPrintable(packed.output));
        for (const QString &deb : QDir(out).entryList({QStringLiteral("*.deb")}, QDir::Files)) {
            const QString file = QDir(out).filePath(deb);
            m_packages.insert(debField(file, QStringLiteral("Package")), file);
        }
    }

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
        QCOMPARE(packaged, m_installed);
    }

    void eachPackageHoldsItsOwnPart_data() {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("holds");
        QTest::addColumn<QString>("leavesOut");
        const QString desktop = QStringLiteral("usr/share/applications/" TABREL_APP_ID ".desktop");
        const QString unit = QStringLiteral("usr/lib/systemd/system/tabrel-server.service");
        QTest::newRow("client") << "brevane-tabrel" << desktop << unit;
#ifdef TABREL_INSTALLS_SERVER
        QTest::newRow("server") << "tabrel-server" << unit << desktop;
#endif
    }

    void eachPackageHoldsItsOwnPart() {
        QFETCH(QString, package);
        QFETCH(QString, holds);
        QFETCH(QString, leavesOut);
        const QStringList files = contents(package);
        QVERIFY2(files.contains(holds), qPrintable(files.join(u'\n')));
        QVERIFY(!files.contains(leavesOut));
        QCOMPARE(field(package, QStringLiteral("Version")), QStringLiteral(TABREL_VERSION));
    }

#ifdef TABREL_INSTALLS_SERVER
    void serverPackageTellsSystemdAboutItsUnit() {
        const InstallTree::Run postinst =
            InstallTree::run(QStringLiteral("dpkg-deb"),
                             {QStringLiteral("--info"), m_packages.value("tabrel-server"), "postinst"});
        QVERIFY2(postinst.output.contains(QStringLiteral("daemon-reload")), qPrintable(postinst.output));
    }
#endif

    // dpkg-shlibdeps named the libraries' packages; nothing was listed by hand.
    void libraryDependenciesAreWorkedOut_data() {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("dependency");
#ifdef TABREL_INSTALLS_CLIENT
        QTest::newRow("client needs Qt") << QStringLiteral("brevane-tabrel") << "libqt6widgets6";
#endif
#ifdef TABREL_INSTALLS_SERVER
        const QString server = QStringLiteral("tabrel-server");
        QTest::newRow("server needs SQLite") << server << "libsqlite3-0";
        QTest::newRow("server needs the C library") << server << "libc6";
#endif
    }

    void libraryDependenciesAreWorkedOut() {
        QFETCH(QString, package);
        QFETCH(QString, dependency);
        const QString depends = field(package, QStringLiteral("Depends"));
        const QRegularExpression named(
            QStringLiteral("^%1( |$)").arg(QRegularExpression::escape(dependency)));
        QVERIFY2(depends.split(QStringLiteral(", ")).filter(named).size() == 1, qPrintable(depends));
    }
};

QTEST_GUILESS_MAIN(TestDebianPackages)
#include "tst_DebianPackages.moc"
