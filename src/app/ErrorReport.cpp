#include "ErrorReport.h"

#include "common/ErrorBox.h"
#include "ui/form_Main.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace ErrorReport {

QString ApplicationTitle(const QString& executableFileName) {
    QString title = executableFileName.section(QLatin1Char('.'), 0, 0);
    if (title.size() > 1)
        title = title.left(1) + title.mid(1).toLower();
    return title;
}

QString BoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void Show(const QString& message) {
    const QString title =
        ApplicationTitle(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    ErrorBox::Show(FormMain, title, BoxText(message));
}

} // namespace ErrorReport
