// The application's top-level error report: the title and text rules as free functions,
// errors that escape a handler reaching the report while the loop goes on, and the box
// every report and error of the program is shown in.

#include "AppRig.h"
#include "app/ConnectReported.h"
#include "app/ErrorReport.h"
#include "common/ErrorBox.h"
#include "common/Errors.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

class TestErrorReport : public QObject {
    Q_OBJECT
private slots:
    void init();

    void title_data();
    void title();
    void text_data();
    void text();
    void escapedErrorIsReportedAndTheLoopGoesOn();
    void connectedHandlersReportTheirErrors();
    void boxIsModalToItsOwnerWithCloseOnly();

private:
    void RejectName(const QString& name) { throw EConvertError(name); }
};

void TestErrorReport::init() {
    ShownBoxes().clear();
}

void TestErrorReport::title_data() {
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("title");

    QTest::newRow("program") << "InCycler"
                             << "Incycler";
    QTest::newRow("with extension") << "InCycler.exe"
                                    << "Incycler";
    QTest::newRow("up to the first dot") << "InCycler.Tool.exe"
                                         << "Incycler";
    // The first character is kept as it is, not raised.
    QTest::newRow("lower first") << "inCYCLER"
                                 << "incycler";
    QTest::newRow("all upper") << "ABC"
                               << "Abc";
    QTest::newRow("one character") << "A.exe"
                                   << "A";
    QTest::newRow("leading dot") << ".hidden"
                                 << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("non-ASCII") << "ÄÖÜ.bin"
                               << "Äöü";
}

void TestErrorReport::title() {
    QFETCH(QString, fileName);
    QFETCH(QString, title);
    QCOMPARE(ErrorReport::ApplicationTitle(fileName), title);
}

void TestErrorReport::text_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("text");

    QTest::newRow("letter") << "Port error"
                            << "Port error.";
    QTest::newRow("digit") << "code 7"
                           << "code 7.";
    QTest::newRow("slash sorts above") << "a/"
                                       << "a/.";
    QTest::newRow("already a full stop") << "Done."
                                         << "Done.";
    QTest::newRow("exclamation sorts below") << "Stop!"
                                             << "Stop!";
    QTest::newRow("hyphen sorts below") << "a-"
                                        << "a-";
    QTest::newRow("comma sorts below") << "a,"
                                       << "a,";
    QTest::newRow("space sorts below") << "a "
                                       << "a ";
    QTest::newRow("closing parenthesis") << "(a)"
                                         << "(a)";
    QTest::newRow("Japanese") << "'x' は整数ではありません"
                              << "'x' は整数ではありません.";
    QTest::newRow("Japanese full stop") << "エラーです。"
                                        << "エラーです。.";
    QTest::newRow("empty") << ""
                           << "";
}

void TestErrorReport::text() {
    QFETCH(QString, message);
    QFETCH(QString, text);
    QCOMPARE(ErrorReport::BoxText(message), text);
}

void TestErrorReport::escapedErrorIsReportedAndTheLoopGoesOn() {
    bool after = false;
    bool later = false;
    QObject context;
    QTimer::singleShot(0, &context, [&] {
        throw EConvertError(QStringLiteral("'a' は整数ではありません"));
        after = true; // never reached: the error ends the handler
    });
    QTimer::singleShot(0, &context, [&] { later = true; });
    QTRY_VERIFY(later);
    QVERIFY(!after);
    // Titled after this program's file name.
    QCOMPARE(BoxLines(), QStringList{QStringLiteral("tst_errorreport|'a' は整数ではありません.")});
}

void TestErrorReport::connectedHandlersReportTheirErrors() {
    // Emitted directly, as the port announces: without the report the error would come out of
    // the emitting call. The handler gets the signal's argument; a lambda the same report.
    QObject sender;
    ConnectReported(&sender, &QObject::objectNameChanged, this, &TestErrorReport::RejectName);
    ConnectReported(&sender, &QObject::objectNameChanged, this,
                    [](const QString& name) { throw EConvertError(name + QLatin1Char('!')); });
    sender.setObjectName(QStringLiteral("a"));
    QCOMPARE(BoxLines(), (QStringList{QStringLiteral("tst_errorreport|a."),
                                      QStringLiteral("tst_errorreport|a!")}));
}

void TestErrorReport::boxIsModalToItsOwnerWithCloseOnly() {
    QWidget window;
    const auto box = ErrorBox::Make(&window, QStringLiteral("エラー"), QStringLiteral("text"));
    QCOMPARE(box->parentWidget(), &window);
    // Modal to the window that owns it: the tray, a window of its own, stays usable.
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->windowTitle(), QStringLiteral("エラー"));
    QCOMPARE(box->text(), QStringLiteral("text"));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    QCOMPARE(box->buttons().size(), 1);
    QCOMPARE(box->standardButton(box->buttons().first()), QMessageBox::Ok);
    // Of the title-bar buttons, only closing.
    const Qt::WindowFlags flags = box->windowFlags();
    QVERIFY(box->isWindow());
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

    // With no window to belong to, it blocks the whole application.
    QCOMPARE(ErrorBox::Make(nullptr, QString(), QString())->windowModality(), Qt::ApplicationModal);
}

INCYCLER_APP_TEST_MAIN(TestErrorReport)
#include "tst_errorreport.moc"
