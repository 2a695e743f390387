#pragma once

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QPushButton>

#include <functional>

// A toggle button: down or up, in a group of the toggle buttons of the same parent that
// share its group number. Setting one down sets the others of its group up; all may be
// up. A click flips the state and then announces Click, which sees the new state;
// setting the state from code announces nothing. Takes no keyboard focus.
class TToggleButton : public QPushButton {
    Q_OBJECT
public:
    TToggleButton(const QString& text, int groupIndex, int tag, QWidget* parent);

    int GroupIndex() const { return m_groupIndex; }
    int Tag() const { return m_tag; }
    bool Down() const { return isChecked(); }
    void SetDown(bool down);

signals:
    void Click(TToggleButton* sender);

private:
    void ReleaseOthersInGroup();

    int m_groupIndex;
    int m_tag;
};

// An integer field of at most three characters with up and down buttons. Its value is
// the text read as a decimal integer; a text that is not one reads as the minimum.
// Values are clamped into the limits unless both limits are equal (no limit). Typed
// characters pass a beeping filter first (digits, signs, the decimal separator and
// control characters other than Enter), then KeyPressFilter, which discards silently.
class TSpinEdit : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    int MinValue() const { return m_min; }
    int MaxValue() const { return m_max; }
    void SetLimits(int minValue, int maxValue);
    int Value() const;
    void SetValue(int value);
    QString Text() const;

    std::function<bool(QChar)> KeyPressFilter;

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;

protected:
    StepEnabled stepEnabled() const override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    int Clamp(int value) const;

    int m_min = 0;
    int m_max = 0;
};

// The port list: announces DropDown before it opens and KeyDown for every key press,
// before the key has its effect.
class TComPortComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TComPortComboBox(QWidget* parent = nullptr) : QComboBox(parent) {}
    void showPopup() override;

signals:
    void DropDown();
    void KeyDown();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
