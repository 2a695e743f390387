#pragma once

#include <QCoreApplication>
#include <QString>

// Texts the switching control shows or logs, shared by its handlers. What it shows speaks the
// window's language; what it logs stays as it is in every language.
namespace ControlTexts {

inline QString OpenFailedLog() {
    return QStringLiteral("（COM）COMポートOPEN失敗");
}
inline QString ErrorCaption() {
    return QCoreApplication::translate("ControlTexts", "エラー");
}

} // namespace ControlTexts
