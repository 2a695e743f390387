#pragma once

#include <QString>
#include <QStringList>

// The language the window speaks. Its texts are written in Japanese, the program's own
// language; every other language is a translation compiled into the resources (:/i18n).
// The log's records, the frames on the line and the command line's messages are the same
// in every language.
namespace Translations {

// The language for the locale's languages, most wanted first (QLocale::uiLanguages()): the
// first that InCycler speaks; English when the locale names only languages it has no
// translation for; none (an empty name) when it names no language at all (C, POSIX).
QString Choose(const QStringList& uiLanguages);

// Installs the translations of a language, in place of those installed before: the
// program's own (none for Japanese) and Qt's catalogue for the texts of Qt's own dialogs
// and menus (none for English, in which Qt writes them). None at all for an empty name.
void Install(const QString& language);

} // namespace Translations
