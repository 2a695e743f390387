#pragma once

#include "ErrorReport.h"

#include <QObject>

#include <type_traits>
#include <utility>

// The one way the program connects a handler to a signal: the handler runs through
// ErrorReport::Run, so that an error escaping it is reported there and never unwinds through
// Qt's frames.
//
// The handler is a member function of receiver that takes the signal's first arguments (as
// many as it wants, none included), or a lambda, for a handler that is called with something
// else (its timer, a default argument); context then ends the connection as receiver would.

namespace ConnectReportedDetail {

template <typename Lambda, typename Class, typename Result, typename... Args>
auto Reported(Lambda lambda, Result (Class::*)(Args...) const) {
    return
        [lambda = std::move(lambda)](Args... args) { ErrorReport::Run([&] { lambda(args...); }); };
}

} // namespace ConnectReportedDetail

template <typename Sender, typename Signal, typename Receiver, typename Class, typename Result,
          typename... Args>
requires std::is_base_of_v<Class, Receiver> QMetaObject::Connection
ConnectReported(const Sender* sender, Signal signal, Receiver* receiver,
                Result (Class::*handler)(Args...)) {
    return QObject::connect(sender, signal, receiver, [receiver, handler](Args... args) {
        ErrorReport::Run([&] { (receiver->*handler)(args...); });
    });
}

template <typename Sender, typename Signal, typename Lambda>
requires(!std::is_member_function_pointer_v<Lambda>) QMetaObject::Connection
    ConnectReported(const Sender* sender, Signal signal, const QObject* context, Lambda lambda) {
    return QObject::connect(
        sender, signal, context,
        ConnectReportedDetail::Reported(std::move(lambda), &Lambda::operator()));
}
