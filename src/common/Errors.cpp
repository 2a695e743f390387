#include "Errors.h"

EInCyclerError::EInCyclerError(const QString& message)
    : std::runtime_error(message.toUtf8().toStdString()) {}

QString EInCyclerError::Message() const {
    return QString::fromUtf8(what());
}

EAbstractError::EAbstractError() : EInCyclerError(QStringLiteral("抽象エラー")) {}
