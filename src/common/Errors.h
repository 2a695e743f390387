#pragma once

#include <QString>
#include <stdexcept>

// Every error the program raises carries a message for the operator. Handlers that do
// not catch one end there; the application's top-level report shows the message.
class EInCyclerError : public std::runtime_error {
public:
    explicit EInCyclerError(const QString& message);
    QString Message() const;
};

// A text that is not a valid number (a reply character, a port name).
class EConvertError : public EInCyclerError {
public:
    using EInCyclerError::EInCyclerError;
};

// An operation the current device model does not have.
class EAbstractError : public EInCyclerError {
public:
    EAbstractError();
};

// A failure of the serial port.
class EComPortError : public EInCyclerError {
public:
    using EInCyclerError::EInCyclerError;
};

// A failure of the file system (the log).
class EFileError : public EInCyclerError {
public:
    using EInCyclerError::EInCyclerError;
};
