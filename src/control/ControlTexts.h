#pragma once

#include <QString>

// Texts the switching control shows or logs, shared by its handlers.
namespace ControlTexts {

inline QString OpenFailedLog() {
    return QStringLiteral("（COM）COMポートOPEN失敗");
}
inline QString ErrorCaption() {
    return QStringLiteral("エラー");
}

} // namespace ControlTexts
