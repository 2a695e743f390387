#include "ErrorBox.h"

#include "Platform.h"
#include "StandardError.h"

#include <QApplication>
#include <QMessageBox>

namespace {

std::function<void(const ErrorBox::Shown&)> g_recorder;
int g_open = 0;

class OpenScope {
public:
    OpenScope() { ++g_open; }
    ~OpenScope() { --g_open; }
    OpenScope(const OpenScope&) = delete;
    OpenScope& operator=(const OpenScope&) = delete;
};

} // namespace

namespace ErrorBox {

std::unique_ptr<QMessageBox> Make(QWidget* owner, const QString& caption, const QString& text) {
    auto box =
        std::make_unique<QMessageBox>(QMessageBox::Critical, caption, text, QMessageBox::Ok, owner);
    // Modal to the owner only: a box modal to the whole application would also block the
    // tray icon, leaving the operator without its show and exit entries.
    box->setWindowModality(owner != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    // Close only, set after the modality, which gives the box its window type afresh: a
    // window manager offers what these hints allow, and minimising or maximising a box that
    // waits for OK makes no sense.
    box->setWindowFlags((box->windowFlags() & Qt::WindowType_Mask) | Qt::CustomizeWindowHint |
                        Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    return box;
}

void Show(QWidget* owner, const QString& caption, const QString& text) {
    const OpenScope open;
    if (g_recorder) {
        g_recorder({owner, caption, text});
        return;
    }
    if (Platform::Headless() || !qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // One line, as a journal or a cron mail shows one message.
        SayOnStandardError(text.simplified());
        return;
    }
    Make(owner, caption, text)->exec();
}

bool IsOpen() {
    return g_open > 0;
}

void SetRecorder(std::function<void(const Shown&)> recorder) {
    g_recorder = std::move(recorder);
}

} // namespace ErrorBox
