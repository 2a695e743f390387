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
// Start's refusal of a rotation through fewer than two inputs: the window's box speaks its
// language, the owner's socket gives the program's own text, which its clients may rely on.
inline constexpr char TooFewInputsText[] =
    QT_TRANSLATE_NOOP("ControlTexts", "切り替え対象の入力ソースを2個以上選択して下さい。");
inline QString TooFewInputs() {
    return QString::fromUtf8(TooFewInputsText);
}
inline QString TooFewInputsShown() {
    return QCoreApplication::translate("ControlTexts", TooFewInputsText);
}

} // namespace ControlTexts
