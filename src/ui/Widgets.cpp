#include "Widgets.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>

TToggleButton::TToggleButton(const QString& text, int groupIndex, int tag, QWidget* parent)
    : QPushButton(text, parent), m_groupIndex(groupIndex), m_tag(tag) {
    setCheckable(true);
    setAutoExclusive(false);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (isChecked())
            ReleaseOthersInGroup();
        emit Click(this);
    });
}

void TToggleButton::SetDown(bool down) {
    if (down == isChecked())
        return;
    setChecked(down);
    if (down)
        ReleaseOthersInGroup();
}

void TToggleButton::ReleaseOthersInGroup() {
    if (parentWidget() == nullptr)
        return;
    const auto siblings =
        parentWidget()->findChildren<TToggleButton*>(QString(), Qt::FindDirectChildrenOnly);
    for (TToggleButton* other : siblings) {
        if (other != this && other->m_groupIndex == m_groupIndex && other->isChecked())
            other->setChecked(false);
    }
}

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
    lineEdit()->setMaxLength(3);
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setKeyboardTracking(false);
}

void TSpinEdit::SetLimits(int minValue, int maxValue) {
    m_min = minValue;
    m_max = maxValue;
}

int TSpinEdit::Clamp(int value) const {
    if (m_min == m_max)
        return value;
    return qBound(m_min, value, m_max);
}

int TSpinEdit::Value() const {
    bool ok = false;
    const int value = lineEdit()->text().toInt(&ok, 10);
    return ok ? value : m_min;
}

void TSpinEdit::SetValue(int value) {
    const QString text = QString::number(Clamp(value));
    if (lineEdit()->text() != text)
        lineEdit()->setText(text);
}

QString TSpinEdit::Text() const {
    return lineEdit()->text();
}

void TSpinEdit::stepBy(int steps) {
    SetValue(Value() + steps);
}

QValidator::State TSpinEdit::validate(QString&, int&) const {
    // Typed characters are filtered in keyPressEvent; whatever reaches the text stands.
    return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
    return isReadOnly() ? StepNone : (StepUpEnabled | StepDownEnabled);
}

void TSpinEdit::keyPressEvent(QKeyEvent* event) {
    QChar ch;
    const bool ctrlLetter = (event->modifiers() & Qt::ControlModifier) &&
                            event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z;
    if (ctrlLetter) {
        ch = QChar(event->key() - Qt::Key_A + 1); // the control character it types
    } else if (event->key() == Qt::Key_Delete || event->text().isEmpty()) {
        // Navigation and editing keys type no character.
        QAbstractSpinBox::keyPressEvent(event);
        return;
    } else {
        ch = event->text().at(0);
    }

    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool fieldAccepts =
        !enter &&
        (ch.isDigit() || ch == QLatin1Char('+') || ch == QLatin1Char('-') ||
         ch == QLocale().decimalPoint().at(0) || ch.unicode() < 0x20 || ch.unicode() == 0x7F);
    if (!fieldAccepts) {
        QApplication::beep();
        event->accept();
        return;
    }
    if (KeyPressFilter && !KeyPressFilter(ch)) {
        event->accept();
        return;
    }
    QAbstractSpinBox::keyPressEvent(event);
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
    const int value = Value();
    if (Clamp(value) != value)
        SetValue(value);
    QAbstractSpinBox::focusOutEvent(event);
}

void TComPortComboBox::showPopup() {
    emit DropDown();
    QComboBox::showPopup();
}

void TComPortComboBox::keyPressEvent(QKeyEvent* event) {
    emit KeyDown();
    QComboBox::keyPressEvent(event);
}
