#include "AppRig.h"

#include "app/Application.h"
#include "app/Startup.h"
#include "common/ErrorBox.h"
#include "control/ControlServer.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"
#include "ui/Widgets.h"
#include "ui/form_Main.h"

#include <QFile>
#include <QTest>

namespace {
AppRig* g_rig = nullptr; // the rig whose log a recorded box notes
}

QList<ShownBox>& ShownBoxes() {
    static QList<ShownBox> boxes;
    return boxes;
}

QStringList BoxLines() {
    QStringList lines;
    for (const ShownBox& box : std::as_const(ShownBoxes()))
        lines.append(box.caption + QLatin1Char('|') + box.text);
    return lines;
}

std::function<void()>& WhileBoxIsUp() {
    static std::function<void()> hook;
    return hook;
}

void RecordBoxes(bool record) {
    if (!record) {
        ErrorBox::SetRecorder({});
        return;
    }
    ErrorBox::SetRecorder([](const ErrorBox::Shown& box) {
        ShownBoxes().append(
            {box.owner, box.caption, box.text, g_rig ? int(g_rig->LogLines().size()) : -1});
        if (WhileBoxIsUp())
            WhileBoxIsUp()();
    });
}

int RunAppTest(int argc, char** argv, QObject* testObject) {
    TInCyclerApplication app(argc, argv);
    RecordBoxes(true);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(testObject, argc, argv);
}

AppRig::AppRig() : AppRig(Options{}) {}

AppRig::AppRig(const Options& options) {
    m_portEnv = std::make_unique<ScopedEnv>("INCYCLER_PORT_DIR", m_portDir.path().toLocal8Bit());
    TLog::SetDirectoryOverride(m_logDir.path());
    VirtualSwitcher::Options sim;
    sim.model = options.model;
    sim.comNumber = options.comNumber;
    sim.portDir = m_portDir.path();
    m_switcher = std::make_unique<VirtualSwitcher>(sim);
    if (options.startSwitcher && !m_switcher->Start())
        qFatal("the virtual switcher did not start");

    ShownBoxes().clear();
    WhileBoxIsUp() = {};
    g_rig = this;
    m_form = new TFormMain;
    m_form->SetArguments(options.arguments);
    m_form->FormCreate();
    m_module = new Tmod_IF_ComPort;
    if (!m_form->OneShotRun())
        new TControlServer(m_module->ApdComPort1);
    if (options.show && m_form->ShowAtStart())
        m_form->show();
}

AppRig::~AppRig() {
    if (g_rig == this)
        g_rig = nullptr;
    ShutdownInCycler();
    m_switcher.reset();
    TLog::SetDirectoryOverride(QString());
}

QString AppRig::LogPath() const {
    return m_logDir.filePath(QStringLiteral("InCycler.log"));
}

QStringList AppRig::LogLines() const {
    const QString text = QString::fromUtf8(ReadWholeFile(LogPath()));
    QStringList lines = text.split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void AppRig::SelectPort(int comNumber) {
    m_form->LoadComPortList();
    const int index = m_form->cmb_ComPortNum->findText(QStringLiteral("COM%1").arg(comNumber));
    m_form->cmb_ComPortNum->setCurrentIndex(index);
}

bool AppRig::OpenPortByButton(int comNumber) {
    SelectPort(comNumber);
    QTest::mouseClick(m_form->btn_ComPortState, Qt::LeftButton);
    return QTest::qWaitFor([this] { return m_module->Connected(); }, 5000);
}
