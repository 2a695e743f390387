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
// Start's refusal of a rotation through fewer than two inputs.
inline QString TooFewInputs() {
    return QStringLiteral("切り替え対象の入力ソースを2個以上選択して下さい。");
}

} // namespace ControlTexts
