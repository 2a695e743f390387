// The log cannot be written from the start: start-up reports the error through the
// top-level report and goes on, and the program works the port and switches as usual;
// a record it cannot write later is reported the same way and changes nothing else.

#include "ControlSupport.h"
#include "DrillSupport.h"
#include "app/ErrorReport.h"
#include "app/Startup.h"
#include "log/cls_Log.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ControlSupport;
using namespace DrillSupport;

namespace {

constexpr int kIntervalMs = 1000;
constexpr int kWaitMs = 30000;

// Makes the log impossible to create in dir and says how. A read-only directory is the
// natural way; root writes into one all the same, so there a directory takes the log's
// name instead. Empty when neither works.
QString MakeLogUnwritable(const QString& dir) {
    const QByteArray native = QFile::encodeName(dir);
    if (::chmod(native.constData(), 0555) != 0)
        return {};
    const QByteArray probe = QFile::encodeName(QDir(dir).filePath(QStringLiteral("probe")));
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES)
        return QStringLiteral("a read-only directory");
    if (fd >= 0) {
        ::close(fd);
        ::unlink(probe.constData());
    }
    ::chmod(native.constData(), 0755);
    if (QDir(dir).mkdir(QStringLiteral("InCycler.log")))
        return QStringLiteral("a directory in the log's place");
    return {};
}

} // namespace

class TestLogUnwritable : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void startUpReportsAndTheProgramWorks();

private:
    QTemporaryDir m_logDir;
    QTemporaryDir m_portDir;
    std::unique_ptr<ScopedEnv> m_portEnv;
    std::unique_ptr<VirtualSwitcher> m_switcher;
};

void TestLogUnwritable::cleanup() {
    ShutdownInCycler();
    m_switcher.reset();
    m_portEnv.reset();
    TLog::SetDirectoryOverride(QString());
    ::chmod(QFile::encodeName(m_logDir.path()).constData(), 0755);
}

void TestLogUnwritable::startUpReportsAndTheProgramWorks() {
    QVERIFY(m_logDir.isValid() && m_portDir.isValid());
    const QString how = MakeLogUnwritable(m_logDir.path());
    if (how.isEmpty())
        QSKIP("the log's directory could be made neither read-only nor hold a directory "
              "in the log's place");
    qInfo("log made unwritable by %s", qPrintable(how));
    const QString logPath = QDir(m_logDir.path()).filePath(QStringLiteral("InCycler.log"));

    TLog::SetDirectoryOverride(m_logDir.path());
    m_portEnv = std::make_unique<ScopedEnv>("INCYCLER_PORT_DIR", m_portDir.path().toLocal8Bit());
    VirtualSwitcher::Options options;
    options.comNumber = 3;
    options.portDir = m_portDir.path();
    m_switcher = std::make_unique<VirtualSwitcher>(options);
    QVERIFY(m_switcher->Start());
    VirtualSwitcher& sw = *m_switcher;
    ShownBoxes().clear();

    // Start-up as the program runs it, without a command line.
    auto* form = new TFormMain;
    form->SetArguments({});
    StartInCycler(form);
    QVERIFY(mod_IF_ComPort != nullptr);
    QVERIFY(form->ShowAtStart());
    form->show();

    const QString title = ErrorReport::ApplicationTitle(
        QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QCOMPARE(ShownBoxes().size(), 1);
    const QString report = BoxLines().first();
    QVERIFY2(report.startsWith(title + '|' + logPath + QStringLiteral(": ")), qPrintable(report));
    QVERIFY2(report.endsWith('.'), qPrintable(report));
    // What the start-up had made before the error is there; the rest comes from the window.
    QVERIFY(form->Model() != nullptr);
    QVERIFY(form->Log() != nullptr);
    QCOMPARE(form->tmr_CheckPower->Interval(), 650);

    // The port opens and the device's answers come in.
    form->LoadComPortList();
    form->cmb_ComPortNum->setCurrentIndex(form->cmb_ComPortNum->findText(QStringLiteral("COM3")));
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(
        mod_IF_ComPort->Connected() && form->Model()->PowerState() == psPowerOff &&
            form->Model()->SelectedSourceNum() == 1 && !form->tmr_CheckSource->Enabled() &&
            Refreshed(form) && form->btn_Start->isEnabled(),
        kWaitMs);

    // The rotation runs.
    SetEveryTime(form, {1, 3});
    sw.ClearFrames();
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    form->tmr_RollSelectSource->SetInterval(kIntervalMs);
    QVERIFY(RunLoopUntil([&] { return Selects(sw).size() >= 2; }, kWaitMs));
    QCOMPARE(Selects(sw), (QByteArrayList{"SRC1", "SRC3"}));
    QVERIFY(sw.PowerOn());
    QCOMPARE(ShownBoxes().size(), 1);

    // A record that cannot be written is reported like any error that escapes a handler;
    // the rotation is not stopped by it.
    sw.Stop();
    QVERIFY(RunLoopUntil([&] { return ShownBoxes().size() >= 2; }, kWaitMs));
    QVERIFY2(BoxLines().at(1) == report, qPrintable(BoxLines().at(1)));
    QVERIFY(form->AutoChangeRunning());
    QVERIFY(form->tmr_RollSelectSource->Enabled());
    // Only the top-level report: no box of the switching control.
    for (const ShownBox& box : std::as_const(ShownBoxes()))
        QCOMPARE(box.caption, title);
    QVERIFY(!QFileInfo(logPath).isFile());
}

INCYCLER_APP_TEST_MAIN(TestLogUnwritable)
#include "tst_drill_logunwritable.moc"
