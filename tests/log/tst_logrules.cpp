#include "log/cls_Log.h"

#include <QLocale>
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
    void splitLines_data();
    void splitLines();
    void trimmedContent_data();
    void trimmedContent();
    void trimmedContentKeepsBytesThatAreNotText();
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

void TestLogRules::trimmedContent_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("rewritten");
    QTest::addColumn<qsizetype>("dropped");
    QTest::addColumn<QByteArray>("result");
    // Kept: three lines.
    QTest::newRow("fewer lines") << QByteArray("a\nb") << false << qsizetype(0) << QByteArray();
    QTest::newRow("exactly as many, odd breaks")
        << QByteArray("a\nb\rc") << false << qsizetype(0) << QByteArray();
    QTest::newRow("one more") << QByteArray("a\r\nb\r\nc\r\nd\r\n") << true << qsizetype(1)
                              << QByteArray("b\r\nc\r\nd\r\n");
    QTest::newRow("lone breaks become CR LF")
        << QByteArray("a\nb\rc\nd\r\ne") << true << qsizetype(2) << QByteArray("c\r\nd\r\ne\r\n");
    QTest::newRow("empty lines count")
        << QByteArray("\n\n\n\nx\n") << true << qsizetype(2) << QByteArray("\r\n\r\nx\r\n");
}

void TestLogRules::trimmedContent() {
    QFETCH(QByteArray, content);
    QFETCH(bool, rewritten);
    QFETCH(qsizetype, dropped);
    QFETCH(QByteArray, result);
    const std::optional<LogRules::TTrim> trim = LogRules::TrimmedContent(content, 3);
    QCOMPARE(trim.has_value(), rewritten);
    if (trim) {
        QCOMPARE(trim->DroppedLines, dropped);
        QCOMPARE(trim->Content, result);
    }
}

void TestLogRules::trimmedContentKeepsBytesThatAreNotText() {
    // A Shift_JIS line from an older log and a stray invalid byte survive unchanged.
    const QByteArray sjis("\x8f\xee\x95\xf1", 4);
    const QByteArray content = "old\r\n" + sjis + "\r\n\xff,x\n";
    const std::optional<LogRules::TTrim> trim = LogRules::TrimmedContent(content, 2);
    QVERIFY(trim.has_value());
    QCOMPARE(trim->Content, sjis + "\r\n\xff,x\r\n");
}

QTEST_APPLESS_MAIN(TestLogRules)
#include "tst_logrules.moc"
