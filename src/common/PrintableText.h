#pragma once

#include <QString>

// Text from elsewhere (another process's name, an owner's message, a path) made safe to print
// on a terminal: a control character (C0, DEL, C1), a Unicode format character (the
// direction overrides, the zero-width ones) or a line or paragraph separator could move the
// cursor, rewrite what stands on the screen or hide what follows, so each is replaced with
// U+FFFD. Everything else is kept as it is.
QString PrintableText(const QString& text);
