// Renders the real main window for the README: a virtual switcher as COM1, the port opened
// with the port button, IN1 and IN3 ticked and rotation started, then a grab of the window,
// in the language given (a translation's name, or ja) or as its texts are written.
#include "AppRig.h"
#include "app/Application.h"
#include "app/Translations.h"
#include "common/ErrorBox.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "ui/Widgets.h"
#include "ui/form_Main.h"
#include <QEventLoop>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: incycler-screenshot OUTPUT.png [LANGUAGE]\n");
        return 2;
    }
    TInCyclerApplication app(argc, argv);
    Translations::Install(argc == 3 ? QString::fromLocal8Bit(argv[2]) : QString());
    ErrorBox::SetRecorder([](const ErrorBox::Shown& box) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(box.caption), qPrintable(box.text));
    });

    AppRig::Options options;
    options.comNumber = 1;
    AppRig rig(options);
    rig.Switcher().SetPowerOn(true);
    TFormMain* form = rig.Form();
    if (!rig.OpenPortByButton(1)) {
        std::fprintf(stderr, "the port did not open\n");
        return 1;
    }
    form->clb_EnableSource->item(0)->setCheckState(Qt::Checked);
    form->clb_EnableSource->item(2)->setCheckState(Qt::Checked);
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);

    // Wait in a real event loop: the window refreshes when the loop is about to block, which
    // QTest's waits never let it do.
    const auto settled = [&] {
        const int input = rig.Switcher().SelectedInput();
        TToggleButton* shown[] = {form->btn_Source_01, form->btn_Source_02, form->btn_Source_03};
        return input >= 1 && input <= 3 && shown[input - 1]->Down() && form->btn_PowerState->Down();
    };
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (settled())
            loop.quit();
    });
    check.start(50);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    if (!settled()) {
        std::fprintf(stderr, "the window did not follow the switcher\n");
        return 1;
    }
    if (!form->grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
