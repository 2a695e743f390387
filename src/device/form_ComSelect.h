#pragma once

#include <QDialog>

class QComboBox;

// The modal dialog that asks for a port when none is chosen (port number 0).
class TComSelectForm : public QDialog {
    Q_OBJECT
public:
    explicit TComSelectForm(QWidget* parent = nullptr);

    QComboBox* PortList() const { return m_ports; }
    // The number of the chosen entry, or 0.
    int ChosenPort() const;

    // Shows the dialog and returns the chosen port number, or 0 when the operator leaves
    // it without OK. Without a display nobody can answer, so that counts as Cancel.
    static int ChoosePort();

private:
    QComboBox* m_ports;
};
