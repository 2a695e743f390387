#include "ViewWrites.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>

namespace ViewWrites {

void SetEnabled(QWidget* widget, bool enabled) {
    // The widget's own setting, not the one it inherits from a disabled parent.
    if (widget->testAttribute(Qt::WA_ForceDisabled) == enabled)
        widget->setEnabled(enabled);
}

void SetText(QLabel* label, const QString& text) {
    if (label->text() == text)
        return;
    label->setText(text);
    label->adjustSize(); // the status labels are sized to their text
}

void SetText(QAbstractButton* button, const QString& text) {
    if (button->text() != text)
        button->setText(text);
}

void SetBold(QLabel* label, bool bold) {
    if (label->font().bold() == bold)
        return;
    QFont font = label->font();
    font.setBold(bold);
    label->setFont(font);
    label->adjustSize();
}

void SetTextColor(QLabel* label, QPalette::ColorRole systemColor) {
    const QColor color = QApplication::palette(label).color(systemColor);
    if (label->palette().color(QPalette::WindowText) == color)
        return;
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
}

} // namespace ViewWrites
