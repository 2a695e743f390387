// The main window as it is built: every control's name, kind, parent, place and initial
// content, every text whole in its control, the keyboard order, the components without a
// place, and the controller's fields right after start-up.

#include "ControlSupport.h"
#include "app/Translations.h"
#include "log/cls_Log.h"

#include <QAction>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QSet>
#include <QStyle>
#include <QStyleOption>

using namespace ControlSupport;

namespace {

enum class Kind { Panel, Label, List, Toggle, Group, Radio, Time, Spin, CheckList, Push };

// How a control's geometry follows its text: not at all, sized to it from the place's left
// edge (an empty place: from its top-left corner), sized to it up to the place's right edge,
// or only widened to it.
enum class Fit { None, Text, TextToRight, Width };

struct Expected {
    const char* name;
    Kind kind;
    const char* parent;
    QRect place; // as designed
    Fit fit = Fit::None;
};

const QList<Expected>& Controls() {
    static const QList<Expected> controls{
        {"panel_Top", Kind::Panel, "FormMain", {0, 0, 537, 49}},
        {"Label1", Kind::Label, "panel_Top", {16, 16, 36, 15}, Fit::TextToRight},
        {"cmb_Model", Kind::List, "panel_Top", {58, 13, 105, 23}},
        {"lblComPortNum", Kind::Label, "panel_Top", {209, 16, 64, 15}, Fit::TextToRight},
        {"cmb_ComPortNum", Kind::List, "panel_Top", {279, 13, 85, 23}},
        {"btn_ComPortState", Kind::Toggle, "panel_Top", {370, 11, 71, 25}},
        {"panel_Client", Kind::Panel, "FormMain", {0, 49, 537, 478}},
        {"grp_Term", Kind::Group, "panel_Client", {8, 15, 519, 97}},
        {"rb_Jouji", Kind::Radio, "grp_Term", {24, 32, 177, 17}, Fit::Width},
        {"rb_Shitei", Kind::Radio, "grp_Term", {24, 64, 241, 17}, Fit::Width},
        {"dt_Start", Kind::Time, "grp_Term", {286, 60, 90, 23}},
        {"Label2", Kind::Label, "grp_Term", {382, 64, 12, 15}, Fit::Text},
        {"dt_End", Kind::Time, "grp_Term", {400, 60, 90, 23}},
        {"grp_AutoChange", Kind::Group, "panel_Client", {8, 127, 519, 74}},
        {"Label3", Kind::Label, "grp_AutoChange", {21, 38, 77, 15}, Fit::TextToRight},
        {"spn_Interval", Kind::Spin, "grp_AutoChange", {99, 35, 57, 24}},
        {"cmb_IntervalUnit", Kind::List, "grp_AutoChange", {162, 35, 46, 23}},
        {"Label4", Kind::Label, "grp_AutoChange", {253, 35, 77, 15}, Fit::TextToRight},
        {"clb_EnableSource", Kind::CheckList, "grp_AutoChange", {333, 16, 55, 49}},
        {"btn_Start", Kind::Push, "panel_Client", {8, 219, 100, 40}},
        {"btn_Stop", Kind::Push, "panel_Client", {114, 219, 100, 40}},
        {"txt_RunState", Kind::Label, "panel_Client", {243, 219, 0, 0}, Fit::Text},
        {"txt_TimeMode", Kind::Label, "panel_Client", {243, 240, 0, 0}, Fit::Text},
        {"panel_Bottom", Kind::Panel, "panel_Client", {1, 277, 535, 200}},
        {"Label6", Kind::Label, "panel_Bottom", {13, 11, 60, 15}, Fit::Text},
        {"btn_PowerState", Kind::Toggle, "panel_Bottom", {13, 32, 75, 55}},
        {"Label5", Kind::Label, "panel_Bottom", {13, 107, 60, 15}, Fit::Text},
        {"btn_Source_01", Kind::Toggle, "panel_Bottom", {13, 128, 75, 55}},
        {"btn_Source_02", Kind::Toggle, "panel_Bottom", {94, 128, 75, 55}},
        {"btn_Source_03", Kind::Toggle, "panel_Bottom", {175, 128, 75, 55}},
    };
    return controls;
}

bool IsKind(QWidget* w, Kind kind) {
    switch (kind) {
    case Kind::Panel:
        return w->metaObject() == &QFrame::staticMetaObject;
    case Kind::Label:
        return qobject_cast<QLabel*>(w) != nullptr;
    case Kind::List: {
        auto* box = qobject_cast<QComboBox*>(w);
        return box != nullptr && !box->isEditable();
    }
    case Kind::Toggle:
        return qobject_cast<TToggleButton*>(w) != nullptr;
    case Kind::Group:
        return qobject_cast<QGroupBox*>(w) != nullptr;
    case Kind::Radio:
        return qobject_cast<QRadioButton*>(w) != nullptr;
    case Kind::Time:
        return qobject_cast<QTimeEdit*>(w) != nullptr;
    case Kind::Spin:
        return qobject_cast<TSpinEdit*>(w) != nullptr;
    case Kind::CheckList:
        return qobject_cast<QListWidget*>(w) != nullptr;
    case Kind::Push: {
        auto* button = qobject_cast<QPushButton*>(w);
        return button != nullptr && !button->isCheckable();
    }
    }
    return false;
}

QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items.append(box->itemText(i));
    return items;
}

// Where the style draws a control's text, and a text it may show there.
struct TextRoom {
    QRect room;
    QString text;
};

QList<TextRoom> TextRooms(QWidget* w) {
    QStyle* style = w->style();
    if (auto* button = qobject_cast<QPushButton*>(w)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect room = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        QList<TextRoom> rooms{{room, button->text()}};
        // The captions the refresh gives them.
        if (button->objectName() == QLatin1String("btn_ComPortState"))
            rooms.append({room, QStringLiteral("Close")});
        if (button->objectName() == QLatin1String("btn_PowerState"))
            rooms.append({room, QStringLiteral("ON")});
        return rooms;
    }
    if (auto* radio = qobject_cast<QRadioButton*>(w)) {
        QStyleOptionButton option;
        option.initFrom(radio);
        option.text = radio->text();
        return {
            {style->subElementRect(QStyle::SE_RadioButtonContents, &option, radio), radio->text()}};
    }
    if (auto* box = qobject_cast<QComboBox*>(w)) {
        QStyleOptionComboBox option;
        option.initFrom(box);
        const QRect room =
            style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box);
        QList<TextRoom> rooms;
        for (const QString& item : Items(box))
            rooms.append({room, item});
        return rooms;
    }
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
        // The editor keeps two pixels either side of its text. The interval field holds at
        // most three digits, 120 at most.
        const QRect room = spin->findChild<QLineEdit*>()->geometry().adjusted(2, 0, -2, 0);
        auto* time = qobject_cast<QTimeEdit*>(spin);
        return {{room,
                 time != nullptr ? time->findChild<QLineEdit*>()->text() : QStringLiteral("120")}};
    }
    if (auto* group = qobject_cast<QGroupBox*>(w)) {
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.textAlignment = group->alignment();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        const QRect title =
            style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
        return {{title.intersected(group->rect()), group->title()}};
    }
    if (auto* list = qobject_cast<QListWidget*>(w)) {
        // Laid out as the item delegate does, within what the viewport shows; the style
        // keeps a margin either side of the text.
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
        QList<TextRoom> rooms;
        for (int i = 0; i < list->count(); ++i) {
            QListWidgetItem* item = list->item(i);
            QStyleOptionViewItem option;
            option.initFrom(list->viewport());
            option.widget = list;
            option.rect = list->visualItemRect(item).intersected(list->viewport()->rect());
            option.features =
                QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
            option.checkState = item->checkState();
            option.text = item->text();
            option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
            const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &option, list);
            rooms.append({text.adjusted(margin, 0, -margin, 0), item->text()});
        }
        return rooms;
    }
    return {};
}

// What cuts a text short, for every control of the window: a label smaller than its text,
// a text wider than the room its control's style gives it or with glyphs taller than it (the
// design's heights leave no room for the line gap of some fonts), a control that runs out
// of its parent or into a neighbour.
QStringList CutTexts(TFormMain* form) {
    QStringList cuts;
    for (const Expected& e : Controls()) {
        auto* w = form->findChild<QWidget*>(QLatin1String(e.name));
        const QString name = QLatin1String(e.name);
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->width() < label->sizeHint().width() ||
                label->height() < label->sizeHint().height())
                cuts.append(name + QStringLiteral(": smaller than its text"));
        }
        const QFontMetrics metrics(w->font());
        for (const TextRoom& t : TextRooms(w)) {
            if (metrics.horizontalAdvance(t.text) > t.room.width() ||
                metrics.tightBoundingRect(t.text).height() > t.room.height())
                cuts.append(QStringLiteral("%1: \"%2\" does not fit %3x%4")
                                .arg(name, t.text)
                                .arg(t.room.width())
                                .arg(t.room.height()));
        }
        if (!w->parentWidget()->rect().contains(w->geometry()))
            cuts.append(name + QStringLiteral(": outside its parent"));
        for (const Expected& other : Controls()) {
            auto* o = form->findChild<QWidget*>(QLatin1String(other.name));
            if (qstrcmp(other.name, e.name) < 0 && o->parentWidget() == w->parentWidget() &&
                o->geometry().intersects(w->geometry()))
                cuts.append(name + QStringLiteral(" overlaps ") + o->objectName());
        }
    }
    return cuts;
}

const QRegularExpression kJapanese(QStringLiteral("[\u3000-\u30ff\u4e00-\u9fff\uff00-\uffef]"));

// Every text the window, its tray entry and its menus show now, and every box's so far.
QStringList ShownTexts(TFormMain* form) {
    QStringList texts{form->windowTitle()};
    for (QObject* o : form->findChildren<QObject*>()) {
        for (const char* property : {"text", "title", "toolTip"})
            texts.append(o->property(property).toString());
        if (auto* box = qobject_cast<QComboBox*>(o))
            texts += Items(box);
    }
    return texts + BoxLines();
}

} // namespace

class TestLayout : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void windowFrame();
    void controlsByNameKindParentAndPlace();
    void textsItemsAndInitialValues();
    void everyTextIsWhole_data();
    void everyTextIsWhole();
    void intervalFieldHasNoLimitsUntilTheFirstShow();
    void toggleButtonsGroupsAndTags();
    void labelsAndToggleButtonsTakeNoFocus();
    void keyboardOrder();
    void timersTrayAndMenu();
    void controllerFieldsAfterStartUp();

private:
    std::unique_ptr<AppRig> m_rig;
};

void TestLayout::init() {
    // Not shown: the first show changes the interval field, and some tests look before it.
    AppRig::Options options;
    options.show = false;
    m_rig = std::make_unique<AppRig>(options);
}

void TestLayout::cleanup() {
    m_rig.reset();
    Translations::Install(QString());
}

void TestLayout::windowFrame() {
    TFormMain* form = m_rig->Form();
    QCOMPARE(form->objectName(), QStringLiteral("FormMain"));
    QVERIFY(form->isWindow());
    QCOMPARE(form->windowTitle(), QStringLiteral("インサイクラー"));
    // Fixed size: the client area cannot be resized either way.
    QCOMPARE(form->size(), QSize(537, 527));
    QCOMPARE(form->minimumSize(), QSize(537, 527));
    QCOMPARE(form->maximumSize(), QSize(537, 527));
    const Qt::WindowFlags flags = form->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QCOMPARE(form->font().pointSize(), 9);
    // Button face behind everything but the white bottom panel.
    QCOMPARE(form->palette().color(QPalette::Window), form->palette().color(QPalette::Button));
    QVERIFY(form->panel_Bottom->autoFillBackground());
    QCOMPARE(form->panel_Bottom->palette().color(QPalette::Window), QColor(Qt::white));

    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form));
    QCOMPARE(form->size(), QSize(537, 527));
    QVERIFY(!form->windowIcon().isNull());
}

void TestLayout::controlsByNameKindParentAndPlace() {
    TFormMain* form = m_rig->Form();
    const QList<QWidget*> members{
        form->panel_Top,        form->Label1,           form->cmb_Model,        form->lblComPortNum,
        form->cmb_ComPortNum,   form->btn_ComPortState, form->panel_Client,     form->grp_Term,
        form->rb_Jouji,         form->rb_Shitei,        form->dt_Start,         form->Label2,
        form->dt_End,           form->grp_AutoChange,   form->Label3,           form->spn_Interval,
        form->cmb_IntervalUnit, form->Label4,           form->clb_EnableSource, form->btn_Start,
        form->btn_Stop,         form->txt_RunState,     form->txt_TimeMode,     form->panel_Bottom,
        form->Label6,           form->btn_PowerState,   form->Label5,           form->btn_Source_01,
        form->btn_Source_02,    form->btn_Source_03};
    QCOMPARE(members.size(), Controls().size());

    for (qsizetype i = 0; i < Controls().size(); ++i) {
        const Expected& e = Controls()[i];
        const QString name = QLatin1String(e.name);
        QWidget* w = form->findChild<QWidget*>(name);
        QVERIFY2(w != nullptr, e.name);
        QVERIFY2(w == members[i], e.name);
        QVERIFY2(IsKind(w, e.kind), e.name);
        QVERIFY2(w->parentWidget() != nullptr, e.name);
        QCOMPARE(w->parentWidget()->objectName(), QLatin1String(e.parent));
        switch (e.fit) {
        case Fit::None:
            QCOMPARE(w->geometry(), e.place);
            break;
        case Fit::Text:
            QCOMPARE(w->pos(), e.place.topLeft());
            QCOMPARE(w->size(), w->sizeHint());
            break;
        case Fit::TextToRight:
            QCOMPARE(w->y(), e.place.y());
            QCOMPARE(w->geometry().right(), e.place.right());
            QCOMPARE(w->size(), w->sizeHint());
            break;
        case Fit::Width:
            QCOMPARE(w->pos(), e.place.topLeft());
            QCOMPARE(w->height(), e.place.height());
            QVERIFY2(w->width() >= e.place.width(), e.name);
            break;
        }
    }
    // The panels: top one raised, the client raised, the bottom one flat with a plain line.
    QCOMPARE(form->panel_Top->frameShadow(), QFrame::Raised);
    QCOMPARE(form->panel_Client->frameShadow(), QFrame::Raised);
    QCOMPARE(form->panel_Bottom->frameShadow(), QFrame::Plain);
    QCOMPARE(form->panel_Bottom->lineWidth(), 1);
    // The bottom panel sits on the bottom edge of the client panel, inside its frame.
    QCOMPARE(form->panel_Bottom->geometry().bottom() + 1,
             form->panel_Client->height() - form->panel_Client->frameWidth());
    // The two top-level panels cover the window.
    QCOMPARE(form->panel_Top->geometry().united(form->panel_Client->geometry()), form->rect());
}

void TestLayout::textsItemsAndInitialValues() {
    TFormMain* form = m_rig->Form();
    QCOMPARE(form->Label1->text(), QStringLiteral("機種："));
    QCOMPARE(form->lblComPortNum->text(), QStringLiteral("ポート番号："));
    QCOMPARE(form->Label2->text(), QStringLiteral("～"));
    QCOMPARE(form->Label3->text(), QStringLiteral("切り替え間隔："));
    QCOMPARE(form->Label4->text(), QStringLiteral("切り替え対象："));
    QCOMPARE(form->Label5->text(), QStringLiteral("選択状態："));
    QCOMPARE(form->Label6->text(), QStringLiteral("電源状態："));

    QCOMPARE(Items(form->cmb_Model), (QStringList{"RSX-24P", "RSX-24Q"}));
    QCOMPARE(form->cmb_Model->currentIndex(), 0);
    QStringList ports{QString()};
    for (int n = 1; n <= 20; ++n)
        ports.append(QStringLiteral("COM%1").arg(n));
    QCOMPARE(Items(form->cmb_ComPortNum), ports);
    QCOMPARE(form->cmb_ComPortNum->currentIndex(), 0);
    QCOMPARE(Items(form->cmb_IntervalUnit), (QStringList{"秒", "分"}));
    QCOMPARE(form->cmb_IntervalUnit->currentIndex(), 0);
    for (QComboBox* box :
         {form->cmb_Model, static_cast<QComboBox*>(form->cmb_ComPortNum), form->cmb_IntervalUnit})
        QCOMPARE(box->maxVisibleItems(), 10);

    QCOMPARE(form->btn_ComPortState->text(), QStringLiteral("Open"));
    QCOMPARE(form->grp_Term->title(), QStringLiteral("動作設定"));
    QCOMPARE(form->rb_Jouji->text(), QStringLiteral("常時切り替え制御を実行する"));
    QVERIFY(form->rb_Jouji->isChecked());
    QCOMPARE(form->rb_Shitei->text(), QStringLiteral("指定した時刻の間、切り替え制御を実行する"));
    QVERIFY(!form->rb_Shitei->isChecked());
    // One group: choosing one option clears the other.
    form->rb_Shitei->setChecked(true);
    QVERIFY(!form->rb_Jouji->isChecked());
    form->rb_Jouji->setChecked(true);
    QVERIFY(!form->rb_Shitei->isChecked());

    QCOMPARE(form->dt_Start->displayFormat(), QStringLiteral("HH:mm:ss"));
    QCOMPARE(form->dt_End->displayFormat(), QStringLiteral("HH:mm:ss"));
    QCOMPARE(form->dt_Start->time(), QTime(8, 0, 0));
    QCOMPARE(form->dt_End->time(), QTime(17, 0, 0));
    QCOMPARE(form->dt_Start->findChild<QLineEdit*>()->text(), QStringLiteral("08:00:00"));
    QCOMPARE(form->dt_End->findChild<QLineEdit*>()->text(), QStringLiteral("17:00:00"));

    QCOMPARE(form->grp_AutoChange->title(), QStringLiteral("切り替え実行設定"));
    QCOMPARE(form->clb_EnableSource->count(), 3);
    for (int i = 0; i < 3; ++i) {
        QListWidgetItem* item = form->clb_EnableSource->item(i);
        QCOMPARE(item->text(), QStringLiteral("IN%1").arg(i + 1));
        QVERIFY(item->flags().testFlag(Qt::ItemIsUserCheckable));
        QCOMPARE(item->checkState(), Qt::Unchecked);
        QCOMPARE(form->clb_EnableSource->visualItemRect(item).height(), 15);
    }

    QCOMPARE(form->btn_Start->text(), QStringLiteral("開始"));
    QCOMPARE(form->btn_Stop->text(), QStringLiteral("停止"));
    QCOMPARE(form->txt_RunState->text(), QStringLiteral("自動切り替え停止中"));
    // Until the first refresh replaces it.
    QCOMPARE(form->txt_TimeMode->text(), QStringLiteral("時間指定モード：時間内実行中"));

    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("OFF"));
    QCOMPARE(form->btn_Source_01->text(), QStringLiteral("IN 1"));
    QCOMPARE(form->btn_Source_02->text(), QStringLiteral("IN 2"));
    QCOMPARE(form->btn_Source_03->text(), QStringLiteral("IN 3"));
}

void TestLayout::everyTextIsWhole_data() {
    // The locale's languages and the window's (none: today's window, and Qt's texts English).
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<QString>("language");
    QTest::newRow("C") << QLocale::c().uiLanguages() << QString();
    QTest::newRow("ja_JP") << QLocale(QStringLiteral("ja_JP")).uiLanguages() << "ja";
    QTest::newRow("en_US") << QLocale(QStringLiteral("en_US")).uiLanguages() << "en";
    QTest::newRow("de_DE") << QLocale(QStringLiteral("de_DE")).uiLanguages() << "en";
    QTest::newRow("de, then ja") << QStringList{"de-DE", "de", "ja"} << "ja";
}

void TestLayout::everyTextIsWhole() {
    QFETCH(QStringList, uiLanguages);
    QFETCH(QString, language);
    const QImage today = m_rig->Form()->grab().toImage(); // built before any translation
    m_rig.reset();
    QCOMPARE(Translations::Choose(uiLanguages), language);
    Translations::Install(language);
    init();
    TFormMain* form = m_rig->Form();
    QCOMPARE(form->grab().toImage() == today, language != "en");
    QCOMPARE(QLineEdit::tr("&Undo").contains(kJapanese), language == "ja"); // Qt's own texts
    QStringList texts = ShownTexts(form);
    // Run a second time by ctest with the desktop's scale at 1.5.
    QVERIFY2(CutTexts(form).isEmpty(), qPrintable(CutTexts(form).join(QLatin1Char('\n'))));
    // Shown, with the texts the refresh gives the controls while the port is closed.
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form));
    QVERIFY(Refreshed(form));
    QVERIFY2(CutTexts(form).isEmpty(), qPrintable(CutTexts(form).join(QLatin1Char('\n'))));
    // Every box, then every state the refresh words differently.
    form->cmb_ComPortNum->setCurrentIndex(5); // COM5: nothing there
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(Refreshed(form) && OpenAndSettle(*m_rig));
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    m_rig->Switcher().InjectRaw("\x1bpwrX\r");
    QTRY_COMPARE(ShownBoxes().size(), 3);
    const QTime now = QTime::currentTime();
    for (int hours : {0, -1, 1}) { // all the time; inside a window; outside it
        SetWindow(form, {1, 3}, now.addSecs(hours * 3600), now.addSecs(hours * 3600 + 7200));
        form->rb_Jouji->setChecked(hours == 0);
        QTest::mouseClick(form->btn_Start, Qt::LeftButton);
        QVERIFY(Refreshed(form));
        texts += ShownTexts(form);
        QVERIFY2(CutTexts(form).isEmpty(), qPrintable(CutTexts(form).join(QLatin1Char('\n'))));
        QTest::mouseClick(form->btn_Stop, Qt::LeftButton);
    }
    QVERIFY2(texts.filter(kJapanese).isEmpty() == (language == "en"), qPrintable(texts.join(u'|')));
}

void TestLayout::intervalFieldHasNoLimitsUntilTheFirstShow() {
    TFormMain* form = m_rig->Form();
    TSpinEdit* spin = form->spn_Interval;
    QCOMPARE(spin->Value(), 1);
    QCOMPARE(spin->Text(), QStringLiteral("1"));
    QCOMPARE(spin->MinValue(), 0);
    QCOMPARE(spin->MaxValue(), 0);
    // Equal limits clamp nothing.
    spin->SetValue(500);
    QCOMPARE(spin->Value(), 500);
    QCOMPARE(spin->findChild<QLineEdit*>()->maxLength(), 3);

    form->show();
    QCOMPARE(spin->MinValue(), 5);
    QCOMPARE(spin->MaxValue(), 120);
    QCOMPARE(spin->Value(), 5);
}

void TestLayout::toggleButtonsGroupsAndTags() {
    TFormMain* form = m_rig->Form();
    struct Toggle {
        TToggleButton* button;
        int group;
        int tag;
    };
    const QList<Toggle> toggles{{form->btn_ComPortState, 1, 0},
                                {form->btn_PowerState, 1, 1},
                                {form->btn_Source_01, 2, 1},
                                {form->btn_Source_02, 2, 2},
                                {form->btn_Source_03, 2, 3}};
    for (const Toggle& t : toggles) {
        QCOMPARE(t.button->GroupIndex(), t.group);
        QCOMPARE(t.button->Tag(), t.tag);
        QVERIFY(!t.button->Down());
    }
    // The port button and the power button share a number but not a parent.
    form->btn_ComPortState->SetDown(true);
    form->btn_PowerState->SetDown(true);
    QVERIFY(form->btn_ComPortState->Down());
    // The three input buttons are one group.
    form->btn_Source_01->SetDown(true);
    form->btn_Source_03->SetDown(true);
    QVERIFY(!form->btn_Source_01->Down());
    QVERIFY(form->btn_Source_03->Down());
    QVERIFY(form->btn_PowerState->Down());
}

void TestLayout::labelsAndToggleButtonsTakeNoFocus() {
    TFormMain* form = m_rig->Form();
    const auto labels = form->findChildren<QLabel*>();
    QVERIFY(labels.size() >= 9);
    for (QLabel* label : labels)
        QVERIFY2(!(label->focusPolicy() & Qt::TabFocus), qPrintable(label->objectName()));
    const auto toggles = form->findChildren<TToggleButton*>();
    QCOMPARE(toggles.size(), 5);
    for (TToggleButton* t : toggles)
        QCOMPARE(t->focusPolicy(), Qt::NoFocus);
}

void TestLayout::keyboardOrder() {
    TFormMain* form = m_rig->Form();
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form));
    // Enabled as with the port closed; the start and stop buttons are enabled by hand so that
    // they take part as they do while the port is open.
    QVERIFY(Refreshed(form));
    form->btn_Start->setEnabled(true);
    form->btn_Stop->setEnabled(true);

    const QList<QWidget*> expected{
        form->cmb_Model,        form->cmb_ComPortNum, form->rb_Jouji,     form->rb_Shitei,
        form->dt_Start,         form->dt_End,         form->spn_Interval, form->cmb_IntervalUnit,
        form->clb_EnableSource, form->btn_Start,      form->btn_Stop};
    const QSet<QWidget*> named(expected.begin(), expected.end());
    // The named control that holds the focus (the focus may sit in a control's inner editor).
    auto owner = [&](QWidget* w) -> QWidget* {
        for (; w != nullptr; w = w->parentWidget()) {
            if (named.contains(w))
                return w;
        }
        return nullptr;
    };
    // The radio buttons are one exclusive group, so the checked one is given both places.
    form->cmb_Model->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(owner(QApplication::focusWidget()), form->cmb_Model);
    QList<QWidget*> visited{form->cmb_Model};
    for (int i = 0; i < 2 * expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = owner(QApplication::focusWidget());
        QVERIFY2(now != nullptr, qPrintable(QApplication::focusWidget()->objectName()));
        if (now == form->cmb_Model)
            break;
        if (now != visited.last())
            visited.append(now);
    }
    QList<QWidget*> order = expected;
    // Qt's tab order enters an exclusive radio group once, at its checked button.
    if (!visited.contains(form->rb_Shitei))
        order.removeOne(form->rb_Shitei);
    QCOMPARE(visited, order);

    // The order as declared, radio buttons included.
    QList<QWidget*> chain;
    for (QWidget* w = form->cmb_Model->nextInFocusChain(); w != form->cmb_Model;
         w = w->nextInFocusChain()) {
        QWidget* o = owner(w);
        if (o != nullptr && o != form->cmb_Model && !chain.contains(o))
            chain.append(o);
    }
    chain.prepend(form->cmb_Model);
    QCOMPARE(chain, expected);
}

void TestLayout::timersTrayAndMenu() {
    TFormMain* form = m_rig->Form();
    struct Timer {
        TWindowTimer* timer;
        int interval;
    };
    const QList<Timer> timers{{form->tmr_StartupProcess_ForCmdLineParams, 100},
                              {form->tmr_CheckSource, 100},
                              {form->tmr_RollSelectSource, 100},
                              {form->tmr_CheckPower, 650}};
    for (const Timer& t : timers) {
        QCOMPARE(t.timer->Interval(), t.interval);
        QVERIFY(!t.timer->Enabled());
    }

    QVERIFY(form->TrayIcon1 != nullptr);
    QCOMPARE(form->TrayIcon1->toolTip(), QStringLiteral("InCycler"));
    QVERIFY(form->TrayIcon1->isVisible());
    QVERIFY(!form->TrayIcon1->icon().isNull());
    QCOMPARE(form->TrayIcon1->contextMenu(), form->PopupMenu1);
    const QList<QAction*> entries = form->PopupMenu1->actions();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries[0], form->ppm_Show);
    QCOMPARE(entries[0]->text(), QStringLiteral("表示(&S)"));
    QCOMPARE(entries[1], form->N1);
    QVERIFY(entries[1]->isSeparator());
    QCOMPARE(entries[2], form->ppm_Exit);
    QCOMPARE(entries[2]->text(), QStringLiteral("終了(&X)"));
}

void TestLayout::controllerFieldsAfterStartUp() {
    TFormMain* form = m_rig->Form();
    QVERIFY(!form->DoExit());
    QVERIFY(!form->AutoChangeRunning());
    QVERIFY(dynamic_cast<TRsx24p*>(form->Model()) != nullptr);
    QCOMPARE(form->Model()->PowerState(), psNone);
    QCOMPARE(form->Model()->SelectedSourceNum(), 0);
    QVERIFY(form->AutoSelectParam().AutoSelectSource_List != nullptr);
    QVERIFY(form->AutoSelectParam().AutoSelectSource_List->isEmpty());
    QCOMPARE(form->AutoSelectParam().Interval, qint64(0));
    QCOMPARE(form->Mode_AutoSelectSource(), mdNone);
    QVERIFY(form->Log() != nullptr);
    // The log's start-up initialisation has created the file.
    QVERIFY(QFileInfo::exists(m_rig->LogPath()));
    QVERIFY(form->ShowAtStart());
}

INCYCLER_APP_TEST_MAIN(TestLayout)
#include "tst_layout.moc"
