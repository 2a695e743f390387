#include "Translations.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

namespace {

// The language the window's texts are written in: it needs no translation of its own.
QLatin1String SourceLanguage() {
    return QLatin1String("ja");
}

// Better than Japanese for an operator whose language InCycler does not speak.
QLatin1String FallbackLanguage() {
    return QLatin1String("en");
}

// The language Qt writes its own texts in: its catalogue for it (qtbase_en) is empty.
QLatin1String QtSourceLanguage() {
    return QLatin1String("en");
}

// The translations lrelease compiled into the resources, one per .ts file of translations/.
const QString kOwnDirectory = QStringLiteral(":/i18n");

QString OwnCatalogue(const QString& language) {
    return QStringLiteral("incycler_%1").arg(language);
}

bool Speaks(const QString& language) {
    return language == SourceLanguage() ||
           QFile::exists(kOwnDirectory + QLatin1Char('/') + OwnCatalogue(language) +
                         QLatin1String(".qm"));
}

// Loaded and installed, owned by the application; null when the file cannot be loaded.
QTranslator* Load(const QString& catalogue, const QString& directory) {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(catalogue, directory) && QCoreApplication::installTranslator(translator))
        return translator;
    delete translator;
    return nullptr;
}

QPointer<QTranslator> g_own;
QPointer<QTranslator> g_qt;

} // namespace

namespace Translations {

QString Choose(const QStringList& uiLanguages) {
    bool named = false;
    for (QString name : uiLanguages) {
        // "pt-BR", "pt_BR.UTF-8": the name a translation's file carries is "pt_BR".
        name = name.section(QLatin1Char('.'), 0, 0).replace(QLatin1Char('-'), QLatin1Char('_'));
        const QString language = name.section(QLatin1Char('_'), 0, 0);
        if (language.isEmpty() || language == QLatin1String("C") ||
            language == QLatin1String("POSIX"))
            continue;
        named = true;
        for (const QString& candidate : {name, language}) {
            if (Speaks(candidate))
                return candidate;
        }
    }
    return named ? QString(FallbackLanguage()) : QString();
}

void Install(const QString& language) {
    delete g_own;
    delete g_qt;
    if (language.isEmpty())
        return;
    if (language != SourceLanguage())
        g_own = Load(OwnCatalogue(language), kOwnDirectory);
    // Without Debian's qt6-translations-l10n, Qt's texts stay English.
    if (language != QtSourceLanguage())
        g_qt = Load(QStringLiteral("qtbase_") + language,
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

} // namespace Translations
