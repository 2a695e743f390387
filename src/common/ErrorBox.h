#pragma once

#include <QString>

#include <functional>
#include <memory>

class QMessageBox;
class QWidget;

// The program's message boxes: the application's top-level error report and the error
// boxes of the switching control (a failed port open, too few inputs at Start). Each has
// the error icon and one OK button, and is modal to the main window that owns it, not to
// the whole application: the tray icon and its menu stay usable while a box is open.
namespace ErrorBox {

// Shows one box and returns once the operator has closed it. Without a display nobody
// could close it: the text then goes to standard error and nothing waits.
void Show(QWidget* owner, const QString& caption, const QString& text);

// The box as Show builds it: modal to its owner (to the application when there is none),
// a title bar with only the close button.
std::unique_ptr<QMessageBox> Make(QWidget* owner, const QString& caption, const QString& text);

// Whether a box is up, the recorder's stand-in included. The idle refresh waits meanwhile,
// since a box's own event loop would run it in the middle of the handler that showed it.
bool IsOpen();

struct Shown {
    QWidget* owner = nullptr;
    QString caption;
    QString text;
};

// Replaces the box: tests record what would have been shown instead of waiting for an
// operator. An empty function restores the box.
void SetRecorder(std::function<void(const Shown&)> recorder);

} // namespace ErrorBox
