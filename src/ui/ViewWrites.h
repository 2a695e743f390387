#pragma once

#include <QPalette>
#include <QString>

class QAbstractButton;
class QLabel;
class QWidget;

// Property writes for the idle refresh: a write that changes nothing must not repaint or
// relayout, since the refresh runs after every burst of events.
namespace ViewWrites {
void SetEnabled(QWidget* widget, bool enabled);
void SetText(QLabel* label, const QString& text);
void SetText(QAbstractButton* button, const QString& text);
void SetBold(QLabel* label, bool bold);
void SetTextColor(QLabel* label, QPalette::ColorRole systemColor);
} // namespace ViewWrites
