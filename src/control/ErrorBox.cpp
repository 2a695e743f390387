#include "ErrorBox.h"

#include "common/Platform.h"

#include <QMessageBox>

#include <cstdio>

namespace {
std::function<void(QWidget*, const QString&, const QString&)> g_recorder;
}

void ShowErrorBox(QWidget* parent, const QString& text, const QString& caption) {
    if (g_recorder) {
        g_recorder(parent, text, caption);
        return;
    }
    // Without a display nobody could close the box, and the caller waits for that.
    if (Platform::Headless()) {
        std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
        return;
    }
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void SetErrorBoxRecorder(
    std::function<void(QWidget* parent, const QString& text, const QString& caption)> recorder) {
    g_recorder = std::move(recorder);
}
