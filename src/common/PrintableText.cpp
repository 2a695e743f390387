#include "PrintableText.h"

#include <QList>

namespace {

bool Unprintable(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

QString PrintableText(const QString& text) {
    QString printable;
    printable.reserve(text.size());
    for (const char32_t c : text.toUcs4())
        printable +=
            Unprintable(c) ? QString(QChar::ReplacementCharacter) : QString::fromUcs4(&c, 1);
    return printable;
}
