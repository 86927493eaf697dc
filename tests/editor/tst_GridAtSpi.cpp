#include "EditorFixture.h"

#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>

#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {
constexpr const char *sessionVariable = "TABREL_ATSPI_SESSION";

// Reads the grid through the accessibility bus as a screen reader would: finds the table named
// "Spreadsheet grid" and prints its shape, two cell names and which of them are selected.
constexpr const char *reader = R"PY(
import sys, time, pyatspi
def find(node, depth=0):
    if node is None or depth > 13:
        return None
    if node.getRoleName() == 'table' and node.name == 'Spreadsheet grid':
        return node
    found = (find(node.getChildAtIndex(i), depth + 1) for i in range(min(node.childCount, 40)))
    return next((grid for grid in found if grid is not None), None)
# The application joins the bus on its own schedule: look again for a while.
for attempt in range(100):
    grid = find(pyatspi.Registry.getDesktop(0))
    if grid is not None:
        break
    time.sleep(0.2)
else:
    sys.exit('no grid')
table = grid.queryTable()
print('shape', table.nRows, table.nColumns)
for r, c in ((0, 0), (1, 1)):
    cell = table.getAccessibleAt(r, c)
    print('cell', cell.getRoleName(), '|', cell.name, '|', cell.getState().contains(pyatspi.STATE_SELECTED))
)PY";
} // namespace

// The grid read through the real AT-SPI bus, in a D-Bus session and X server of the test's own.
class TestGridAtSpi : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        if (!qEnvironmentVariableIsSet(sessionVariable))
            QSKIP("needs dbus-run-session, xvfb-run and at-spi2-core");
    }

    void screenReaderSeesCellsAndSelection() {
        EditorFixture f;
        f.open(6, 4, true, [](FakeSheetServer &server) { server.setCell(0, 0, "hello"); });
        f.model->select({1, 1});
        f.model->extendSelection({2, 2});
        QProcess python;
        QSignalSpy finished(&python, &QProcess::finished);
        // Debian's interpreter, which has python3-pyatspi, even when another python3 comes first in PATH.
        QString interpreter =
            QStandardPaths::findExecutable(QStringLiteral("python3"), {QStringLiteral("/usr/bin")});
        if (interpreter.isEmpty())
            interpreter = QStringLiteral("python3");
        python.start(interpreter, {QStringLiteral("-c"), QString::fromLatin1(reader)});
        // The event loop must keep running: the reader's questions are answered by this process.
        QVERIFY(finished.wait(60000));
        const QString output = QString::fromUtf8(python.readAllStandardOutput());
        QVERIFY2(python.exitCode() == 0,
                 qPrintable(output + QString::fromUtf8(python.readAllStandardError())));
        const QStringList lines = output.trimmed().split(u'\n');
        QCOMPARE(lines, (QStringList{QStringLiteral("shape 6 4"),
                                     QStringLiteral("cell table cell | A1, hello | False"),
                                     QStringLiteral("cell table cell | B2, Empty | True")}));
    }
};

int main(int argc, char **argv) {
    // Outside its own session the test starts itself again inside one: a private D-Bus session
    // (which activates the accessibility bus on demand) and a private X server.
    if (!qEnvironmentVariableIsSet(sessionVariable) &&
        !QStandardPaths::findExecutable("dbus-run-session").isEmpty() &&
        !QStandardPaths::findExecutable("xvfb-run").isEmpty() &&
        !QStandardPaths::findExecutable("python3").isEmpty()) {
        setenv(sessionVariable, "1", 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
        unsetenv("NO_AT_BRIDGE");
        std::vector<char *> command{const_cast<char *>("dbus-run-session"), const_cast<char *>("--"),
                                    const_cast<char *>("xvfb-run"), const_cast<char *>("-a")};
        for (int i = 0; i < argc; ++i)
            command.push_back(argv[i]);
        command.push_back(nullptr);
        execvp(command[0], command.data());
        return 127;
    }
    QApplication app(argc, argv);
    TestGridAtSpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_GridAtSpi.moc"
