#include "form_ComSelect.h"

#include "PortMap.h"
#include "SerialPorts.h"
#include "common/Platform.h"

#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kHighestListedPort = 50;
}

TComSelectForm::TComSelectForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ComSelectForm"));
    setWindowTitle(QStringLiteral("Select Port"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("The configured serial port is not valid."), this));
    layout->addWidget(new QLabel(QStringLiteral("Please choose another port."), this));

    m_ports = new QComboBox(this);
    m_ports->setObjectName(QStringLiteral("cmb_Ports"));
    const QList<int> ports = SerialPorts::AvailablePorts();
    for (int n : ports) {
        if (n <= kHighestListedPort)
            m_ports->addItem(PortMap::PortName(n), n);
    }
    if (m_ports->count() > 0)
        m_ports->setCurrentIndex(0);
    layout->addWidget(m_ports);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("btn_OK"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("btn_Cancel"));
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

int TComSelectForm::ChosenPort() const {
    return m_ports->currentIndex() >= 0 ? m_ports->currentData().toInt() : 0;
}

int TComSelectForm::ChoosePort() {
    if (Platform::Headless() || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 0;
    TComSelectForm form(QApplication::activeWindow());
    return form.exec() == QDialog::Accepted ? form.ChosenPort() : 0;
}
