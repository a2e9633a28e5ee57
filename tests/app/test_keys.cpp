// Keys on the real main window: Enter never ends it, wherever the focus is; a focused button
// takes Enter as a click; Esc and the close box still end it.

#include "windowfixture.h"

#include <QAbstractItemView>
#include <QTest>

class TestKeys : public QObject
{
    Q_OBJECT

private slots:
    void enterKeepsTheWindowOpen_data();
    void enterKeepsTheWindowOpen();
    void enterPressesTheFocusedButton();
    void escAndTheCloseBoxStillEndIt_data();
    void escAndTheCloseBoxStillEndIt();
};

void TestKeys::enterKeepsTheWindowOpen_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("key");
    const QList<QPair<const char*, int>> controls{
        {"address edit", IDC_EDIT_ADDRESS},        {"serial-number edit", IDC_EDIT_SN},
        {"password edit", IDC_EDIT_PASSWORD},      {"COM list", IDC_COMBO_COM},
        {"meter type list", IDC_COMBO_METER_TYPE}, {"send area", IDC_EDIT_SEND},
        {"receive area", IDC_EDIT_RECV},
    };
    for (const auto& [name, id] : controls) {
        QTest::addRow("%s, Return", name) << id << int(Qt::Key_Return);
        QTest::addRow("%s, keypad Enter", name) << id << int(Qt::Key_Enter);
    }
}

void TestKeys::enterKeepsTheWindowOpen()
{
    QFETCH(int, id);
    QFETCH(int, key);
    WindowFixture f;
    f.dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dlg.get()));
    f.setText(IDC_EDIT_ADDRESS, QStringLiteral("12"));
    QWidget* control = f.dlg->GetDlgItem(id);
    control->setFocus();
    QVERIFY(control->hasFocus());
    QTest::keyClick(control, Qt::Key(key));
    QVERIFY(f.dlg->isVisible());
    QCOMPARE(f.dlg->result(), 0);
    // Nothing else happened either: no request, no message, the list closed.
    QCOMPARE(f.text(IDC_EDIT_SEND), QString());
    QVERIFY(f.messages.isEmpty());
    QCOMPARE(f.text(IDC_EDIT_ADDRESS), QStringLiteral("12"));
    if (auto* list = qobject_cast<QComboBox*>(control)) {
        QVERIFY(!list->view()->isVisible());
    }
}

void TestKeys::enterPressesTheFocusedButton()
{
    WindowFixture f;
    f.dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dlg.get()));
    f.setText(IDC_EDIT_SEND, QStringLiteral("01 02 "));
    QWidget* clearSend = f.dlg->GetDlgItem(IDC_BTN_CLEAR_SEND);
    clearSend->setFocus();
    QTest::keyClick(clearSend, Qt::Key_Return);
    QCOMPARE(f.text(IDC_EDIT_SEND), QString());
    QVERIFY(f.dlg->isVisible());
}

void TestKeys::escAndTheCloseBoxStillEndIt_data()
{
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Esc") << false;
    QTest::newRow("close box") << true;
}

void TestKeys::escAndTheCloseBoxStillEndIt()
{
    QFETCH(bool, closeBox);
    WindowFixture f;
    f.dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dlg.get()));
    QWidget* address = f.dlg->GetDlgItem(IDC_EDIT_ADDRESS);
    address->setFocus();
    if (closeBox) {
        f.dlg->close();
    } else {
        QTest::keyClick(address, Qt::Key_Escape);
    }
    QVERIFY(!f.dlg->isVisible());
    QCOMPARE(f.dlg->result(), int(QDialog::Rejected));
}

QTEST_MAIN(TestKeys)
#include "test_keys.moc"
