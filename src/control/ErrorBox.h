#pragma once

#include <QString>

#include <functional>

class QWidget;

// The modal error boxes of the switching control (a failed port open, too few inputs at
// Start): error icon, one OK button, owned by the given window. The call returns once the
// operator has closed the box.
void ShowErrorBox(QWidget* parent, const QString& text, const QString& caption);

// Replaces the box (tests record what would have been shown instead of blocking on it);
// an empty function restores the box.
void SetErrorBoxRecorder(
    std::function<void(QWidget* parent, const QString& text, const QString& caption)> recorder);
