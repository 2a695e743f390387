#include "log/LogRules.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QTest>

namespace {

QByteArrayList ToList(const QList<QByteArrayView>& views) {
    QByteArrayList list;
    for (const QByteArrayView view : views)
        list.append(view.toByteArray());
    return list;
}

} // namespace

class TestLogRules : public QObject {
    Q_OBJECT
private slots:
    void quoteField_data();
    void quoteField();
    void formatRecord_data();
    void formatRecord();
    void formatRecordIgnoresTheUsersLocale();
    void procNameIsTheWritersClassAndFunction();
    void splitLines_data();
    void splitLines();
    void joinWithCrLf_data();
    void joinWithCrLf();
    void scannerAgreesWithSplitLines_data();
    void scannerAgreesWithSplitLines();
    void scannerOnRandomContent();
};

void TestLogRules::quoteField_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("written");
    QTest::newRow("plain") << QStringLiteral("（引数）引数実行成功")
                           << QStringLiteral("（引数）引数実行成功");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("spaces kept") << QStringLiteral("  a b ") << QStringLiteral("  a b ");
    QTest::newRow("comma") << QStringLiteral("a,b") << QStringLiteral("\"a,b\"");
    QTest::newRow("quote doubled")
        << QStringLiteral("say \"hi\"") << QStringLiteral("\"say \"\"hi\"\"\"");
    QTest::newRow("lone quote") << QStringLiteral("\"") << QStringLiteral("\"\"\"\"");
    QTest::newRow("comma and quote") << QStringLiteral(",\"") << QStringLiteral("\",\"\"\"");
    QTest::newRow("line break unescaped") << QStringLiteral("a\r\nb") << QStringLiteral("a\r\nb");
}

void TestLogRules::quoteField() {
    QFETCH(QString, field);
    QFETCH(QString, written);
    QCOMPARE(LogRules::QuoteField(field), written);
}

void TestLogRules::formatRecord_data() {
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("record");
    const QDateTime morning(QDate(2024, 5, 1), QTime(9, 5, 3, 42));
    QTest::newRow("hour without leading zero")
        << morning << QStringLiteral("（引数）引数実行成功")
        << QStringLiteral("2024/05/01,9:05:03.042,4312,情報,TFormMain_Proc,（引数）引数実行成功");
    QTest::newRow("two-digit hour, last millisecond")
        << QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59, 999)) << QStringLiteral("x")
        << QStringLiteral("2023/12/31,23:59:59.999,4312,情報,TFormMain_Proc,x");
    QTest::newRow("midnight") << QDateTime(QDate(2024, 1, 1), QTime(0, 0)) << QStringLiteral("x")
                              << QStringLiteral(
                                     "2024/01/01,0:00:00.000,4312,情報,TFormMain_Proc,x");
    QTest::newRow("empty text ends in a comma")
        << morning << QString()
        << QStringLiteral("2024/05/01,9:05:03.042,4312,情報,TFormMain_Proc,");
    QTest::newRow("comma and quote in text")
        << morning << QStringLiteral("a,\"b\"")
        << QStringLiteral("2024/05/01,9:05:03.042,4312,情報,TFormMain_Proc,\"a,\"\"b\"\"\"");
}

void TestLogRules::formatRecord() {
    QFETCH(QDateTime, moment);
    QFETCH(QString, text);
    QFETCH(QString, record);
    QCOMPARE(LogRules::FormatRecord(moment, 4312, QStringLiteral("情報"),
                                    QStringLiteral("TFormMain_Proc"), text),
             record);
}

void TestLogRules::formatRecordIgnoresTheUsersLocale() {
    const QLocale previous;
    // Eastern Arabic digits and a different calendar layout would show up in a
    // locale-dependent rendering.
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    const QString record = LogRules::FormatRecord(QDateTime(QDate(2024, 5, 1), QTime(9, 5, 3, 42)),
                                                  7, QStringLiteral("エラー"),
                                                  QStringLiteral("P,1"), QStringLiteral("t"));
    QLocale::setDefault(previous);
    QCOMPARE(record, QStringLiteral("2024/05/01,9:05:03.042,7,エラー,\"P,1\",t"));
}

void TestLogRules::procNameIsTheWritersClassAndFunction() {
    QCOMPARE(LogRules::ProcName(this, __func__),
             QStringLiteral("TestLogRules_procNameIsTheWritersClassAndFunction"));
}

void TestLogRules::splitLines_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::newRow("empty") << QByteArray() << QByteArrayList{};
    QTest::newRow("no final break") << QByteArray("a") << QByteArrayList{"a"};
    QTest::newRow("final CR LF adds no line") << QByteArray("a\r\n") << QByteArrayList{"a"};
    QTest::newRow("final LF adds no line") << QByteArray("a\n") << QByteArrayList{"a"};
    QTest::newRow("final CR adds no line") << QByteArray("a\r") << QByteArrayList{"a"};
    QTest::newRow("mixed breaks") << QByteArray("a\rb\nc\r\nd")
                                  << QByteArrayList{"a", "b", "c", "d"};
    QTest::newRow("empty lines kept")
        << QByteArray("a\n\nb\r\n\r\n") << QByteArrayList{"a", "", "b", ""};
    QTest::newRow("lone break is one empty line") << QByteArray("\r\n") << QByteArrayList{""};
    QTest::newRow("CR CR LF is two breaks")
        << QByteArray("a\r\r\nb") << QByteArrayList{"a", "", "b"};
    QTest::newRow("LF CR is two breaks") << QByteArray("a\n\rb") << QByteArrayList{"a", "", "b"};
}

void TestLogRules::splitLines() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArrayList, lines);
    QCOMPARE(ToList(LogRules::SplitLines(content)), lines);
}

void TestLogRules::joinWithCrLf_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("joined");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("CR LF unchanged") << QByteArray("a\r\nb\r\n") << QByteArray("a\r\nb\r\n");
    QTest::newRow("lone breaks become CR LF")
        << QByteArray("a\nb\rc\r\nd") << QByteArray("a\r\nb\r\nc\r\nd\r\n");
    QTest::newRow("empty lines kept") << QByteArray("\n\r\n\r") << QByteArray("\r\n\r\n\r\n");
    // A Shift_JIS line from an older log and a stray invalid byte survive unchanged.
    QTest::newRow("bytes that are not text")
        << QByteArray("\x8f\xee\x95\xf1\n\xff,x") << QByteArray("\x8f\xee\x95\xf1\r\n\xff,x\r\n");
}

void TestLogRules::joinWithCrLf() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, joined);
    QCOMPARE(LogRules::JoinWithCrLf(content), joined);
}

namespace {

// Feeds content to scanners in every two-piece split and byte by byte, and checks that
// each finds the lines SplitLines finds and where the last keep of them begin.
void CheckScanner(const QByteArray& content, qsizetype keep) {
    const QList<QByteArrayView> lines = LogRules::SplitLines(content);
    const qint64 keptStart =
        lines.size() <= keep
            ? 0
            : (keep == 0 ? content.size() : lines[lines.size() - keep].data() - content.data());
    for (qsizetype cut = 0; cut <= content.size(); ++cut) {
        LogRules::TLineScanner scanner(keep);
        scanner.Feed(QByteArrayView(content).first(cut));
        scanner.Feed(QByteArrayView(content).sliced(cut));
        QCOMPARE(scanner.Lines(), qint64(lines.size()));
        QCOMPARE(scanner.KeptStart(), keptStart);
    }
    LogRules::TLineScanner bytewise(keep);
    for (qsizetype i = 0; i < content.size(); ++i)
        bytewise.Feed(QByteArrayView(content).sliced(i, 1));
    QCOMPARE(bytewise.Lines(), qint64(lines.size()));
    QCOMPARE(bytewise.KeptStart(), keptStart);
}

} // namespace

void TestLogRules::scannerAgreesWithSplitLines_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no final break") << QByteArray("abc");
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\nc\r\nd\r\n");
    QTest::newRow("mixed") << QByteArray("a\rb\nc\r\nd");
    QTest::newRow("empty lines") << QByteArray("\n\n\r\n\r\r\n\nx");
    QTest::newRow("CR CR LF and LF CR") << QByteArray("a\r\r\nb\n\rc\r");
}

void TestLogRules::scannerAgreesWithSplitLines() {
    QFETCH(QByteArray, content);
    for (const qsizetype keep : {0, 1, 2, 3, 100})
        CheckScanner(content, keep);
}

void TestLogRules::scannerOnRandomContent() {
    QRandomGenerator random(20240501);
    static const char alphabet[] = {'\r', '\n', 'a', ',', '\xe6'};
    for (int round = 0; round < 200; ++round) {
        QByteArray content;
        const int size = random.bounded(40);
        for (int i = 0; i < size; ++i)
            content += alphabet[random.bounded(int(sizeof alphabet))];
        CheckScanner(content, random.bounded(6));
        if (QTest::currentTestFailed())
            QFAIL(content.toPercentEncoding().constData());
    }
}

QTEST_APPLESS_MAIN(TestLogRules)
#include "tst_logrules.moc"
