#include "meterbench.h"

#include <QTableView>
#include <QTest>

#include <functional>

using metersim::MeterKind;
using metersim::MeterState;
using metersim::Misbehaviour;

namespace {

constexpr int kSingle = 0;
constexpr int kThree = 1;

// One setting command against a meter that answers: the request on the line, what the meter
// became, what the operator is told, and what the window did afterwards.
struct SettingCase
{
    const char* name;
    int type;
    const char* address;
    int button;
    std::function<void(WindowFixture&)> input;
    const char* sent; // the send area afterwards; null: unchanged ("untouched")
    QStringList messages;
    std::function<bool(const MeterState&)> meterAfter;
    std::function<bool(const WindowFixture&)> windowAfter;
};

const auto kNoInput = [](WindowFixture&) {};
const auto kAnyMeter = [](const MeterState&) { return true; };
const auto kAnyWindow = [](const WindowFixture&) { return true; };

const std::vector<SettingCase>& SettingCases()
{
    static const std::vector<SettingCase> cases{
        {"baud 9600, single phase", kSingle, "1", IDC_BTN_SET_BAUD,
         [](WindowFixture& w) {
             w.select(IDC_COMBO_METER_BAUD, 3);
         },
         "01 10 00 1D 00 01 02 00 20 A4 05 ", {"success!"}, [](const MeterState& m) { return m.baudCode == 0x20; },
         [](const WindowFixture& w) {
             return w.text(IDC_COMBO_BAUD) == "9600" && w.text(IDC_EDIT_RECV) == "01 10 00 1D 00 01 91 CF ";
         }},
        {"baud 2400, three phase", kThree, "1", IDC_BTN_SET_BAUD, [](WindowFixture& w) { w.select(IDC_COMBO_METER_BAUD, 1); },
         nullptr, {"success!"}, [](const MeterState& m) { return m.baudCode == 0x08; },
         [](const WindowFixture& w) { return w.text(IDC_COMBO_BAUD) == "2400"; }},
        {"address 5, single phase", kSingle, "5", IDC_BTN_SET_ADDRESS, kNoInput, "00 10 00 18 00 01 02 00 05 68 1B ",
         {"success!"}, [](const MeterState& m) { return m.address == 5; }, kAnyWindow},
        {"address 5, three phase", kThree, "5", IDC_BTN_SET_ADDRESS, kNoInput, "00 10 00 2F 00 01 02 00 05 6C 5C ",
         {"success!"}, [](const MeterState& m) { return m.address == 5; }, kAnyWindow},
        {"address 0 refused for set address", kSingle, "0", IDC_BTN_SET_ADDRESS, kNoInput, "untouched",
         {"address Between 0~255"}, [](const MeterState& m) { return m.address == 1; }, kAnyWindow},
        {"address 255 refused", kSingle, "255", IDC_BTN_SET_DISPLAY_TIME, kNoInput, "untouched",
         {"address Between 0~255"}, kAnyMeter, kAnyWindow},
        {"address -1 refused", kSingle, "-1", IDC_BTN_SET_SCREEN, kNoInput, "untouched", {"address Between 0~255"},
         kAnyMeter, kAnyWindow},
        {"address too large for an int refused", kSingle, "99999999999999999999", IDC_BTN_SET_DECIMAL, kNoInput,
         "untouched", {"address Between 0~255"}, kAnyMeter, kAnyWindow},
        {"empty address is meter 0", kSingle, "", IDC_BTN_SET_DISPLAY_TIME,
         [](WindowFixture& w) { w.select(IDC_COMBO_DISPLAY_TIME, 2); }, "00 10 00 19 00 01 02 00 03 ",
         {"success!"}, [](const MeterState& m) { return m.displayTime == 3; }, kAnyWindow},
        {"screen number 14, three phase", kThree, "1", IDC_BTN_SET_SCREEN,
         [](WindowFixture& w) { w.select(IDC_COMBO_SCREEN, 9); }, "01 10 00 30 00 01 02 00 0E ", {"success!"},
         [](const MeterState& m) { return m.screenNumber == 14; }, kAnyWindow},
        {"decimal places 2", kSingle, "1", IDC_BTN_SET_DECIMAL, [](WindowFixture& w) { w.select(IDC_COMBO_DECIMAL, 1); },
         "01 10 00 1B 00 01 02 00 02 ", {"success!"}, [](const MeterState& m) { return m.decimals == 2; },
         [](const WindowFixture& w) { return w.dlg->DecimalMode() == 2; }},
        {"serial number 12345678", kSingle, "1", IDC_BTN_SET_SN,
         [](WindowFixture& w) { w.setText(IDC_EDIT_SN, "87654321"); }, "01 10 00 14 00 02 04 87 65 43 21 ",
         {"success!"},
         [](const MeterState& m) { return m.serialNumber == std::array<std::uint8_t, 4>{0x87, 0x65, 0x43, 0x21}; },
         kAnyWindow},
        {"short serial number overlaps", kThree, "1", IDC_BTN_SET_SN,
         [](WindowFixture& w) { w.setText(IDC_EDIT_SN, "123"); }, "01 10 00 33 00 02 04 12 30 00 23 ", {"success!"},
         [](const MeterState& m) { return m.serialNumber == std::array<std::uint8_t, 4>{0x12, 0x30, 0x00, 0x23}; },
         kAnyWindow},
        {"password 1234, three phase", kThree, "1", IDC_BTN_SET_PASSWORD,
         [](WindowFixture& w) { w.setText(IDC_EDIT_PASSWORD, "1234"); }, "01 10 00 46 00 01 02 12 34 ", {"success!"},
         [](const MeterState& m) { return m.password == std::array<std::uint8_t, 2>{0x12, 0x34}; }, kAnyWindow},
        {"password with a letter", kThree, "1", IDC_BTN_SET_PASSWORD,
         [](WindowFixture& w) { w.setText(IDC_EDIT_PASSWORD, "12a4"); }, "01 10 00 46 00 01 02 12 04 ", {"success!"},
         [](const MeterState& m) { return m.password == std::array<std::uint8_t, 2>{0x12, 0x04}; }, kAnyWindow},
        {"password of three characters", kSingle, "1", IDC_BTN_SET_PASSWORD,
         [](WindowFixture& w) { w.setText(IDC_EDIT_PASSWORD, "123"); }, "untouched", {"length is 4"}, kAnyMeter,
         kAnyWindow},
        {"password of four Chinese characters counts four", kSingle, "1", IDC_BTN_SET_PASSWORD,
         [](WindowFixture& w) { w.setText(IDC_EDIT_PASSWORD, "密码密码"); }, "untouched",
         {"single is not password"}, kAnyMeter, kAnyWindow},
        {"password on a single-phase meter", kSingle, "1", IDC_BTN_SET_PASSWORD,
         [](WindowFixture& w) { w.setText(IDC_EDIT_PASSWORD, "1234"); }, "untouched", {"single is not password"},
         kAnyMeter, kAnyWindow},
        {"CT ratio 100, three phase", kThree, "1", IDC_BTN_SET_CT,
         [](WindowFixture& w) { w.select(IDC_COMBO_CT_RATIO, 17); }, "01 10 00 44 00 01 02 00 64 ", {"success!"},
         [](const MeterState& m) { return m.ctRatio == 100; }, kAnyWindow},
        {"CT ratio on a single-phase meter", kSingle, "1", IDC_BTN_SET_CT, kNoInput, "untouched",
         {"single is not set ct"}, [](const MeterState& m) { return m.ctRatio == 1; }, kAnyWindow},
        {"parity even", kSingle, "1", IDC_BTN_SET_PARITY, [](WindowFixture& w) { w.select(IDC_COMBO_METER_PARITY, 2); },
         "01 10 00 50 00 01 02 00 00 ", {"success!"}, [](const MeterState& m) { return m.parityCode == 0; },
         [](const WindowFixture& w) { return w.text(IDC_COMBO_PARITY) == "Even check"; }},
        {"parity odd, three phase", kThree, "1", IDC_BTN_SET_PARITY,
         [](WindowFixture& w) { w.select(IDC_COMBO_METER_PARITY, 1); }, "01 10 00 50 00 01 02 00 01 ", {"success!"},
         [](const MeterState& m) { return m.parityCode == 1; },
         [](const WindowFixture& w) { return w.text(IDC_COMBO_PARITY) == "Odd check"; }},
        {"clear zero", kSingle, "", IDC_BTN_CLEAR_ZERO, kNoInput,
         "68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 16 ", {"clear zero success"},
         [](const MeterState& m) { return m.activeEnergy == 0 && m.positiveEnergy == 0; }, kAnyWindow},
        {"clear zero with address 300", kThree, "300", IDC_BTN_CLEAR_ZERO, kNoInput, "untouched",
         {"address Between 0~255"}, [](const MeterState& m) { return m.activeEnergy != 0; }, kAnyWindow},
    };
    return cases;
}

// The single-phase reading of the simulator's default state, as the window shows it.
struct Shown
{
    int edit;
    const char* text;
};

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void settings_data();
    void settings();
    void readAddress_data();
    void readAddress();
    void propertyReads_data();
    void propertyReads();
    void readsOfValuesNotListedChangeNothing();
    void clearZeroRefusedByTheMeterIsNoSuccess();
    void readMeterSinglePhase();
    void readMeterThreePhase();
    void readMeterWithUnknownDecimalsSkipsTheEnergies();
    void readingsPileUpUntilClose();
    void realWaits();
};

void TestCommands::settings_data()
{
    QTest::addColumn<int>("row");
    for (std::size_t i = 0; i < SettingCases().size(); ++i) {
        QTest::newRow(SettingCases()[i].name) << int(i);
    }
}

void TestCommands::settings()
{
    QFETCH(int, row);
    const SettingCase& c = SettingCases()[std::size_t(row)];
    MeterBench bench;
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_METER_TYPE, c.type);
    w.setText(IDC_EDIT_ADDRESS, QString::fromUtf8(c.address));
    w.setText(IDC_EDIT_SEND, QStringLiteral("untouched"));
    c.input(w);
    w.click(c.button);
    if (c.sent) {
        QVERIFY2(w.text(IDC_EDIT_SEND).startsWith(QString::fromUtf8(c.sent)), qPrintable(w.text(IDC_EDIT_SEND)));
    }
    QCOMPARE(w.messages, c.messages);
    QVERIFY(c.meterAfter(bench.state()));
    QVERIFY(c.windowAfter(w));
}

void TestCommands::readAddress_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<int>("decimalMode");
    QTest::newRow("single phase") << kSingle << "00 04 00 18 00 01 B0 1C " << 1;
    QTest::newRow("three phase") << kThree << "00 04 00 2F 00 06 40 10 " << 2;
}

void TestCommands::readAddress()
{
    QFETCH(int, type);
    MeterBench bench;
    bench.meter->updateState([](MeterState& m) { m.address = 37; });
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_METER_TYPE, type);
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("junk"));
    w.click(IDC_BTN_READ_ADDRESS);
    QTEST(w.text(IDC_EDIT_SEND), "sent");
    QVERIFY(w.messages.isEmpty());
    QCOMPARE(w.text(IDC_EDIT_ADDRESS), QStringLiteral("37"));
    QTEST(w.dlg->DecimalMode(), "decimalMode");
    if (type == kSingle) {
        QCOMPARE(w.dlg->CurDanData().m_strAddress, QStringLiteral("37"));
        QVERIFY(w.dlg->CurEnergy().m_strAddress.isEmpty());
    } else {
        QCOMPARE(w.dlg->CurEnergy().m_strAddress, QStringLiteral("37"));
        QCOMPARE(w.dlg->CurEnergy().m_strSN, QStringLiteral("12345678"));
        QCOMPARE(w.text(IDC_COMBO_DECIMAL), QStringLiteral("2"));
        QVERIFY(w.text(IDC_EDIT_SN).isEmpty());
    }
}

void TestCommands::propertyReads_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("control");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("sent");
    QTest::newRow("serial number") << kSingle << int(IDC_BTN_READ_SN) << int(IDC_EDIT_SN) << "12345678"
                                   << "00 04 00 14 00 02 ";
    QTest::newRow("screen number") << kThree << int(IDC_BTN_READ_SCREEN) << int(IDC_COMBO_SCREEN) << "6"
                                   << "00 04 00 30 00 01 ";
    QTest::newRow("display time") << kSingle << int(IDC_BTN_READ_DISPLAY_TIME) << int(IDC_COMBO_DISPLAY_TIME)
                                  << "5" << "00 04 00 19 00 01 ";
    QTest::newRow("baud rate, port list") << kSingle << int(IDC_BTN_READ_BAUD) << int(IDC_COMBO_BAUD) << "9600"
                                          << "00 04 00 1D 00 01 ";
    QTest::newRow("baud rate, meter list") << kThree << int(IDC_BTN_READ_BAUD) << int(IDC_COMBO_METER_BAUD)
                                           << "9600" << "00 04 00 2E 00 01 ";
    QTest::newRow("parity, port list") << kSingle << int(IDC_BTN_READ_PARITY) << int(IDC_COMBO_PARITY)
                                       << "Odd check" << "00 04 00 50 00 01 ";
    QTest::newRow("parity, meter list") << kThree << int(IDC_BTN_READ_PARITY) << int(IDC_COMBO_METER_PARITY)
                                        << "Odd check" << "00 04 00 50 00 01 ";
    QTest::newRow("CT ratio") << kThree << int(IDC_BTN_READ_CT) << int(IDC_COMBO_CT_RATIO) << "190"
                              << "00 04 00 44 00 01 ";
    QTest::newRow("decimal places") << kSingle << int(IDC_BTN_READ_DECIMAL) << int(IDC_COMBO_DECIMAL) << "2"
                                    << "00 04 00 1B 00 01 ";
}

void TestCommands::propertyReads()
{
    QFETCH(int, type);
    QFETCH(int, button);
    QFETCH(int, control);
    MeterBench bench;
    bench.meter->updateState([](MeterState& m) {
        m.parityCode = 1;
        m.ctRatio = 190;
    });
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_METER_TYPE, type);
    w.click(button);
    QVERIFY(w.messages.isEmpty());
    QFETCH(QString, sent);
    QVERIFY2(w.text(IDC_EDIT_SEND).startsWith(sent), qPrintable(w.text(IDC_EDIT_SEND)));
    QVERIFY(!w.text(IDC_EDIT_RECV).isEmpty());
    QTEST(w.text(control), "shown");
    if (button == IDC_BTN_READ_SN) {
        QCOMPARE(w.dlg->CurDanData().m_strSN, QStringLiteral("12345678"));
    }
    if (button == IDC_BTN_READ_DECIMAL) {
        QCOMPARE(w.dlg->DecimalMode(), 2);
    }
}

void TestCommands::readsOfValuesNotListedChangeNothing()
{
    MeterBench bench;
    bench.meter->updateState([](MeterState& m) {
        m.screenNumber = 5;
        m.baudCode = 0x40;
        m.ctRatio = 7;
        m.decimals = 3;
    });
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_METER_TYPE, kThree);
    w.select(IDC_COMBO_DECIMAL, 1);
    for (int button : {IDC_BTN_READ_SCREEN, IDC_BTN_READ_BAUD, IDC_BTN_READ_CT, IDC_BTN_READ_DECIMAL}) {
        w.click(button);
    }
    QCOMPARE(w.text(IDC_COMBO_SCREEN), QStringLiteral("3"));
    QCOMPARE(w.text(IDC_COMBO_BAUD), QStringLiteral("1200"));
    QCOMPARE(w.text(IDC_COMBO_CT_RATIO), QStringLiteral("1"));
    QCOMPARE(w.text(IDC_COMBO_DECIMAL), QStringLiteral("2"));
    QCOMPARE(w.dlg->DecimalMode(), 0);
    QVERIFY(w.messages.isEmpty());

    // A single-phase meter has no CT ratio or password to read.
    w.select(IDC_COMBO_METER_TYPE, kSingle);
    w.setText(IDC_EDIT_SEND, QStringLiteral("old"));
    w.click(IDC_BTN_READ_CT);
    QCOMPARE(w.messages, QStringList{"single is not read"});
    QCOMPARE(w.text(IDC_EDIT_SEND), QStringLiteral("old"));
}

void TestCommands::clearZeroRefusedByTheMeterIsNoSuccess()
{
    // A meter that wants another password answers with an abnormal reply (control code with
    // bit 6 set). It still starts with 0xFE and ends with 0x16, but it is no success.
    MeterBench bench;
    bench.meter->updateState([](MeterState& m) { m.clearPassword = {0x02, 0x12, 0x34, 0x56}; });
    WindowFixture& w = bench.w();
    w.setText(IDC_EDIT_RECV, QStringLiteral("old"));
    w.click(IDC_BTN_CLEAR_ZERO);
    QVERIFY(bench.meter->waitForReplies(1, std::chrono::milliseconds(2000)));
    QVERIFY(w.messages.isEmpty());
    QCOMPARE(w.text(IDC_EDIT_RECV), QStringLiteral("old"));
    QVERIFY(bench.state().activeEnergy != 0);
}

void TestCommands::readMeterSinglePhase()
{
    MeterBench bench;
    WindowFixture& w = bench.w();
    w.click(IDC_BTN_READ_ADDRESS);
    w.click(IDC_BTN_READ_METER);
    QCOMPARE(w.text(IDC_EDIT_SEND), QStringLiteral("00 04 00 00 00 1D 31 D2 "));
    QVERIFY(w.messages.isEmpty());
    QCOMPARE(w.dlg->RecvCount(), 63);
    QCOMPARE(w.text(IDC_EDIT_RECV).size(), 63 * 3);
    // The meter keeps two decimals: register 27 moves the window to mode 2.
    QCOMPARE(w.dlg->DecimalMode(), 2);
    QCOMPARE(w.text(IDC_COMBO_DECIMAL), QStringLiteral("2"));
    const Shown shown[] = {
        {IDC_EDIT_SP_ACTIVE_KWH, "1234.56"}, {IDC_EDIT_SP_VOLTAGE_L1, "230"},  {IDC_EDIT_SP_CURRENT_L1, "5"},
        {IDC_EDIT_SP_ACTIVE_POWER, "1127"},   {IDC_EDIT_SP_PF, "0.980"},         {IDC_EDIT_SP_FREQUENCY, "50"},
        {IDC_EDIT_SP_CONSTANT, "1600"},       {IDC_EDIT_SP_TARIFF, "1"},
    };
    for (const Shown& s : shown) {
        QCOMPARE(w.text(s.edit), QString::fromUtf8(s.text));
    }
    QCOMPARE(w.dlg->DanDataList().size(), 1);
    const CDanData& record = w.dlg->DanDataList().front();
    QCOMPARE(record.m_strAddress, QStringLiteral("1"));
    QCOMPARE(record.m_strSN, QStringLiteral("12345678"));
    QCOMPARE(record.m_strVoltageL1, QStringLiteral("230"));
    QCOMPARE(record.m_strPositiveKWh, w.text(IDC_EDIT_SP_POSITIVE_KWH));
    QVERIFY(!record.m_strApparentPower.isEmpty());
    QVERIFY(w.debugLines.contains(QStringLiteral("收到的数据长度：63")));
    QVERIFY(w.debugLines.filter(QStringLiteral("crc:")).size() == 1);
}

void TestCommands::readMeterThreePhase()
{
    MeterBench bench;
    bench.meter->updateState([](MeterState& m) {
        m.powerFactor[0] = -866;
        m.decimals = 1;
    });
    WindowFixture& w = bench.w();
    bench.useThreePhase();
    w.click(IDC_BTN_READ_ADDRESS);
    QCOMPARE(w.dlg->DecimalMode(), 1);
    w.click(IDC_BTN_READ_METER);
    QCOMPARE(w.text(IDC_EDIT_SEND), QStringLiteral("00 04 00 00 00 2E 71 C7 "));
    QCOMPARE(w.dlg->RecvCount(), 97);
    QCOMPARE(w.text(IDC_EDIT_TP_VOLTAGE_L1), QStringLiteral("230"));
    QCOMPARE(w.text(IDC_EDIT_TP_PF_L1), QStringLiteral("-0.866"));
    QCOMPARE(w.text(IDC_EDIT_TP_FREQUENCY), QStringLiteral("50"));
    QCOMPARE(w.text(IDC_EDIT_TP_ACTIVE_KWH), QStringLiteral("1234.5"));
    QCOMPARE(w.dlg->EnergyList().size(), 1);
    QCOMPARE(w.dlg->EnergyList().front().m_strSN, QStringLiteral("12345678"));
    QCOMPARE(w.dlg->EnergyList().front().m_strPowerFactorL1, QStringLiteral("-0.866"));
    QVERIFY(w.dlg->DanDataList().isEmpty());
}

void TestCommands::readMeterWithUnknownDecimalsSkipsTheEnergies()
{
    MeterBench bench;
    WindowFixture& w = bench.w();
    w.click(IDC_BTN_READ_ADDRESS);
    w.setText(IDC_EDIT_SP_ACTIVE_KWH, QStringLiteral("old"));
    bench.meter->updateState([](MeterState& m) { m.decimals = 3; });
    w.click(IDC_BTN_READ_METER);
    QCOMPARE(w.dlg->DecimalMode(), 0);
    QCOMPARE(w.text(IDC_EDIT_SP_ACTIVE_KWH), QStringLiteral("old"));
    QCOMPARE(w.text(IDC_EDIT_SP_VOLTAGE_L1), QStringLiteral("230"));
    QCOMPARE(w.dlg->DanDataList().size(), 1);
    w.click(IDC_BTN_READ_METER);
    QCOMPARE(w.messages, QStringList{"first Read address"});
}

void TestCommands::readingsPileUpUntilClose()
{
    MeterBench bench;
    WindowFixture& w = bench.w();
    w.click(IDC_BTN_READ_ADDRESS);
    for (int i = 0; i < 3; ++i) {
        w.click(IDC_BTN_READ_METER);
    }
    QCOMPARE(w.dlg->DanDataList().size(), 3);
    // The energies grow between readings; each record keeps its own.
    QVERIFY(w.dlg->DanDataList()[0].m_strActiveKWh != w.dlg->DanDataList()[2].m_strActiveKWh);

    w.click(IDC_BTN_VIEW_SP);
    w.click(IDC_BTN_VIEW_SP);
    QTableView* view = w.dlg->DlgDanData()->List();
    QVERIFY(w.dlg->DlgDanData()->isVisible());
    QCOMPARE(view->model()->rowCount(), 3);
    QCOMPARE(view->model()->columnCount(), 15);
    QCOMPARE(view->model()->index(2, 0).data().toString(), QStringLiteral("3"));

    // Deleting the shown values leaves the readings alone.
    w.click(IDC_BTN_DELETE_SP);
    w.dlg->DlgDanData()->close();
    w.click(IDC_BTN_VIEW_SP);
    QCOMPARE(view->model()->rowCount(), 3);

    w.click(IDC_BTN_CLOSE);
    QVERIFY(w.dlg->DanDataList().isEmpty());
    QCOMPARE(view->model()->rowCount(), 3); // not told until the next view
    w.click(IDC_BTN_VIEW_SP);
    QCOMPARE(view->model()->rowCount(), 0);
    w.click(IDC_BTN_VIEW_TP);
    QCOMPARE(w.dlg->DlgEnergyData()->List()->model()->rowCount(), 0);

    // Reopened: the address read before still goes into the new first reading.
    w.click(IDC_BTN_OPEN);
    w.click(IDC_BTN_READ_METER);
    QCOMPARE(w.messages, QStringList{"first Read address"});
    w.click(IDC_BTN_READ_DECIMAL);
    w.click(IDC_BTN_READ_METER);
    QCOMPARE(w.dlg->DanDataList().size(), 1);
    QCOMPARE(w.dlg->DanDataList().front().m_strAddress, QStringLiteral("1"));
}

void TestCommands::realWaits()
{
    // One command of each kind at the real waits, timed: the meter is answered in time, and
    // the window did wait as long as each command asks.
    MeterBench bench(MeterKind::Both, Waits::Real);
    WindowFixture& w = bench.w();
    QElapsedTimer timer;
    const auto run = [&](int button) {
        timer.restart();
        w.click(button);
        return timer.elapsed();
    };
    const qint64 read = run(IDC_BTN_READ_BAUD);
    QCOMPARE(w.text(IDC_COMBO_BAUD), QStringLiteral("9600"));
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    w.select(IDC_COMBO_DECIMAL, 1);
    const qint64 setting = run(IDC_BTN_SET_DECIMAL);
    const qint64 clear = run(IDC_BTN_CLEAR_ZERO);
    const qint64 readMeter = run(IDC_BTN_READ_METER);
    QCOMPARE(w.messages, (QStringList{"success!", "clear zero success"}));
    QCOMPARE(w.dlg->DanDataList().size(), 1);
    QCOMPARE(w.text(IDC_EDIT_SP_ACTIVE_KWH), QStringLiteral("0"));
    QVERIFY2(read >= 200 && setting >= 300 && clear >= 800 && readMeter >= 2500,
             qPrintable(QStringLiteral("%1, %2, %3 and %4 ms").arg(read).arg(setting).arg(clear).arg(readMeter)));
}

QTEST_MAIN(TestCommands)
#include "test_commands.moc"
