// `cmake --install` puts the desktop entry, icon, AppStream data, programs and the server's unit
// where the desktop and systemd look for them, in a form the distribution's validators accept.

#include "InstallTree.h"

#include "connection/NativeConnection.h"

#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString appId = QStringLiteral(TABREL_APP_ID);
const QString desktopFile = QStringLiteral("usr/share/applications/") + appId + QStringLiteral(".desktop");
const QString metainfoFile = QStringLiteral("usr/share/metainfo/") + appId + QStringLiteral(".metainfo.xml");
const QString iconFile =
    QStringLiteral("usr/share/icons/hicolor/scalable/apps/") + appId + QStringLiteral(".svg");
const QString unitFile = QStringLiteral("usr/lib/systemd/system/tabrel-server.service");
} // namespace

class TestInstallation : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    QStringList m_files;

    QString path(const QString &relative) const { return m_root.filePath(relative); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_root.isValid());
        const InstallTree::Run installed = InstallTree::install(m_root.path());
        QVERIFY2(installed.exitCode == 0, qPrintable(installed.output));
        m_files = InstallTree::files(m_root.path());
    }

    // The desktop entry, AppStream data and unit are read by the checks below.
    void filesLandInTheirFreedesktopPlaces_data() {
        QTest::addColumn<QString>("file");
        QTest::newRow("scalable icon") << iconFile;
#ifdef TABREL_INSTALLS_CLIENT
        QTest::newRow("client") << QStringLiteral("usr/bin/brevane-tabrel");
#endif
#ifdef TABREL_INSTALLS_SERVER
        QTest::newRow("server") << QStringLiteral("usr/bin/tabrel-server");
#endif
    }

    void filesLandInTheirFreedesktopPlaces() {
        QFETCH(QString, file);
        QVERIFY2(m_files.contains(file), qPrintable(m_files.join(u'\n')));
    }

    void validatorsAcceptTheDesktopData_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("desktop-file-validate") << "desktop-file-validate" << QStringList{desktopFile};
        QTest::newRow("appstreamcli") << "appstreamcli" << QStringList{"validate", "--no-net", metainfoFile};
    }

    void validatorsAcceptTheDesktopData() {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        for (QString &argument : arguments) {
            if (argument.startsWith(QStringLiteral("usr/")))
                argument = path(argument);
        }
        const InstallTree::Run run = InstallTree::run(program, arguments);
        QVERIFY2(run.exitCode == 0, qPrintable(program + u'\n' + run.output));
    }

    // The browser returns to the scheme a connection sends, whichever server it was made for: the
    // loopback demo included.
    void desktopEntryRegistersTheSignInCallback_data() {
        QTest::addColumn<QString>("server");
        QTest::newRow("loopback demo") << "http://127.0.0.1:8080";
        QTest::newRow("built-in default") << NativeConnection::defaultServer();
        QTest::newRow("another team") << "https://tables.example.org";
    }

    void desktopEntryRegistersTheSignInCallback() {
        QFETCH(QString, server);
        QTemporaryDir settingsDir;
        auto settings = std::make_shared<QSettings>(settingsDir.filePath(QStringLiteral("settings.ini")),
                                                    QSettings::IniFormat);
        const auto connection = NativeConnection::create(server, std::nullopt, settings);
        const auto entry = InstallTree::keyFile(path(desktopFile));
        const QStringList types = entry.value(QStringLiteral("MimeType")).split(u';', Qt::SkipEmptyParts);
        QVERIFY2(types.contains(QStringLiteral("x-scheme-handler/") + connection->callbackScheme()),
                 qPrintable(connection->callbackScheme() + u' ' + types.join(u';')));
        // The callback URL reaches the program as its one argument.
        QVERIFY(entry.value(QStringLiteral("Exec")).endsWith(QStringLiteral(" %u")));
    }

    // The desktop finds the icon by the entry's Icon name and the software centre the entry by the
    // AppStream launchable.
    void namesAgreeAcrossTheFiles() {
        const auto entry = InstallTree::keyFile(path(desktopFile));
        QCOMPARE(entry.value(QStringLiteral("Icon")), appId);
        QCOMPARE(entry.value(QStringLiteral("Exec")).section(u' ', 0, 0), QStringLiteral("brevane-tabrel"));
        QFile metainfo(path(metainfoFile));
        QVERIFY(metainfo.open(QIODevice::ReadOnly));
        const QString xml = QString::fromUtf8(metainfo.readAll());
        QVERIFY(xml.contains(QStringLiteral("<launchable type=\"desktop-id\">") + appId +
                             QStringLiteral(".desktop<")));
        QVERIFY(xml.contains(QStringLiteral("<id>") + appId + QStringLiteral("</id>")));
    }

#ifdef TABREL_INSTALLS_SERVER
    // The server never runs as root, keeps its data in its own state directory and sees little else.
    void serverUnitIsConfinedToItsStateDirectory_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("no fixed user") << "DynamicUser" << "yes";
        QTest::newRow("state directory") << "StateDirectory" << "tabrel-server";
        QTest::newRow("read-only system") << "ProtectSystem" << "strict";
        QTest::newRow("no home folders") << "ProtectHome" << "yes";
        QTest::newRow("private /tmp") << "PrivateTmp" << "yes";
        QTest::newRow("no new privileges") << "NoNewPrivileges" << "yes";
        QTest::newRow("no capabilities") << "CapabilityBoundingSet" << "";
    }

    void serverUnitIsConfinedToItsStateDirectory() {
        QFETCH(QString, key);
        QFETCH(QString, value);
        const auto unit = InstallTree::keyFile(path(unitFile));
        QVERIFY2(unit.contains(key), qPrintable(key));
        QCOMPARE(unit.value(key), value);
        QVERIFY(!unit.contains(QStringLiteral("User")));
    }

    void serverKeepsItsDataInTheStateDirectory() {
        const auto unit = InstallTree::keyFile(path(unitFile));
        const QString data = QStringLiteral("--data %S/") + unit.value(QStringLiteral("StateDirectory"));
        QVERIFY2(unit.value(QStringLiteral("ExecStart")).contains(data), qPrintable(unit.value("ExecStart")));
        QVERIFY(unit.value(QStringLiteral("ExecStart")).contains(QStringLiteral("--listen 127.0.0.1:")));
    }

    void systemdAcceptsTheServerUnit() {
        if (QStandardPaths::findExecutable(QStringLiteral("systemd-analyze")).isEmpty())
            QSKIP("systemd-analyze is not installed");
        // Checks the syntax of every option; the program itself is not installed on this system.
        const InstallTree::Run run =
            InstallTree::run(QStringLiteral("systemd-analyze"), {QStringLiteral("verify"), path(unitFile)});
        const QStringList complaints =
            run.output.split(u'\n', Qt::SkipEmptyParts)
                .filter(QRegularExpression(QStringLiteral("^(?!.*is not executable)")));
        QVERIFY2(complaints.isEmpty(), qPrintable(run.output));
    }
#endif
};

QTEST_GUILESS_MAIN(TestInstallation)
#include "tst_Installation.moc"
