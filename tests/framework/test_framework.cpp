#include "dialog.h"
#include "sinks.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <array>

namespace {

constexpr std::array kControls{
    ControlTemplate{10, ControlKind::Static, "Name:", 4, 4, 30, 10},
    ControlTemplate{11, ControlKind::Edit, "", 36, 4, 60, 12},
    ControlTemplate{12, ControlKind::PushButton, "Go", 100, 4, 40, 14},
    ControlTemplate{13, ControlKind::Edit, "", 4, 20, 60, 40, ControlFlag::MultiLine | ControlFlag::WantReturn},
    ControlTemplate{14, ControlKind::Edit, "", 70, 20, 60, 12, ControlFlag::Hidden | ControlFlag::Password},
    ControlTemplate{15, ControlKind::PushButton, "Off", 70, 36, 40, 14, ControlFlag::Disabled},
};
const DialogTemplate kTemplate{1, "Test", 150, 70, "MS Shell Dlg", 9, kControls};

} // namespace

class TestFramework : public QObject
{
    Q_OBJECT

private slots:
    void mulDivRoundsLikeWindows_data();
    void mulDivRoundsLikeWindows();
    void dialogUnitsMapCorners();
    void parseDlgInt_data();
    void parseDlgInt();
    void controlsAreBuiltFromTheTemplate();
    void textAndNumbersById();
    void accessibleNamesAndIds();
    void enterPressesOnlyTheFocusedButton_data();
    void enterPressesOnlyTheFocusedButton();
    void sinksRecordAndRestore();
    void sleepFunctionTakesTheWaits();
};

void TestFramework::mulDivRoundsLikeWindows_data()
{
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("c");
    QTest::addColumn<int>("expected");
    QTest::newRow("exact") << 8 << 7 << 4 << 14;
    QTest::newRow("half rounds up") << 1 << 7 << 2 << 4;
    QTest::newRow("below half rounds down") << 1 << 7 << 4 << 2;
    QTest::newRow("negative half away from zero") << -1 << 7 << 2 << -4;
    QTest::newRow("64-bit product") << 1 << 2000000000 << 1000000000 << 2;
    QTest::newRow("zero divisor") << 5 << 5 << 0 << -1;
}

void TestFramework::mulDivRoundsLikeWindows()
{
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(int, c);
    QTEST(MulDiv(a, b, c), "expected");
}

void TestFramework::dialogUnitsMapCorners()
{
    const DialogUnits units(7, 14);
    QCOMPARE(units.toPixelsX(4), 7);
    QCOMPARE(units.toPixelsY(8), 14);
    // Mapped from the two corners: units 1 and 3 lie at 1.75 and 5.25 pixels, rounded to 2 and
    // 5, so a width of 2 units (3.5 pixels) comes out as 3, not the 4 it rounds to on its own.
    QCOMPARE(units.toPixels(1, 1, 2, 2), QRect(2, 2, 3, 3));
    QCOMPARE(units.toPixels(1, 1, 1, 1), QRect(2, 2, 2, 2));
    QCOMPARE(units.toPixels(684, 417, 0, 0).topLeft(), QPoint(1197, 730));
}

void TestFramework::parseDlgInt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isSigned");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("status");
    const int ok = int(DlgInt::Status::Ok);
    const int none = int(DlgInt::Status::NoDigits);
    const int overflow = int(DlgInt::Status::Overflow);
    QTest::newRow("empty") << "" << true << 0 << none;
    QTest::newRow("letters") << "abc" << true << 0 << none;
    QTest::newRow("minus one") << "-1" << true << -1 << ok;
    QTest::newRow("255") << "255" << true << 255 << ok;
    QTest::newRow("blanks around") << "  42  " << true << 42 << ok;
    QTest::newRow("digits then letters") << "1e3" << true << 0 << none;
    QTest::newRow("lone minus") << "-" << true << 0 << none;
    QTest::newRow("int max") << "2147483647" << true << 2147483647 << ok;
    QTest::newRow("int max + 1") << "2147483648" << true << 0 << overflow;
    QTest::newRow("int min") << "-2147483648" << true << int(-2147483647 - 1) << ok;
    QTest::newRow("below int min") << "-2147483649" << true << 0 << overflow;
    QTest::newRow("twenty digits") << "99999999999999999999" << true << 0 << overflow;
    QTest::newRow("thousand digits") << QString(1000, QLatin1Char('9')) << true << 0 << overflow;
    QTest::newRow("unsigned refuses a sign") << "-1" << false << 0 << none;
    QTest::newRow("unsigned max") << "4294967295" << false << -1 << ok;
    QTest::newRow("full-width digits") << QStringLiteral("１２") << true << 0 << none;
}

void TestFramework::parseDlgInt()
{
    QFETCH(QString, text);
    QFETCH(bool, isSigned);
    const DlgInt parsed = ParseDlgInt(text, isSigned);
    QTEST(parsed.value, "value");
    QTEST(int(parsed.status), "status");
}

void TestFramework::controlsAreBuiltFromTheTemplate()
{
    CDialog dialog(kTemplate);
    QVERIFY(dialog.Create());
    QVERIFY(dialog.DlgItem<QLabel>(10));
    QVERIFY(dialog.DlgItem<QLineEdit>(11));
    QVERIFY(dialog.DlgItem<QPlainTextEdit>(13));
    QVERIFY(!dialog.GetDlgItem(99));
    QVERIFY(dialog.GetDlgItem(14)->isHidden());
    QCOMPARE(dialog.DlgItem<QLineEdit>(14)->echoMode(), QLineEdit::Password);
    QVERIFY(!dialog.IsDlgItemEnabled(15));
    dialog.EnableDlgItem(15, true);
    QVERIFY(dialog.IsDlgItemEnabled(15));
    const DialogUnits& units = dialog.Units();
    QCOMPARE(dialog.GetDlgItem(12)->geometry(), units.toPixels(100, 4, 40, 14));
    QCOMPARE(dialog.size(), QSize(units.toPixelsX(150), units.toPixelsY(70)));
}

void TestFramework::textAndNumbersById()
{
    CDialog dialog(kTemplate);
    dialog.Create();
    dialog.SetDlgItemText(11, QStringLiteral("地址"));
    QCOMPARE(dialog.GetDlgItemText(11), QStringLiteral("地址"));
    QCOMPARE(dialog.GetDlgItemText(12), QStringLiteral("Go"));
    bool translated = true;
    QCOMPARE(dialog.GetDlgItemInt(11, &translated), 0);
    QVERIFY(!translated);
    dialog.SetDlgItemInt(11, -17);
    QCOMPARE(dialog.GetDlgItemText(11), QStringLiteral("-17"));
    QCOMPARE(dialog.GetDlgItemInt(11, &translated), -17);
    QVERIFY(translated);
    dialog.SetDlgItemText(11, QStringLiteral("99999999999"));
    QCOMPARE(dialog.GetDlgItemInt(11, &translated), 0);
    QVERIFY(!translated);
}

void TestFramework::accessibleNamesAndIds()
{
    CDialog dialog(kTemplate);
    dialog.Create();
    QCOMPARE(dialog.GetDlgItem(10)->accessibleName(), QStringLiteral("Name:"));
    QCOMPARE(dialog.GetDlgItem(11)->accessibleName(), QStringLiteral("Name:"));
    QCOMPARE(dialog.GetDlgItem(12)->accessibleName(), QStringLiteral("Go"));
    QCOMPARE(dialog.GetDlgItem(11)->accessibleDescription(), QStringLiteral("11"));
    QCOMPARE(dialog.GetDlgItem(15)->accessibleDescription(), QStringLiteral("15"));
}

void TestFramework::enterPressesOnlyTheFocusedButton_data()
{
    QTest::addColumn<int>("focus"); // control id; 0 for the dialog itself
    QTest::addColumn<int>("clicks");
    QTest::newRow("edit") << 11 << 0;
    QTest::newRow("multi-line edit") << 13 << 0;
    QTest::newRow("button") << 12 << 1;
    QTest::newRow("no control") << 0 << 0;
}

void TestFramework::enterPressesOnlyTheFocusedButton()
{
    QFETCH(int, focus);
    QFETCH(int, clicks);
    CDialog dialog(kTemplate);
    dialog.Create();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy clicked(dialog.DlgItem<QPushButton>(12), &QPushButton::clicked);
    QWidget* target = focus ? dialog.GetDlgItem(focus) : &dialog;
    target->setFocus();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(target, key);
    }
    QCOMPARE(clicked.count(), 2 * clicks);
    QVERIFY(dialog.isVisible());

    // Esc still ends the dialog, from anywhere.
    QTest::keyClick(target, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void TestFramework::sinksRecordAndRestore()
{
    QStringList first;
    QStringList second;
    SetMessageSink([&first](const QString& text) { first << text; });
    AfxMessageBox(QStringLiteral("success!"));
    const TextSink replaced = SetMessageSink([&second](const QString& text) { second << text; });
    AfxMessageBox(QStringLiteral("write data error"));
    QCOMPARE(first, QStringList{"success!"});
    QCOMPARE(second, QStringList{"write data error"});
    replaced(QStringLiteral("again"));
    QCOMPARE(first.size(), 2);

    QStringList lines;
    SetDebugSink([&lines](const QString& text) { lines << text; });
    DebugOutput(QStringLiteral("crc:1"));
    QCOMPARE(lines, QStringList{"crc:1"});
    SetDebugSink({});
    SetMessageSink({});
}

void TestFramework::sleepFunctionTakesTheWaits()
{
    // An hour at real time: were it slept as well, the test would run out of time.
    QList<unsigned> asked;
    SetSleepScale(0.5);
    QVERIFY(!SetSleepFunction([&asked](unsigned ms) { asked << ms; }));
    Sleep(3600000);
    Sleep(0);
    QCOMPARE(asked, (QList<unsigned>{3600000, 0}));

    // Removed again, the scaled real wait is back.
    QVERIFY(SetSleepFunction({}));
    QElapsedTimer timer;
    timer.start();
    Sleep(60);
    QVERIFY2(timer.elapsed() >= 30, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(asked.size(), 2);
    SetSleepScale(1.0);
}

QTEST_MAIN(TestFramework)
#include "test_framework.moc"
