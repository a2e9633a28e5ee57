#include "windowfixture.h"

#include "colorstatic.h"
#include "mybutton.h"
#include "port.h"
#include "xpgroupbox.h"

#include <QContextMenuEvent>
#include <QMap>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <pty.h>
#include <unistd.h>

// The window without a meter: its initial state, its refusals, the port buttons and the
// buttons that touch nothing but the window.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void controlsHaveTheirPaintedClasses();
    void everyControlWithItsCaption();
    void escEndsTheRunWithoutTheCloseHandler();
    void listsKeepTheirOrder_data();
    void listsKeepTheirOrder();
    void initialState();
    void commandsNeedAnOpenPort_data();
    void commandsNeedAnOpenPort();
    void readMeterAsksForTheAddressFirst();
    void showPassword_data();
    void showPassword();
    void closeFirstEmptiesAndDisables();
    void openFailureKeepsTheButtons();
    void openAndCloseAPort();
    void clearAreasTouchOnlyTheirOwn();
    void deleteButtonsBlankExactlyTheirEdits_data();
    void deleteButtonsBlankExactlyTheirEdits();
    void aboutIsTheLastMenuEntry();
    void closingReleasesWhatTheWindowOwns();
    void accessibleNames();
};

void TestMainWindow::controlsHaveTheirPaintedClasses()
{
    WindowFixture f;
    QCOMPARE(f.dlg->findChildren<CColorStatic*>(Qt::FindDirectChildrenOnly).size(), 77);
    QCOMPARE(f.dlg->findChildren<CMyButton*>(Qt::FindDirectChildrenOnly).size(), 29);
    QCOMPARE(f.dlg->findChildren<CXPGroupBox*>(Qt::FindDirectChildrenOnly).size(), 6);
    QCOMPARE(f.dlg->findChildren<QComboBox*>(Qt::FindDirectChildrenOnly).size(), 10);
    QCOMPARE(f.dlg->windowTitle(), QStringLiteral("Quorvex"));
    // Every button of the template has a handler.
    for (auto* button : f.dlg->findChildren<CMyButton*>(Qt::FindDirectChildrenOnly)) {
        const int id = button->property("controlId").toInt();
        const auto& commands = CQuorvexDlg::Commands();
        QVERIFY2(std::any_of(commands.begin(), commands.end(), [id](const auto& c) { return c.id == id; }),
                 qPrintable(QString::number(id)));
    }
}

void TestMainWindow::everyControlWithItsCaption()
{
    // Captions written down from the window's design, not copied from the template, so that a
    // typo in either shows up.
    const QMap<int, QString> captions{
        {1154, "Serial configuration"}, {1080, "COM:"}, {1081, "Baud rate:"}, {1082, "Parity check:"},
        {1161, "Type:"}, {1002, "Open"}, {1003, "Close"},
        {1149, "Set the property of the electric meter"}, {1091, "Baud rate:"}, {1007, "设置波特率"},
        {1098, "Parity check:"}, {1099, "设置奇偶校验"}, {1095, "Decimal:"}, {1088, "设置小数位数"},
        {1180, "CT Ratio："}, {1178, "设置变比"}, {1089, "Address:"}, {1012, "设置地址"}, {1092, "SN:"},
        {1076, "设置序列号"}, {1094, "Display time(s):"}, {1086, "设置显示时间"}, {1093, "Screen number:"},
        {1085, "设置屏数"},
        {1152, "Read the property of the electric meter"}, {1183, "清零"}, {1013, "读地址"}, {1087, "读屏数"},
        {1014, "读电表"}, {1077, "读序列号"}, {1054, "读小数位数"}, {1179, "读变比"}, {1090, "读波特率"},
        {1096, "读显示时间"}, {1182, "读奇偶校验"},
        {1169, "Password"}, {1165, "Password:"}, {1071, "显示"}, {1168, "设置密码"}, {1163, "Read Password"},
        {1162, "Single phase data"}, {1069, "查看数据"}, {1097, "删除数据"}, {1125, "Current Active kWh："},
        {1157, "kw/h"}, {1170, "L1 Current:"}, {1171, "A"}, {1129, "Constant:"}, {1128, "L1 Voltage:"},
        {1160, "V"}, {1166, "Active power:"}, {1174, "W"}, {1150, "Tariff number:"},
        {1156, "Total PowerFactor:"}, {1155, "Frequency:"}, {1172, "Hz"},
        {1151, "Three phase data"}, {1068, "查看数据"}, {1078, "删除数据"}, {1100, "Current Active kWh:"},
        {1130, "kw/h"}, {1108, "Current positive kWh:"}, {1132, "kw/h"}, {1101, "Current Reactive kWh:"},
        {1131, "kvar/h"}, {1109, "Current reverse kWh:"}, {1133, "kw/h"}, {1111, "L1 ReactivePower:"},
        {1141, "Var"}, {1102, "L1 Voltage:"}, {1134, "V"}, {1119, "Frequency:"}, {1148, "Hz"},
        {1112, "L2 ReactivePower:"}, {1142, "Var"}, {1103, "L2 Voltage:"}, {1135, "V"},
        {1114, "Total ActivePower:"}, {1144, "W"}, {1113, "L3 ReactivePower:"}, {1143, "Var"},
        {1104, "L3 Voltage:"}, {1136, "V"}, {1115, "L1 ActivePower:"}, {1145, "W"},
        {1118, "Total PowerFactor:"}, {1105, "L1 Current:"}, {1137, "A"}, {1116, "L2 ActivePower:"},
        {1146, "W"}, {1120, "L1 PowerFactor:"}, {1106, "L2 Current:"}, {1138, "A"},
        {1117, "L3 ActivePower:"}, {1147, "W"}, {1121, "L2 PowerFactor:"}, {1107, "L3 Current:"},
        {1139, "A"}, {1110, "Total ReactivePower:"}, {1140, "Var"}, {1122, "L3 PowerFactor:"},
        {1123, "Send data area"}, {1009, "清空发送区"}, {1124, "Recv data area"}, {1019, "清空接收区"},
        {1126, "有功费率1电量："}, {1127, "有功费率2电量："}, {1167, "无功功率:"}, {1158, "kw/h"},
        {1173, "kw/h"}, {1175, "W"}, {1164, "Var"},
    };
    WindowFixture f;
    for (auto it = captions.begin(); it != captions.end(); ++it) {
        QWidget* control = f.dlg->GetDlgItem(it.key());
        QVERIFY2(control, qPrintable(QString::number(it.key())));
        QCOMPARE(f.text(it.key()), it.value());
    }
    // And the other way round: every caption the window shows is one written down above.
    QStringList unlisted;
    for (QWidget* control : f.dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const bool captioned = qobject_cast<CColorStatic*>(control) || qobject_cast<CMyButton*>(control) ||
                               qobject_cast<CXPGroupBox*>(control);
        const int id = control->property("controlId").toInt();
        if (captioned && !captions.contains(id)) {
            unlisted << QString::number(id);
        }
    }
    QVERIFY2(unlisted.isEmpty(), qPrintable(unlisted.join(QLatin1Char(' '))));
    // The edits, besides those the labels name.
    for (int id : {1004, 1008, 1015, 1016, 1017, 1018, 1020, 1021, 1022, 1023, 1024, 1025, 1026, 1027, 1028,
                   1029, 1030, 1031, 1032, 1033, 1034, 1035, 1036, 1037, 1038, 1039, 1040, 1041, 1042, 1043,
                   1044, 1045, 1046, 1047, 1073, 1074, 1075, 1079, 1083, 1084}) {
        QWidget* edit = f.dlg->GetDlgItem(id);
        QVERIFY2(qobject_cast<QLineEdit*>(edit) || qobject_cast<QPlainTextEdit*>(edit), qPrintable(QString::number(id)));
    }
    // Group boxes hold their rows: each control lies inside its own box.
    const QMap<int, int> inside{{1000, 1154}, {1002, 1154}, {1065, 1149}, {1008, 1149}, {1176, 1149},
                                {1183, 1152}, {1182, 1152}, {1044, 1169}, {1163, 1169}, {1039, 1162},
                                {1042, 1162}, {1017, 1151}, {1021, 1151}};
    for (auto it = inside.begin(); it != inside.end(); ++it) {
        QVERIFY2(f.dlg->GetDlgItem(it.value())->geometry().contains(f.dlg->GetDlgItem(it.key())->geometry()),
                 qPrintable(QString::number(it.key())));
    }
}

// What Enter does in the window is checked in test_keys.
void TestMainWindow::escEndsTheRunWithoutTheCloseHandler()
{
    WindowFixture f;
    f.dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dlg.get()));
    f.dlg->GetDlgItem(IDC_EDIT_ADDRESS)->setFocus();
    QTest::keyClick(f.dlg->GetDlgItem(IDC_EDIT_ADDRESS), Qt::Key_Escape);
    QVERIFY(!f.dlg->isVisible());
    // The close handler did not run: the process ends right after and the system cleans up.
    QVERIFY(f.dlg->RecvBuf());
    QVERIFY(f.dlg->DlgDanData());
}

void TestMainWindow::listsKeepTheirOrder_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QStringList>("entries");
    QStringList coms;
    for (int i = 1; i <= 10; ++i) {
        coms << QStringLiteral("COM%1").arg(i);
    }
    const QStringList parity{"None check", "Odd check", "Even check"};
    QTest::newRow("COM") << int(IDC_COMBO_COM) << coms;
    QTest::newRow("port baud") << int(IDC_COMBO_BAUD) << QStringList{"1200", "2400", "4800", "9600"};
    QTest::newRow("port parity") << int(IDC_COMBO_PARITY) << parity;
    QTest::newRow("meter baud") << int(IDC_COMBO_METER_BAUD) << QStringList{"1200", "2400", "4800", "9600"};
    QTest::newRow("type") << int(IDC_COMBO_METER_TYPE) << QStringList{"Single phase meter", "Three phase meter"};
    QTest::newRow("decimal") << int(IDC_COMBO_DECIMAL) << QStringList{"1", "2"};
    QTest::newRow("display time") << int(IDC_COMBO_DISPLAY_TIME) << QStringList{"1", "2", "3", "4", "5"};
    QTest::newRow("screen") << int(IDC_COMBO_SCREEN)
                            << QStringList{"3", "6", "7", "8", "9", "10", "11", "12", "13", "14"};
    QTest::newRow("CT") << int(IDC_COMBO_CT_RATIO)
                        << QStringList{"1",   "2",   "5",   "8",   "10",  "12",  "15",  "16",  "20",
                                       "24",  "30",  "40",  "50",  "60",  "70",  "80",  "90",  "100",
                                       "110", "120", "130", "140", "150", "160", "170", "180", "190"};
    QTest::newRow("meter parity") << int(IDC_COMBO_METER_PARITY) << parity;
}

void TestMainWindow::listsKeepTheirOrder()
{
    QFETCH(int, id);
    QFETCH(QStringList, entries);
    WindowFixture f;
    QComboBox* combo = f.combo(id);
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i) {
        shown << combo->itemText(i);
    }
    QCOMPARE(shown, entries);
    QCOMPARE(combo->currentIndex(), 0);
    QVERIFY(!combo->isEditable());
}

void TestMainWindow::initialState()
{
    WindowFixture f;
    QCOMPARE(f.dlg->DecimalMode(), 0);
    QVERIFY(!f.dlg->PortOpenFlag());
    QVERIFY(f.dlg->DanDataList().isEmpty());
    QVERIFY(f.dlg->EnergyList().isEmpty());
    QVERIFY(f.dlg->IsDlgItemEnabled(IDC_BTN_OPEN));
    QVERIFY(f.dlg->IsDlgItemEnabled(IDC_BTN_CLOSE));
    QVERIFY(!f.dlg->IsDlgItemEnabled(IDC_BTN_READ_PASSWORD));
    for (int id : std::initializer_list<int>{IDC_EDIT_SP_POSITIVE_KWH, IDC_EDIT_SP_REVERSE_KWH,
                   IDC_EDIT_SP_REACTIVE_POWER, IDC_EDIT_UNUSED,
                   1126, 1127, 1167, 1158, 1173, 1175, 1164}) {
        QVERIFY2(f.dlg->GetDlgItem(id)->isHidden(), qPrintable(QString::number(id)));
    }
    for (auto* edit : f.dlg->findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly)) {
        QVERIFY(edit->text().isEmpty());
    }
    QCOMPARE(f.dlg->DlgItem<QLineEdit>(IDC_EDIT_PASSWORD)->echoMode(), QLineEdit::Password);
    QVERIFY(f.dlg->DlgItem<QPlainTextEdit>(IDC_EDIT_SEND)->isReadOnly());
    QCOMPARE(f.dlg->DlgItem<QPlainTextEdit>(IDC_EDIT_SEND)->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(f.dlg->DlgItem<QPlainTextEdit>(IDC_EDIT_RECV)->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QVERIFY(f.dlg->DlgDanData() && !f.dlg->DlgDanData()->isVisible());
    QVERIFY(f.dlg->DlgEnergyData() && !f.dlg->DlgEnergyData()->isVisible());
    QVERIFY(f.dlg->RecvBuf());
    QVERIFY(std::all_of(f.dlg->RecvBuf()->begin(), f.dlg->RecvBuf()->end(), [](auto b) { return b == 0; }));
    QVERIFY(f.messages.isEmpty());
}

void TestMainWindow::commandsNeedAnOpenPort_data()
{
    QTest::addColumn<int>("button");
    for (int id : {IDC_BTN_SET_BAUD, IDC_BTN_SET_ADDRESS, IDC_BTN_SET_DISPLAY_TIME, IDC_BTN_SET_SCREEN,
                   IDC_BTN_SET_DECIMAL, IDC_BTN_SET_SN, IDC_BTN_SET_PASSWORD, IDC_BTN_SET_CT, IDC_BTN_SET_PARITY,
                   IDC_BTN_CLEAR_ZERO, IDC_BTN_READ_ADDRESS, IDC_BTN_READ_SN, IDC_BTN_READ_SCREEN,
                   IDC_BTN_READ_DECIMAL, IDC_BTN_READ_DISPLAY_TIME, IDC_BTN_READ_BAUD, IDC_BTN_READ_CT,
                   IDC_BTN_READ_PARITY}) {
        QTest::addRow("%d", id) << id;
    }
}

void TestMainWindow::commandsNeedAnOpenPort()
{
    QFETCH(int, button);
    WindowFixture f;
    f.setText(IDC_EDIT_SEND, QStringLiteral("old"));
    f.click(button);
    QCOMPARE(f.messages, QStringList{"Serial port is unopened"});
    QCOMPARE(f.text(IDC_EDIT_SEND), QStringLiteral("old"));
}

void TestMainWindow::readMeterAsksForTheAddressFirst()
{
    WindowFixture f;
    f.click(IDC_BTN_READ_METER);
    QCOMPARE(f.messages, QStringList{"first Read address"});
    QVERIFY(f.text(IDC_EDIT_SEND).isEmpty());
}

void TestMainWindow::showPassword_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("empty") << QString();
    QTest::newRow("digits") << QStringLiteral("1234");
    QTest::newRow("anything") << QStringLiteral("密码 x");
}

void TestMainWindow::showPassword()
{
    QFETCH(QString, password);
    WindowFixture f;
    f.setText(IDC_EDIT_PASSWORD, password);
    f.click(IDC_BTN_SHOW_PASSWORD);
    QCOMPARE(f.messages, QStringList{QStringLiteral("password is：") + password});
}

void TestMainWindow::closeFirstEmptiesAndDisables()
{
    WindowFixture f;
    f.click(IDC_BTN_CLOSE);
    QVERIFY(f.dlg->IsDlgItemEnabled(IDC_BTN_OPEN));
    QVERIFY(!f.dlg->IsDlgItemEnabled(IDC_BTN_CLOSE));
    QCOMPARE(f.dlg->DecimalMode(), 0);
    QVERIFY(f.messages.isEmpty());
}

void TestMainWindow::openFailureKeepsTheButtons()
{
    qputenv("QUORVEX_COM10", "/nonexistent/tty");
    WindowFixture f;
    f.select(IDC_COMBO_COM, 9);
    f.click(IDC_BTN_OPEN);
    // The reason comes below the fixed text, for a technician who never sees the terminal.
    QCOMPARE(f.messages.size(), 1);
    const QStringList lines = f.messages.front().split(u'\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QStringLiteral("Serial port is occupied！"));
    QVERIFY2(lines[1].contains(QStringLiteral("/nonexistent/tty")) &&
                 lines[1].contains(QStringLiteral("No such file or directory")),
             qPrintable(lines[1]));
    QVERIFY(!f.dlg->PortOpenFlag());
    QVERIFY(f.dlg->IsDlgItemEnabled(IDC_BTN_OPEN));
    QVERIFY(f.dlg->IsDlgItemEnabled(IDC_BTN_CLOSE));
    qunsetenv("QUORVEX_COM10");
}

void TestMainWindow::openAndCloseAPort()
{
    int master = -1;
    int slave = -1;
    char name[128] = {};
    QVERIFY(openpty(&master, &slave, name, nullptr, nullptr) == 0);
    ::close(slave);
    qputenv("QUORVEX_COM10", name);
    {
        WindowFixture f;
        f.select(IDC_COMBO_COM, 9);
        f.select(IDC_COMBO_BAUD, 3);
        f.click(IDC_BTN_OPEN);
        QVERIFY(f.messages.isEmpty());
        QVERIFY(f.dlg->PortOpenFlag());
        QVERIFY(PortIsOpen());
        QVERIFY(!f.dlg->IsDlgItemEnabled(IDC_BTN_OPEN));
        QVERIFY(f.dlg->IsDlgItemEnabled(IDC_BTN_CLOSE));
        f.click(IDC_BTN_CLOSE);
        QVERIFY(!PortIsOpen());
        QVERIFY(f.dlg->IsDlgItemEnabled(IDC_BTN_OPEN));
        QVERIFY(!f.dlg->IsDlgItemEnabled(IDC_BTN_CLOSE));

        // Closing the window with the port open closes the port.
        f.click(IDC_BTN_OPEN);
        QVERIFY(PortIsOpen());
        f.dlg->close();
        QVERIFY(!PortIsOpen());
    }
    qunsetenv("QUORVEX_COM10");
    ::close(master);
}

void TestMainWindow::clearAreasTouchOnlyTheirOwn()
{
    WindowFixture f;
    f.setText(IDC_EDIT_SEND, QStringLiteral("00 04 "));
    f.setText(IDC_EDIT_RECV, QStringLiteral("00 04 02 "));
    f.click(IDC_BTN_CLEAR_SEND);
    QVERIFY(f.text(IDC_EDIT_SEND).isEmpty());
    QCOMPARE(f.text(IDC_EDIT_RECV), QStringLiteral("00 04 02 "));
    f.setText(IDC_EDIT_SEND, QStringLiteral("00 04 "));
    f.click(IDC_BTN_CLEAR_RECV);
    QVERIFY(f.text(IDC_EDIT_RECV).isEmpty());
    QCOMPARE(f.text(IDC_EDIT_SEND), QStringLiteral("00 04 "));
}

void TestMainWindow::deleteButtonsBlankExactlyTheirEdits_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QList<int>>("blanked");
    QTest::newRow("single phase") << int(IDC_BTN_DELETE_SP)
                                  << QList<int>{1039, 1046, 1047, 1041, 1043, 1042, 1040, 1079};
    QTest::newRow("three phase") << int(IDC_BTN_DELETE_TP)
                                 << QList<int>{1017, 1016, 1030, 1032, 1033, 1031, 1034, 1015, 1073, 1074, 1029, 1036,
                                               1038, 1037, 1027, 1024, 1026, 1025, 1022, 1028, 1023, 1021, 1035};
}

void TestMainWindow::deleteButtonsBlankExactlyTheirEdits()
{
    QFETCH(int, button);
    QFETCH(QList<int>, blanked);
    WindowFixture f;
    const auto edits = f.dlg->findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly);
    for (QLineEdit* edit : edits) {
        edit->setText(QStringLiteral("x"));
    }
    f.click(button);
    f.click(button);
    for (QLineEdit* edit : edits) {
        const int id = edit->property("controlId").toInt();
        QCOMPARE(edit->text().isEmpty(), blanked.contains(id));
    }
}

void TestMainWindow::aboutIsTheLastMenuEntry()
{
    WindowFixture f;
    f.dlg->show();
    QStringList entries;
    bool separatorBefore = false;
    int aboutBoxes = 0;
    // Read the menu while it is open, then pick the about entry; the about box that opens is
    // modal and is closed as soon as it shows.
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        const auto actions = menu->actions();
        for (QAction* action : actions) {
            entries << action->text();
        }
        separatorBefore = actions.size() >= 2 && actions.at(actions.size() - 2)->isSeparator();
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ++aboutBoxes;
                box->reject();
            }
        });
        actions.last()->trigger();
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), f.dlg->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(f.dlg.get(), &event);
    QVERIFY(!entries.isEmpty());
    QCOMPARE(entries.last(), QStringLiteral("关于 Quorvex(&A)..."));
    QVERIFY(separatorBefore);
    QCOMPARE(aboutBoxes, 1);
}

void TestMainWindow::closingReleasesWhatTheWindowOwns()
{
    WindowFixture f;
    QPointer<CDlgDanData> dan = f.dlg->DlgDanData();
    QPointer<CDlgEnergyData> energy = f.dlg->DlgEnergyData();
    f.dlg->show();
    f.dlg->close();
    QVERIFY(!f.dlg->RecvBuf());
    QVERIFY(dan.isNull());
    QVERIFY(energy.isNull());
    // A late command reaches no freed buffer and no destroyed window: it does nothing.
    f.dlg->OnReadAddress();
    f.dlg->OnSetBaudRate();
    f.dlg->OnClearZero();
    f.dlg->OnViewDanData();
    f.dlg->OnViewEnergyData();
    QVERIFY(f.messages.isEmpty());
}

void TestMainWindow::accessibleNames()
{
    WindowFixture f;
    QCOMPARE(f.dlg->GetDlgItem(IDC_EDIT_ADDRESS)->accessibleName(), QStringLiteral("Address:"));
    QCOMPARE(f.dlg->GetDlgItem(IDC_COMBO_METER_TYPE)->accessibleName(), QStringLiteral("Type:"));
    QCOMPARE(f.dlg->GetDlgItem(IDC_EDIT_SEND)->accessibleName(), QStringLiteral("Send data area"));
    QCOMPARE(f.dlg->GetDlgItem(IDC_BTN_READ_METER)->accessibleName(), QStringLiteral("读电表"));
    QCOMPARE(f.dlg->GetDlgItem(IDC_BTN_READ_METER)->accessibleDescription(), QStringLiteral("1014"));
    QCOMPARE(f.dlg->GetDlgItem(IDC_GROUP_PASSWORD)->accessibleName(), QStringLiteral("Password"));
}

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
