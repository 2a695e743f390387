#include "form_Main.h"

#include "Widgets.h"
#include "app/ConnectReported.h"
#include "device/cls_Model.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QRadioButton>
#include <QTimeEdit>

#include <algorithm>

TFormMain* FormMain = nullptr;

namespace {

constexpr int kClientWidth = 537;
constexpr int kClientHeight = 527;

QFont WindowFont() {
    const QStringList families = QFontDatabase::families();
    for (const char* name : {"Meiryo UI", "Noto Sans CJK JP", "Noto Sans JP"}) {
        if (families.contains(QLatin1String(name)))
            return QFont(QLatin1String(name), 9);
    }
    QFont font;
    font.setPointSize(9);
    return font;
}

template <typename W>
W* Place(W* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

// The design's label sizes were what its own font needed: a label takes the size of its
// text. One that names the control after it keeps its right edge, so that a wider text
// grows into the free space before it rather than under the control.
enum class Grow { Right, Left };

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top,
                  int width, Grow grow) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    const QSize size = label->sizeHint();
    const int x = grow == Grow::Left ? left + width - size.width() : left;
    label->setGeometry(x, top, size.width(), size.height());
    return label;
}

// A radio button is as wide as its text needs, up to the next control on its row, and never
// narrower than the design made it.
void FitWidthToText(QRadioButton* button, int limit) {
    const int wanted = std::min(button->sizeHint().width(), limit - button->x());
    button->resize(std::max(wanted, button->width()), button->height());
}

QFrame* MakePanel(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* panel = Place(new QFrame(parent), name, left, top, width, height);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(1);
    return panel;
}

QTimeEdit* MakeTimePicker(QWidget* parent, const char* name, QTime time, int left, int top) {
    auto* picker = Place(new QTimeEdit(time, parent), name, left, top, 90, 23);
    picker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    return picker;
}

} // namespace

TFormMain::TFormMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
    if (FormMain == nullptr)
        FormMain = this;
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(tr("インサイクラー"));
    setFixedSize(kClientWidth, kClientHeight);
    setFont(WindowFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);

    BuildControls();
    BuildTray();
    ConnectHandlers();
}

void TFormMain::BuildControls() {
    panel_Top = MakePanel(this, "panel_Top", 0, 0, 537, 49);
    Label1 = MakeLabel(panel_Top, "Label1", tr("機種："), 16, 16, 36, Grow::Left);
    cmb_Model = Place(new QComboBox(panel_Top), "cmb_Model", 58, 13, 105, 23);
    cmb_Model->addItems({QStringLiteral("RSX-24P"), QStringLiteral("RSX-24Q")});
    cmb_Model->setCurrentIndex(0);
    cmb_Model->setMaxVisibleItems(10);
    lblComPortNum =
        MakeLabel(panel_Top, "lblComPortNum", tr("ポート番号："), 209, 16, 64, Grow::Left);
    cmb_ComPortNum = Place(new TComPortComboBox(panel_Top), "cmb_ComPortNum", 279, 13, 85, 23);
    cmb_ComPortNum->addItem(QString());
    for (int n = 1; n <= 20; ++n)
        cmb_ComPortNum->addItem(QStringLiteral("COM%1").arg(n));
    cmb_ComPortNum->setCurrentIndex(0);
    cmb_ComPortNum->setMaxVisibleItems(10);
    btn_ComPortState = Place(new TToggleButton(QStringLiteral("Open"), 1, 0, panel_Top),
                             "btn_ComPortState", 370, 11, 71, 25);

    panel_Client = MakePanel(this, "panel_Client", 0, 49, 537, 478);

    grp_Term = Place(new QGroupBox(tr("動作設定"), panel_Client), "grp_Term", 8, 15, 519, 97);
    rb_Jouji = Place(new QRadioButton(tr("常時切り替え制御を実行する"), grp_Term), "rb_Jouji", 24,
                     32, 177, 17);
    rb_Jouji->setChecked(true);
    //: Followed by the window's start time, the text between the times, and its end time.
    rb_Shitei = Place(new QRadioButton(tr("指定した時刻の間、切り替え制御を実行する"), grp_Term),
                      "rb_Shitei", 24, 64, 241, 17);
    dt_Start = MakeTimePicker(grp_Term, "dt_Start", QTime(8, 0, 0), 286, 60);
    //: Between the two times; the pickers leave it 18 pixels.
    Label2 = MakeLabel(grp_Term, "Label2", tr("～"), 382, 64, 12, Grow::Right);
    FitWidthToText(rb_Jouji, grp_Term->width());
    FitWidthToText(rb_Shitei, dt_Start->x());
    dt_End = MakeTimePicker(grp_Term, "dt_End", QTime(17, 0, 0), 400, 60);

    grp_AutoChange = Place(new QGroupBox(tr("切り替え実行設定"), panel_Client), "grp_AutoChange", 8,
                           127, 519, 74);
    Label3 = MakeLabel(grp_AutoChange, "Label3", tr("切り替え間隔："), 21, 38, 77, Grow::Left);
    spn_Interval = Place(new TSpinEdit(grp_AutoChange), "spn_Interval", 99, 35, 57, 24);
    spn_Interval->SetLimits(0, 0);
    spn_Interval->SetValue(1);
    cmb_IntervalUnit = Place(new QComboBox(grp_AutoChange), "cmb_IntervalUnit", 162, 35, 46, 23);
    //: Seconds, then minutes: the interval's units, in a list that leaves them 21 pixels.
    cmb_IntervalUnit->addItems({tr("秒"), tr("分")});
    cmb_IntervalUnit->setCurrentIndex(0);
    cmb_IntervalUnit->setMaxVisibleItems(10);
    Label4 = MakeLabel(grp_AutoChange, "Label4", tr("切り替え対象："), 253, 35, 77, Grow::Left);
    clb_EnableSource = Place(new QListWidget(grp_AutoChange), "clb_EnableSource", 333, 16, 55, 49);
    for (const char* item : {"IN1", "IN2", "IN3"}) {
        auto* entry = new QListWidgetItem(QLatin1String(item), clb_EnableSource);
        entry->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        entry->setCheckState(Qt::Unchecked);
        entry->setSizeHint(QSize(0, 15));
    }
    clb_EnableSource->setUniformItemSizes(true);

    btn_Start = Place(new QPushButton(tr("開始"), panel_Client), "btn_Start", 8, 219, 100, 40);
    btn_Stop = Place(new QPushButton(tr("停止"), panel_Client), "btn_Stop", 114, 219, 100, 40);
    txt_RunState = new QLabel(tr("自動切り替え停止中"), panel_Client);
    txt_RunState->setObjectName(QStringLiteral("txt_RunState"));
    txt_RunState->move(243, 219);
    txt_RunState->adjustSize();
    txt_TimeMode = new QLabel(tr("時間指定モード：時間内実行中"), panel_Client);
    txt_TimeMode->setObjectName(QStringLiteral("txt_TimeMode"));
    txt_TimeMode->move(243, 240);
    txt_TimeMode->adjustSize();

    panel_Bottom = Place(new QFrame(panel_Client), "panel_Bottom", 1, 277, 535, 200);
    panel_Bottom->setFrameStyle(QFrame::Box | QFrame::Plain);
    panel_Bottom->setLineWidth(1);
    QPalette white = panel_Bottom->palette();
    white.setColor(QPalette::Window, Qt::white);
    panel_Bottom->setPalette(white);
    panel_Bottom->setAutoFillBackground(true);
    Label6 = MakeLabel(panel_Bottom, "Label6", tr("電源状態："), 13, 11, 60, Grow::Right);
    btn_PowerState = Place(new TToggleButton(QStringLiteral("OFF"), 1, 1, panel_Bottom),
                           "btn_PowerState", 13, 32, 75, 55);
    Label5 = MakeLabel(panel_Bottom, "Label5", tr("選択状態："), 13, 107, 60, Grow::Right);
    btn_Source_01 = Place(new TToggleButton(QStringLiteral("IN 1"), 2, 1, panel_Bottom),
                          "btn_Source_01", 13, 128, 75, 55);
    btn_Source_02 = Place(new TToggleButton(QStringLiteral("IN 2"), 2, 2, panel_Bottom),
                          "btn_Source_02", 94, 128, 75, 55);
    btn_Source_03 = Place(new TToggleButton(QStringLiteral("IN 3"), 2, 3, panel_Bottom),
                          "btn_Source_03", 175, 128, 75, 55);

    // Keyboard order: the panels in turn, and within each its controls in their order.
    // Labels and toggle buttons take no focus.
    for (QWidget* w : std::initializer_list<QWidget*>{
             panel_Top, panel_Client, grp_Term, grp_AutoChange, panel_Bottom, Label1, Label2,
             Label3, Label4, Label5, Label6, lblComPortNum, txt_RunState, txt_TimeMode})
        w->setFocusPolicy(Qt::NoFocus);
    const QList<QWidget*> order{cmb_Model,        cmb_ComPortNum, rb_Jouji,     rb_Shitei,
                                dt_Start,         dt_End,         spn_Interval, cmb_IntervalUnit,
                                clb_EnableSource, btn_Start,      btn_Stop};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    tmr_StartupProcess_ForCmdLineParams = new TWindowTimer(this, kCmdLineStartDelayMs, false);
    tmr_StartupProcess_ForRotateParams = new TWindowTimer(this, kCmdLineStartDelayMs, false);
    tmr_CheckSource = new TWindowTimer(this, kCheckSourceDelayMs, false);
    tmr_RollSelectSource = new TWindowTimer(this, kRotationDesignIntervalMs, false);
    tmr_CheckPower = new TWindowTimer(this, kCheckPowerDelayMs, false);
    f_WindowOpeningAlarm = new TWallClockAlarm(this);
}

void TFormMain::ConnectHandlers() {
    ConnectReported(cmb_Model, &QComboBox::activated, this, &TFormMain::cmb_ModelChange);
    ConnectReported(cmb_IntervalUnit, &QComboBox::activated, this,
                    &TFormMain::cmb_IntervalUnitChange);
    spn_Interval->KeyPressFilter = [this](QChar key) { return spn_IntervalKeyPress(key); };
    ConnectReported(cmb_ComPortNum, &TComPortComboBox::DropDown, this,
                    &TFormMain::cmb_ComPortNumDropDown);
    ConnectReported(cmb_ComPortNum, &TComPortComboBox::KeyDown, this,
                    &TFormMain::cmb_ComPortNumKeyDown);

    ConnectReported(btn_ComPortState, &TToggleButton::Click, this,
                    &TFormMain::btn_ComPortStateClick);
    ConnectReported(btn_PowerState, &TToggleButton::Click, this, &TFormMain::btn_PowerStateClick);
    for (TToggleButton* source : {btn_Source_01, btn_Source_02, btn_Source_03})
        ConnectReported(source, &TToggleButton::Click, this, &TFormMain::btn_Source_xxClick);
    ConnectReported(btn_Start, &QPushButton::clicked, this, &TFormMain::btn_StartClick);
    ConnectReported(btn_Stop, &QPushButton::clicked, this, &TFormMain::btn_StopClick);

    ConnectReported(tmr_StartupProcess_ForCmdLineParams, &TWindowTimer::Timer, this,
                    &TFormMain::tmr_StartupProcess_ForCmdLineParamsTimer);
    ConnectReported(tmr_StartupProcess_ForRotateParams, &TWindowTimer::Timer, this,
                    &TFormMain::tmr_StartupProcess_ForRotateParamsTimer);
    ConnectReported(tmr_CheckSource, &TWindowTimer::Timer, this, &TFormMain::tmr_CheckSourceTimer);
    ConnectReported(tmr_RollSelectSource, &TWindowTimer::Timer, this,
                    &TFormMain::tmr_RollSelectSourceTimer);
    ConnectReported(tmr_CheckPower, &TWindowTimer::Timer, this, &TFormMain::tmr_CheckPowerTimer);
    ConnectReported(f_WindowOpeningAlarm, &TWallClockAlarm::Due, this,
                    &TFormMain::WindowOpeningAlarmDue);

    // The idle refresh has no timer of its own: it runs each time the GUI thread's event loop
    // is about to block, after whatever woke it has been handled. A loop that never blocks
    // (QTRY's processEvents in the tests) never refreshes: the tests call it themselves.
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        ConnectReported(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                        &TFormMain::ApplicationEvents1Idle);
}

void TFormMain::ReplaceModel(TModel* model) {
    delete f_Model;
    f_Model = model;
}

void TFormMain::cmb_ModelChange() {
    switch (cmb_Model->currentIndex()) {
    case 0:
        ReplaceModel(new TRsx24p);
        break;
    case 1:
        ReplaceModel(new TRsx24q);
        break;
    default:
        ReplaceModel(nullptr);
        break;
    }
}

void TFormMain::cmb_IntervalUnitChange() {
    ApplyIntervalUnit();
}

void TFormMain::ApplyIntervalUnit() {
    switch (cmb_IntervalUnit->currentIndex()) {
    case 0:
        spn_Interval->SetLimits(5, 120);
        spn_Interval->SetValue(5);
        break;
    case 1:
        spn_Interval->SetLimits(1, 120);
        spn_Interval->SetValue(1);
        break;
    default:
        break;
    }
}

bool TFormMain::spn_IntervalKeyPress(QChar key) {
    return (key >= QLatin1Char('0') && key <= QLatin1Char('9')) || key.unicode() == 8;
}
