#include "Errors.h"

#include <QCoreApplication>

EInCyclerError::EInCyclerError(const QString& message)
    : std::runtime_error(message.toUtf8().toStdString()) {}

QString EInCyclerError::Message() const {
    return QString::fromUtf8(what());
}

EAbstractError::EAbstractError()
    : EInCyclerError(QCoreApplication::translate("EAbstractError", "抽象エラー")) {}
