// Times the operation log: the start-up trim of long files and the rate of appends.
//   log_bench [directory]   (a temporary directory when none is given)

#include "log/cls_Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QByteArray MadeUpLog(int lines) {
    QByteArray content;
    content.reserve(qsizetype(lines) * 72);
    for (int i = 0; i < lines; ++i)
        content += QStringLiteral("2024/05/01,9:05:03.042,4312,情報,TFormMain_btn_StartClick,"
                                  "（COM）COMポートOPEN失敗 %1\r\n")
                       .arg(i)
                       .toUtf8();
    return content;
}

double MedianMs(std::vector<double> runs) {
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir temporary;
    const QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temporary.path();
    TLog::SetDirectoryOverride(directory);
    const QString path = directory + QStringLiteral("/InCycler.log");

    for (const int lines : {10000, 100000, 1000000}) {
        const QByteArray content = MadeUpLog(lines);
        std::vector<double> runs;
        for (int run = 0; run < 5; ++run) {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                file.write(content) != content.size()) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                return 1;
            }
            file.close();
            TLog log;
            QElapsedTimer timer;
            timer.start();
            log.Init();
            runs.push_back(timer.nsecsElapsed() / 1e6);
        }
        std::printf("trim %8d lines (%6.1f MB): median %8.2f ms of %zu runs\n", lines,
                    content.size() / 1e6, MedianMs(runs), runs.size());
    }

    QFile::remove(path);
    TLog log;
    log.Init();
    constexpr int kRecords = 20000;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kRecords; ++i)
        log.OutputLogString(TLog::TypeInfo(), QStringLiteral("TFormMain_Bench"),
                            QString::number(i));
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("append %d records: %.3f s, %.0f records/s\n", kRecords, seconds,
                kRecords / seconds);

    constexpr int kPasses = 1000000;
    timer.start();
    for (int i = 0; i < kPasses; ++i)
        QCoreApplication::processEvents();
    std::printf("processEvents with nothing pending: %.3f us per call\n",
                timer.nsecsElapsed() / 1e3 / kPasses);
    return 0;
}
