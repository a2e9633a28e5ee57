#include "windowfixture.h"

#include "framelog.h"
#include "port.h"
#include "simulator.h"
#include "savetostore.h"
#include "trafficlogdlg.h"

#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include <pty.h>
#include <unistd.h>

using metersim::MeterKind;
using metersim::MeterSimulator;

namespace {

// The window on COM1 with a meter that answers only at its own speed, the port open or not.
struct FindBench
{
    FindBench(MeterKind kind, std::uint8_t baudCode, bool open = true)
        : meter(MeterSimulator::OnPseudoTerminal(kind))
    {
        meter->updateState([baudCode](metersim::MeterState& state) {
            state.baudCode = baudCode;
            state.address = 17;
        });
        meter->setWireTime(true);
        meter->start();
        // The window's fixed waits at a tenth: still far longer than a reply at 9600 takes.
        SetSleepScale(0.1);
        qputenv("QUORVEX_COM1", QByteArray::fromStdString(meter->devicePath()));
        window = std::make_unique<WindowFixture>();
        // The port at the meter's own speed.
        const int baudIndex = baudCode == 0x04 ? 0 : baudCode == 0x08 ? 1 : baudCode == 0x10 ? 2 : 3;
        window->select(IDC_COMBO_BAUD, baudIndex);
        if (open) {
            window->click(IDC_BTN_OPEN);
        }
    }
    ~FindBench()
    {
        window.reset();
        PortClose();
        meter->stop();
        SetSleepScale(1.0);
        qunsetenv("QUORVEX_COM1");
    }
    FindBench(const FindBench&) = delete;
    FindBench& operator=(const FindBench&) = delete;

    std::unique_ptr<MeterSimulator> meter;
    std::unique_ptr<WindowFixture> window;
};

QStringList MenuEntries(CQuorvexDlg& dlg)
{
    QStringList entries;
    QTimer::singleShot(0, [&entries] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) {
            return;
        }
        for (QAction* action : menu->actions()) {
            entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
        }
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dlg.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&dlg, &event);
    return entries;
}

} // namespace

class TestWindowTools : public QObject
{
    Q_OBJECT

private slots:
    void menuHasLogAndFindBeforeAbout();
    void everyFrameOfACommandIsLogged();
    void findsTheMeter_data();
    void findsTheMeter();
    void nothingAnswers();
    void cancelLeavesThePortAsItWas();
    void savesBothListsToAStore_data();
    void savesBothListsToAStore();
};

void TestWindowTools::menuHasLogAndFindBeforeAbout()
{
    WindowFixture f;
    f.dlg->show();
    const QStringList entries = MenuEntries(*f.dlg);
    const QStringList expected{QStringLiteral("最小化(&N)"),     QStringLiteral("关闭(&C)"),
                               QStringLiteral("-"),             QStringLiteral("通信记录(&L)..."),
                               QStringLiteral("查找电表(&F)..."), QStringLiteral("保存到数据库(&D)..."),
                               QStringLiteral("-"),             QStringLiteral("关于 Quorvex(&A)...")};
    QCOMPARE(entries, expected);
}

void TestWindowTools::everyFrameOfACommandIsLogged()
{
    FindBench bench(MeterKind::ThreePhase, 0x20);
    WindowFixture& w = *bench.window;
    w.select(IDC_COMBO_METER_TYPE, 1);
    w.click(IDC_BTN_READ_ADDRESS);
    QVERIFY(w.dlg->DecimalMode() != 0);
    w.click(IDC_BTN_READ_METER);

    const std::vector<LoggedFrame> frames = w.dlg->TrafficLog().snapshot();
    QCOMPARE(frames.size(), std::size_t{4});
    const FrameDirection directions[] = {FrameDirection::Tx, FrameDirection::Rx, FrameDirection::Tx,
                                         FrameDirection::Rx};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        QCOMPARE(frames[i].direction, directions[i]);
        QVERIFY2(frames[i].meaning.find("CRC good") != std::string::npos, frames[i].meaning.c_str());
    }
    // What the log holds is what the areas showed.
    QCOMPARE(QString::fromStdString(FormatLogHex(frames[3].bytes)), w.text(IDC_EDIT_RECV).trimmed());
    QCOMPARE(frames[3].bytes.size(), std::size_t{97});

    w.dlg->OnTrafficLog();
    QVERIFY(w.dlg->DlgTrafficLog());
    w.dlg->DlgTrafficLog()->Refresh();
    QCOMPARE(w.dlg->DlgTrafficLog()->Model()->rowCount(), 4);
}

void TestWindowTools::findsTheMeter_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("baudCode");
    QTest::addColumn<int>("baudIndex");
    QTest::addColumn<int>("typeIndex");
    QTest::addColumn<int>("decimalMode");
    // A single-phase meter's decimal mode is 1 once its address is known; a three-phase
    // meter tells its decimals (2 in the simulator) with its address.
    QTest::newRow("single phase at 9600") << int(MeterKind::SinglePhase) << 0x20 << 3 << 0 << 1;
    QTest::newRow("three phase at 4800") << int(MeterKind::ThreePhase) << 0x10 << 2 << 1 << 2;
}

void TestWindowTools::findsTheMeter()
{
    QFETCH(int, kind);
    QFETCH(int, baudCode);
    QFETCH(int, baudIndex);
    QFETCH(int, typeIndex);
    QFETCH(int, decimalMode);
    FindBench bench(MeterKind(kind), static_cast<std::uint8_t>(baudCode));
    WindowFixture& w = *bench.window;
    // Settings nobody wrote down: the window starts at 1200, odd, the other type.
    w.click(IDC_BTN_CLOSE);
    w.select(IDC_COMBO_BAUD, 0);
    w.select(IDC_COMBO_PARITY, 1);
    w.select(IDC_COMBO_METER_TYPE, 1 - typeIndex);
    w.click(IDC_BTN_OPEN);
    QVERIFY(w.dlg->PortOpenFlag());

    w.dlg->OnFindMeter();
    QCOMPARE(w.messages, QStringList());
    for (int id : {IDC_COMBO_BAUD, IDC_COMBO_METER_BAUD}) {
        QCOMPARE(w.combo(id)->currentIndex(), baudIndex);
    }
    for (int id : {IDC_COMBO_PARITY, IDC_COMBO_METER_PARITY}) {
        QCOMPARE(w.combo(id)->currentIndex(), 0); // a pseudo-terminal carries no parity
    }
    QCOMPARE(w.combo(IDC_COMBO_METER_TYPE)->currentIndex(), typeIndex);
    QCOMPARE(w.text(IDC_EDIT_ADDRESS), QStringLiteral("17"));
    QCOMPARE(w.dlg->DecimalMode(), decimalMode);
    // Reopened at the settings found: the meter answers the window's own commands.
    QVERIFY(w.dlg->PortOpenFlag());
    QVERIFY(!w.dlg->IsDlgItemEnabled(IDC_BTN_OPEN));
    w.click(IDC_BTN_READ_METER);
    QCOMPARE(w.messages, QStringList());
    const std::size_t readings = typeIndex == 0 ? w.dlg->DanDataList().size() : w.dlg->EnergyList().size();
    QCOMPARE(readings, std::size_t{1});
}

void TestWindowTools::nothingAnswers()
{
    // A line with nothing behind it: the other side of a pseudo-terminal held open, silent.
    int master = -1;
    int slave = -1;
    char name[128] = {};
    QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    qputenv("QUORVEX_COM1", name);
    {
        WindowFixture w;
        w.dlg->OnFindMeter();
        QCOMPARE(w.dlg->FindTried().size(), 12);
        QCOMPARE(w.dlg->FindTried().front(), QStringLiteral("9600 none"));
        QCOMPARE(w.dlg->FindTried().back(), QStringLiteral("1200 even"));
        QCOMPARE(w.messages.size(), 1);
        QVERIFY2(w.messages.front().startsWith(QStringLiteral("No meter answered on COM1")), qPrintable(w.messages.front()));
        QVERIFY(w.messages.front().contains(QStringLiteral("4800 odd")));
        QVERIFY(!w.dlg->PortOpenFlag());
        QCOMPARE(w.combo(IDC_COMBO_BAUD)->currentIndex(), 0);
    }
    ::close(master);
    qunsetenv("QUORVEX_COM1");
}

void TestWindowTools::cancelLeavesThePortAsItWas()
{
    // The meter listens at 1200 only, so the search is still busy when Cancel comes.
    FindBench bench(MeterKind::SinglePhase, 0x04);
    WindowFixture& w = *bench.window;
    w.click(IDC_BTN_CLOSE);
    w.select(IDC_COMBO_BAUD, 3);
    w.click(IDC_BTN_OPEN);
    QVERIFY(w.dlg->PortOpenFlag());
    const std::uint64_t seenBefore = bench.meter->requestsSeen();
    QTimer::singleShot(150, [&w] {
        QVERIFY(w.dlg->FindProgress());
        QCOMPARE(w.dlg->FindProgress()->windowTitle(), QStringLiteral("查找电表"));
        // As the operator does: the dialog's Cancel button.
        auto* cancel = w.dlg->FindProgress()->findChild<QPushButton*>();
        QVERIFY(cancel);
        cancel->click();
    });
    w.dlg->OnFindMeter();
    QCOMPARE(w.messages, QStringList());
    QVERIFY(!w.dlg->FindTried().isEmpty());
    QVERIFY(w.dlg->FindTried().size() < 12);
    QVERIFY(bench.meter->requestsSeen() > seenBefore);
    // Open again, at the settings it had, with nothing else changed.
    QVERIFY(w.dlg->PortOpenFlag());
    QVERIFY(PortIsOpen());
    QCOMPARE(w.combo(IDC_COMBO_BAUD)->currentIndex(), 3);
    QCOMPARE(w.combo(IDC_COMBO_METER_TYPE)->currentIndex(), 0);
    QCOMPARE(w.text(IDC_EDIT_ADDRESS), QString());
}


void TestWindowTools::savesBothListsToAStore_data()
{
    QTest::addColumn<int>("readings");   // read-meter presses on each meter type
    QTest::addColumn<QString>("answer"); // what the technician picks; FILE: a new file
    QTest::addColumn<QString>("message");  // the start of what the window says; empty: nothing
    QTest::addColumn<int>("stored");
    QTest::newRow("both lists") << 2 << "FILE" << "4 readings saved" << 4;
    QTest::newRow("cancelled") << 1 << "" << "" << -1;
    QTest::newRow("no readings") << 0 << "FILE" << "There are no readings" << -1;
    QTest::newRow("not a store") << 1 << "mysql://host/db" << "Nothing was saved" << -1;
}

// The readings of both lists, and nothing else, go to the store the technician picks; the
// window says how many, or why none.
void TestWindowTools::savesBothListsToAStore()
{
    QFETCH(int, readings);
    QFETCH(QString, answer);
    QFETCH(QString, message);
    QFETCH(int, stored);
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
    const QString file = dir.path() + "/bench.sqlite";
    FindBench bench(MeterKind::Both, 0x20);
    WindowFixture& w = *bench.window;
    for (const int type : {0, 1}) {
        w.select(IDC_COMBO_METER_TYPE, type);
        w.click(IDC_BTN_READ_ADDRESS);
        for (int i = 0; i < readings; ++i) {
            w.click(IDC_BTN_READ_METER);
        }
    }
    QCOMPARE(w.dlg->DanDataList().size() + w.dlg->EnergyList().size(), static_cast<qsizetype>(2 * readings));
    w.messages.clear();
    SetStoreUrlAsker([&](QWidget*, const QString&) { return answer == "FILE" ? file : answer; });
    w.dlg->OnSaveToStore();
    SetStoreUrlAsker({});
    qunsetenv("XDG_DATA_HOME");
    if (message.isEmpty()) {
        QVERIFY(w.messages.isEmpty());
    } else {
        QCOMPARE(w.messages.size(), 1);
        QVERIFY2(w.messages[0].startsWith(message), qPrintable(w.messages[0]));
    }
    if (stored < 0) {
        QVERIFY(!QFile::exists(file));
        return;
    }
    std::string error;
    const auto store = Store::Open(file.toStdString(), &error);
    QVERIFY2(store, error.c_str());
    const std::vector<StoredResult> results = store->history({});
    QCOMPARE(results.size(), std::size_t(stored));
    // Each reading as the list shows it: the single-phase ones, then the three-phase ones.
    for (std::size_t i = 0; i < results.size(); ++i) {
        const bool three = i >= std::size_t(readings);
        const StoredResult& result = results[i];
        QCOMPARE(result.command, std::string("read-meter"));
        QCOMPARE(result.properties.at(0).value, std::string(three ? "three" : "single"));
        const QString sn = three ? w.dlg->EnergyList().at(0).m_strSN : w.dlg->DanDataList().at(0).m_strSN;
        QCOMPARE(QString::fromStdString(result.serialNumber), sn);
        QCOMPARE(result.reading.size(), std::size_t(three ? 24 : 13));
        const QString volts = three ? w.dlg->EnergyList().at(0).m_strVoltageL3 : w.dlg->DanDataList().at(0).m_strVoltageL1;
        const auto field = std::find_if(result.reading.begin(), result.reading.end(), [three](const auto& f) {
            return f.first == (three ? "voltage_l3" : "voltage_l1");
        });
        QVERIFY(field != result.reading.end());
        QCOMPARE(QString::fromStdString(field->second), volts);
    }
}

QTEST_MAIN(TestWindowTools)
#include "test_windowtools.moc"
