#include "ErrorReport.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

#include "common/Platform.h"

#include <cstdio>

namespace {
std::function<void(const QString&, const QString&)> g_recorder;
}

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
    const QString text = BoxText(message);
    if (g_recorder) {
        g_recorder(title, text);
        return;
    }
    // Without a display nobody could close the box: the report goes to standard error.
    if (Platform::Headless() || !qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fprintf(stderr, "%s: %s\n", title.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
        return;
    }
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

void SetRecorder(std::function<void(const QString&, const QString&)> recorder) {
    g_recorder = std::move(recorder);
}

} // namespace ErrorReport
