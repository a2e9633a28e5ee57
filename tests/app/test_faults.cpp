#include "meterbench.h"

#include "answer.h"

#include <QMap>
#include <QTest>

#include <array>
#include <functional>
#include <span>
#include <vector>

using metersim::MeterKind;
using metersim::MeterSimulator;
using metersim::MeterState;
using metersim::Misbehaviour;

// Every meter command against every way a meter or its line lets the window down. What the
// window must do follows from the kind of fault and the kind of command, so the rows are
// generated from two lists and one rule.
namespace {

constexpr int kSingle = 0;
constexpr int kThree = 1;
// What read meter gathers from each meter type before it looks at the reply.
constexpr qsizetype kReadMeterReply[] = {63, 97};
// The pieces of a split reply follow each other this closely: well within every wait.
constexpr int kSplitGapMs = 5;
// A late reply or piece comes this long after the wait it misses.
constexpr int kMarginMs = 1000;

QString HexText(const QByteArray& bytes)
{
    return bytes.isEmpty() ? QString() : QString::fromLatin1(bytes.toHex(' ').toUpper() + ' ');
}

enum class Kind
{
    Setting,
    ClearZero,
    Read,
    ReadMeter,
};

// How a command tells the operator that its request could not be written.
enum class ShortWrite
{
    MessageBox,
    Debug,
    Silent,
};

using Input = std::function<bool(WindowFixture&, MeterSimulator&)>;

// One command as the operator gives it: its inputs, the request it must send, and what a
// good reply does to the window and to the meter.
struct Command
{
    const char* name;
    Kind kind;
    int type;
    int button;
    unsigned waitMs; // the first wait after the request
    ShortWrite shortWrite;
    Input input; // false when a read the row needs beforehand went unanswered
    QByteArray request;
    QList<int> mayChange; // snapshot entries a good reply may change
    std::function<bool(const WindowFixture&, const MeterState&)> good;
};

// Everything a command may touch apart from the two traffic areas: the inputs and value
// edits by control id, and beside them the decimal mode and the records with their readings.
using Snapshot = QMap<int, QString>;
constexpr int kDecimalMode = -1;
constexpr int kDanRecords = -2;
constexpr int kEnergyRecords = -3;

template <class Record, std::size_t N, class List>
QString RecordText(const Record& record, const std::array<RecordColumn<Record>, N>& columns,
                   const List& readings)
{
    QStringList fields;
    for (const RecordColumn<Record>& column : columns) {
        fields << record.*(column.field);
    }
    return fields.join(QLatin1Char('|')) + QStringLiteral(" (%1 readings)").arg(readings.size());
}

Snapshot Take(const WindowFixture& w)
{
    Snapshot shot;
    for (const ControlTemplate& control : w.dlg->Template().controls) {
        const bool input =
            control.kind == ControlKind::Edit || control.kind == ControlKind::ComboBox;
        if (input && control.id != IDC_EDIT_SEND && control.id != IDC_EDIT_RECV) {
            shot[control.id] = w.text(control.id);
        }
    }
    shot[kDecimalMode] = QString::number(w.dlg->DecimalMode());
    shot[kDanRecords] = RecordText(w.dlg->CurDanData(), kDanDataColumns, w.dlg->DanDataList());
    shot[kEnergyRecords] = RecordText(w.dlg->CurEnergy(), kEnergyColumns, w.dlg->EnergyList());
    return shot;
}

// The entries that changed, but for those allowed to, each told as it changed.
QStringList Changed(const Snapshot& before, const Snapshot& after, const QList<int>& allowed = {})
{
    QStringList changes;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (after.value(it.key()) != it.value() && !allowed.contains(it.key())) {
            changes << QStringLiteral("%1: \"%2\" became \"%3\"")
                           .arg(QString::number(it.key()), it.value(), after.value(it.key()));
        }
    }
    return changes;
}

// A meter whose every setting differs from what a fresh window shows, so that a read that
// took effect can be told from one that did not.
const MeterState kDistinctMeter{.address = 37,
                                .baudCode = 0x10,
                                .parityCode = 0,
                                .displayTime = 3,
                                .screenNumber = 8,
                                .decimals = 2,
                                .serialNumber = {0x87, 0x65, 0x43, 0x21},
                                .password = {0x12, 0x34},
                                .ctRatio = 30};

// The window knows the meter keeps one decimal, and the meter then goes to two: a read that
// took effect moves the window to two, one that went wrong must leave it at one.
bool KnowOneDecimal(WindowFixture& w, MeterSimulator& meter)
{
    meter.updateState([](MeterState& m) { m.decimals = 1; });
    w.click(IDC_BTN_READ_DECIMAL);
    meter.updateState([](MeterState& m) { m.decimals = 2; });
    return w.dlg->DecimalMode() == 1 && w.text(IDC_COMBO_DECIMAL) == "1";
}

// Puts a value into an input the way the operator would: picks it from a list, types it
// into an edit. A value the list lacks shows in the request.
Input Put(int id, const char* value)
{
    return [=](WindowFixture& w, MeterSimulator&) {
        if (QComboBox* list = w.dlg->DlgItem<QComboBox>(id)) {
            list->setCurrentIndex(list->findText(QString::fromUtf8(value)));
        } else {
            w.setText(id, QString::fromUtf8(value));
        }
        return true;
    };
}

const Input kNoInput = [](WindowFixture&, MeterSimulator&) { return true; };

const std::vector<Command>& Commands()
{
    // clang-format off
    static const std::vector<Command> commands{
        // Settings, all to meter 37 (0x25) but set address, which goes to every meter.
        {"set baud", Kind::Setting, kSingle, IDC_BTN_SET_BAUD, 300, ShortWrite::Debug, Put(IDC_COMBO_METER_BAUD, "4800"),
         QByteArray::fromHex("25 10 00 1D 00 01 02 00 10 0F 10"), {IDC_COMBO_BAUD},
         [](const auto& w, const auto& m) { return m.baudCode == 0x10 && w.text(IDC_COMBO_BAUD) == "4800"; }},
        {"set address", Kind::Setting, kThree, IDC_BTN_SET_ADDRESS, 300, ShortWrite::MessageBox,
         Put(IDC_EDIT_ADDRESS, "5"), QByteArray::fromHex("00 10 00 2F 00 01 02 00 05 6C 5C"), {},
         [](const auto&, const auto& m) { return m.address == 5; }},
        {"set display time", Kind::Setting, kSingle, IDC_BTN_SET_DISPLAY_TIME, 300, ShortWrite::MessageBox,
         Put(IDC_COMBO_DISPLAY_TIME, "2"), QByteArray::fromHex("25 10 00 19 00 01 02 00 02 8E 99"), {},
         [](const auto&, const auto& m) { return m.displayTime == 2; }},
        {"set screen number", Kind::Setting, kThree, IDC_BTN_SET_SCREEN, 300, ShortWrite::Debug,
         Put(IDC_COMBO_SCREEN, "14"), QByteArray::fromHex("25 10 00 30 00 01 02 00 0E 89 65"), {},
         [](const auto&, const auto& m) { return m.screenNumber == 14; }},
        {"set decimal", Kind::Setting, kSingle, IDC_BTN_SET_DECIMAL, 300, ShortWrite::MessageBox,
         Put(IDC_COMBO_DECIMAL, "1"), QByteArray::fromHex("25 10 00 1B 00 01 02 00 01 CF 7A"), {kDecimalMode},
         [](const auto& w, const auto& m) { return m.decimals == 1 && w.dlg->DecimalMode() == 1; }},
        {"set serial number", Kind::Setting, kThree, IDC_BTN_SET_SN, 400, ShortWrite::MessageBox,
         Put(IDC_EDIT_SN, "24681357"), QByteArray::fromHex("25 10 00 33 00 02 04 24 68 13 57 C9 BC"), {},
         [](const auto&, const auto& m) { return m.serialNumber == std::array<std::uint8_t, 4>{0x24, 0x68, 0x13, 0x57}; }},
        {"set password", Kind::Setting, kThree, IDC_BTN_SET_PASSWORD, 500, ShortWrite::Debug,
         Put(IDC_EDIT_PASSWORD, "4321"), QByteArray::fromHex("25 10 00 46 00 01 02 43 21 F2 DF"), {},
         [](const auto&, const auto& m) { return m.password == std::array<std::uint8_t, 2>{0x43, 0x21}; }},
        {"set CT ratio", Kind::Setting, kThree, IDC_BTN_SET_CT, 300, ShortWrite::MessageBox,
         Put(IDC_COMBO_CT_RATIO, "100"), QByteArray::fromHex("25 10 00 44 00 01 02 00 64 03 FE"), {},
         [](const auto&, const auto& m) { return m.ctRatio == 100; }},
        {"set parity", Kind::Setting, kSingle, IDC_BTN_SET_PARITY, 300, ShortWrite::Debug,
         Put(IDC_COMBO_METER_PARITY, "Odd check"), QByteArray::fromHex("25 10 00 50 00 01 02 00 01 C0 C1"), {IDC_COMBO_PARITY},
         [](const auto& w, const auto& m) { return m.parityCode == 1 && w.text(IDC_COMBO_PARITY) == "Odd check"; }},
        {"clear zero", Kind::ClearZero, kSingle, IDC_BTN_CLEAR_ZERO, 800, ShortWrite::Debug, kNoInput,
         QByteArray::fromHex("68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 16"), {},
         [](const auto&, const auto& m) { return m.activeEnergy == 0 && m.positiveEnergy == 0; }},

        // Property reads, all to address 0.
        {"read address", Kind::Read, kThree, IDC_BTN_READ_ADDRESS, 1200, ShortWrite::MessageBox,
         [](WindowFixture& w, MeterSimulator& meter) {
             w.setText(IDC_EDIT_ADDRESS, QStringLiteral("9"));
             return KnowOneDecimal(w, meter);
         }, QByteArray::fromHex("00 04 00 2F 00 06 40 10"),
         {IDC_EDIT_ADDRESS, kDecimalMode, IDC_COMBO_DECIMAL, kEnergyRecords},
         [](const auto& w, const auto&) {
             return w.text(IDC_EDIT_ADDRESS) == "37" && w.dlg->DecimalMode() == 2 && w.text(IDC_COMBO_DECIMAL) == "2" &&
                    w.dlg->CurEnergy().m_strAddress == "37" && w.dlg->CurEnergy().m_strSN == "87654321";
         }},
        {"read serial number", Kind::Read, kSingle, IDC_BTN_READ_SN, 800, ShortWrite::MessageBox, kNoInput,
         QByteArray::fromHex("00 04 00 14 00 02 30 1E"), {IDC_EDIT_SN, kDanRecords},
         [](const auto& w, const auto&) {
             return w.text(IDC_EDIT_SN) == "87654321" && w.dlg->CurDanData().m_strSN == "87654321";
         }},
        {"read screen number", Kind::Read, kThree, IDC_BTN_READ_SCREEN, 300, ShortWrite::MessageBox, kNoInput,
         QByteArray::fromHex("00 04 00 30 00 01 30 14"), {IDC_COMBO_SCREEN},
         [](const auto& w, const auto&) { return w.text(IDC_COMBO_SCREEN) == "8"; }},
        {"read decimal", Kind::Read, kSingle, IDC_BTN_READ_DECIMAL, 800, ShortWrite::MessageBox, KnowOneDecimal,
         QByteArray::fromHex("00 04 00 1B 00 01 40 1C"), {kDecimalMode, IDC_COMBO_DECIMAL},
         [](const auto& w, const auto&) { return w.dlg->DecimalMode() == 2 && w.text(IDC_COMBO_DECIMAL) == "2"; }},
        {"read display time", Kind::Read, kSingle, IDC_BTN_READ_DISPLAY_TIME, 800, ShortWrite::MessageBox, kNoInput,
         QByteArray::fromHex("00 04 00 19 00 01 E1 DC"), {IDC_COMBO_DISPLAY_TIME},
         [](const auto& w, const auto&) { return w.text(IDC_COMBO_DISPLAY_TIME) == "3"; }},
        {"read baud", Kind::Read, kThree, IDC_BTN_READ_BAUD, 200, ShortWrite::Silent, kNoInput,
         QByteArray::fromHex("00 04 00 2E 00 01 50 12"), {IDC_COMBO_BAUD, IDC_COMBO_METER_BAUD},
         [](const auto& w, const auto&) {
             return w.text(IDC_COMBO_BAUD) == "4800" && w.text(IDC_COMBO_METER_BAUD) == "4800";
         }},
        {"read password", Kind::Read, kThree, IDC_BTN_READ_PASSWORD, 500, ShortWrite::Silent, kNoInput,
         QByteArray::fromHex("00 04 00 46 00 01 D1 CE"), {IDC_EDIT_PASSWORD},
         [](const auto& w, const auto&) { return w.text(IDC_EDIT_PASSWORD) == "1234"; }},
        {"read CT ratio", Kind::Read, kThree, IDC_BTN_READ_CT, 800, ShortWrite::MessageBox, kNoInput,
         QByteArray::fromHex("00 04 00 44 00 01 70 0E"), {IDC_COMBO_CT_RATIO},
         [](const auto& w, const auto&) { return w.text(IDC_COMBO_CT_RATIO) == "30"; }},
        // Neither "None check" (code 2, an exception's code) nor "Even check" (code 0, zero
        // padding) beforehand: a value taken from either must show.
        {"read parity", Kind::Read, kSingle, IDC_BTN_READ_PARITY, 200, ShortWrite::Silent,
         [](WindowFixture& w, MeterSimulator&) {
             w.select(IDC_COMBO_PARITY, 1);
             w.select(IDC_COMBO_METER_PARITY, 1);
             return true;
         }, QByteArray::fromHex("00 04 00 50 00 01 30 0A"), {IDC_COMBO_PARITY, IDC_COMBO_METER_PARITY},
         [](const auto& w, const auto&) {
             return w.text(IDC_COMBO_PARITY) == "Even check" && w.text(IDC_COMBO_METER_PARITY) == "Even check";
         }},

        // Read meter, once the decimal mode is known.
        {"read meter single", Kind::ReadMeter, kSingle, IDC_BTN_READ_METER, 2500, ShortWrite::MessageBox,
         KnowOneDecimal, QByteArray::fromHex("00 04 00 00 00 1D 31 D2"),
         {IDC_EDIT_SP_ACTIVE_KWH, IDC_EDIT_SP_POSITIVE_KWH, IDC_EDIT_SP_REVERSE_KWH, IDC_EDIT_SP_VOLTAGE_L1,
               IDC_EDIT_SP_CURRENT_L1, IDC_EDIT_SP_ACTIVE_POWER, IDC_EDIT_SP_REACTIVE_POWER, IDC_EDIT_SP_PF,
               IDC_EDIT_SP_FREQUENCY, IDC_EDIT_SP_CONSTANT, IDC_EDIT_SP_TARIFF, kDecimalMode, IDC_COMBO_DECIMAL, kDanRecords},
         [](const auto& w, const auto&) {
             return w.dlg->RecvCount() == 63 && w.text(IDC_EDIT_SP_VOLTAGE_L1) == "230" &&
                    w.dlg->DanDataList().size() == 1 && w.dlg->DanDataList().front() == w.dlg->CurDanData();
         }},
        {"read meter three", Kind::ReadMeter, kThree, IDC_BTN_READ_METER, 2500, ShortWrite::MessageBox,
         KnowOneDecimal, QByteArray::fromHex("00 04 00 00 00 2E 71 C7"),
         {IDC_EDIT_TP_ACTIVE_KWH, IDC_EDIT_TP_POSITIVE_KWH, IDC_EDIT_TP_REVERSE_KWH, IDC_EDIT_TP_REACTIVE_KWH,
               IDC_EDIT_TP_VOLTAGE_L1, IDC_EDIT_TP_VOLTAGE_L2, IDC_EDIT_TP_VOLTAGE_L3, IDC_EDIT_TP_CURRENT_L1,
               IDC_EDIT_TP_CURRENT_L2, IDC_EDIT_TP_CURRENT_L3, IDC_EDIT_TP_ACTIVE_L1, IDC_EDIT_TP_ACTIVE_L2,
               IDC_EDIT_TP_ACTIVE_L3, IDC_EDIT_TP_REACTIVE_L1, IDC_EDIT_TP_REACTIVE_L2, IDC_EDIT_TP_REACTIVE_L3,
               IDC_EDIT_TP_PF_L1, IDC_EDIT_TP_PF_L2, IDC_EDIT_TP_PF_L3, IDC_EDIT_TP_ACTIVE, IDC_EDIT_TP_REACTIVE,
               IDC_EDIT_TP_PF, IDC_EDIT_TP_FREQUENCY, kEnergyRecords},
         [](const auto& w, const auto&) {
             return w.dlg->RecvCount() == 97 && w.text(IDC_EDIT_TP_VOLTAGE_L1) == "230" &&
                    w.dlg->EnergyList().size() == 1 && w.dlg->EnergyList().front() == w.dlg->CurEnergy();
         }},
    };
    // clang-format on
    return commands;
}

// What the window must make of a fault.
enum class Outcome
{
    Success,    // the reply is good: success message, value shown, reading stored
    Refused,    // no usable reply: silence, nothing changed; a read shows what came
    ShortWrite, // the request could not be written: the command's short-write report
};

// The misbehaviours, each a way a meter or its line lets the window down.
enum class FaultId
{
    Silent,
    BadCrc,
    Exception,
    Garbage,
    Split,
    SplitBeyondWait,
    Late,
    Overlong,
    OtherAddress,
    GoneBefore,
    GoneDuring,
};
struct Fault
{
    FaultId id;
    const char* name;
};
constexpr Fault kFaults[]{
    {FaultId::Silent, "silent"},
    {FaultId::BadCrc, "bad CRC"},
    {FaultId::Exception, "exception"},
    {FaultId::Garbage, "garbage first"},
    {FaultId::Split, "split"},
    {FaultId::SplitBeyondWait, "split beyond the wait"},
    {FaultId::Late, "late"},
    {FaultId::Overlong, "overlong"},
    {FaultId::OtherAddress, "other address"},
    {FaultId::GoneBefore, "gone before"},
    {FaultId::GoneDuring, "gone during"},
};

// The DL/T 645 reply carries the meter's own address in a frame sent to every meter: there
// is no Modbus address byte to bend.
bool Applies(const Command& c, FaultId f)
{
    return !(c.kind == Kind::ClearZero && f == FaultId::OtherAddress);
}

Outcome Expected(const Command& c, FaultId f)
{
    switch (f) {
    case FaultId::Split:
    case FaultId::OtherAddress:
        return Outcome::Success;
    case FaultId::GoneBefore:
        return Outcome::ShortWrite;
    case FaultId::BadCrc:
        // The clear-zero reply's checksum is not looked at: a meter that cleared and garbled
        // the checksum of its reply is believed.
        return c.kind == Kind::ClearZero ? Outcome::Success : Outcome::Refused;
    case FaultId::Overlong:
        // Zero bytes after a Modbus frame keep its CRC matching (the CRC of a frame and its
        // own CRC is 0, and zeros leave 0 alone). An acknowledgement followed by zeros is
        // still the meter's acknowledgement of what it did; a read must not take a value
        // from the zeros.
        return c.kind == Kind::Setting ? Outcome::Success : Outcome::Refused;
    default:
        return Outcome::Refused;
    }
}

// The meter's side of a fault. May change the meter's state too. What must come after a wait
// is held on the test's clock (meterclock.h), so that it is missing when the window reads
// however busy the machine is; the rest comes within a few milliseconds.
Misbehaviour Arrange(const Command& c, FaultId f, MeterState& state)
{
    // Read meter listens twice as long: after an empty read it waits once more.
    const int listening = int(c.waitMs) * (c.kind == Kind::ReadMeter ? 2 : 1);
    Misbehaviour how;
    how.silent = f == FaultId::Silent;
    how.corruptCrc = f == FaultId::BadCrc;
    if (f == FaultId::Exception && c.kind == Kind::ClearZero) {
        // A DL/T 645 meter refuses a clear frame with the wrong password.
        state.clearPassword = {0x02, 0x12, 0x34, 0x56};
    } else if (f == FaultId::Exception) {
        // Illegal data address: its code 2 sits where a one-register reply has its byte count.
        how.exceptionCode = metersim::kIllegalDataAddress;
    } else if (f == FaultId::Garbage) {
        how.garbagePrefix = {0x00, 0xFF, 0x3C};
    } else if (f == FaultId::Split || f == FaultId::SplitBeyondWait) {
        // Beyond the wait, the second piece comes after read meter's read and pause, while
        // it waits again after the empty read that follows.
        how.splitPieces = f == FaultId::Split ? 3 : 2;
        how.splitGapMs = f == FaultId::Split ? kSplitGapMs : meterclock::Held(int(c.waitMs) + kMarginMs);
    } else if (f == FaultId::Late) {
        how.delayMs = meterclock::Held(listening + kMarginMs);
    } else if (f == FaultId::GoneDuring) {
        // The line goes while the meter holds its reply back.
        how.delayMs = meterclock::kNever;
    } else if (f == FaultId::Overlong) {
        how.overlongTotal = 120;
    } else if (f == FaultId::OtherAddress) {
        how.replyAddress = 0x07;
    }
    return how;
}

// The pieces the meter will send, worked out on a copy of it.
std::vector<QByteArray> Pieces(MeterState meter, const QByteArray& request, const Misbehaviour& how)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(request.constData());
    const metersim::Response response = metersim::Serve(
        meter, MeterKind::Both, std::span(bytes, static_cast<std::size_t>(request.size())), how);
    std::vector<QByteArray> pieces;
    for (const std::vector<std::uint8_t>& piece : response.pieces) {
        pieces.emplace_back(reinterpret_cast<const char*>(piece.data()),
                            static_cast<qsizetype>(piece.size()));
    }
    return pieces;
}

// What reaches the window while it listens.
QByteArray Arriving(const std::vector<QByteArray>& pieces, FaultId f)
{
    if (f == FaultId::Late || f == FaultId::GoneBefore || f == FaultId::GoneDuring) {
        return {};
    }
    if (f == FaultId::SplitBeyondWait) {
        return pieces.empty() ? QByteArray() : pieces.front();
    }
    QByteArray arriving;
    for (const QByteArray& piece : pieces) {
        arriving += piece;
    }
    return arriving;
}

const QString kOldRequest = QStringLiteral("old request");
const QString kOldReply = QStringLiteral("old reply");
const QString kWriteError = QStringLiteral("write data error");

void RunRow(const Command& c, FaultId f)
{
    MeterBench bench;
    bench.meter->setState(kDistinctMeter);
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_METER_TYPE, c.type);
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("37"));
    QVERIFY2(c.input(w, *bench.meter), "the read that prepares the row did not take");
    QVERIFY2(w.messages.isEmpty(), qPrintable(w.messages.join('\n')));
    w.debugLines.clear();
    w.setText(IDC_EDIT_SEND, kOldRequest);
    w.setText(IDC_EDIT_RECV, kOldReply);
    const Snapshot before = Take(w);

    MeterState state = bench.state();
    const Misbehaviour how = Arrange(c, f, state);
    bench.meter->setState(state);
    bench.meter->setMisbehaviour(how);
    const std::vector<QByteArray> pieces = Pieces(state, c.request, how);
    const QByteArray arriving = Arriving(pieces, f);
    const std::uint64_t requests = bench.meter->requestsSeen();
    if (f == FaultId::GoneBefore) {
        bench.meter->closeLine();
    } else if (f == FaultId::GoneDuring) {
        bench.clock->duringNextWait([&bench] { bench.meter->closeLine(); });
    }
    w.press(c.button);
    if (f != FaultId::GoneBefore) {
        QVERIFY(!bench.clock->waitsAsked().empty());
        QCOMPARE(bench.clock->waitsAsked().front(), c.waitMs);
    }

    if (f == FaultId::GoneDuring) {
        QVERIFY(!bench.meter->lineOpen());
    }
    if (f == FaultId::SplitBeyondWait && c.kind == Kind::ReadMeter) {
        // The first piece gathered alone; the read after the pause finds nothing, so the
        // gathering starts over and takes the second piece as the start of a reply that never
        // grows whole.
        const QString received = QStringLiteral("收到的数据长度：%1");
        QCOMPARE(w.debugLines,
                 (QStringList{received.arg(pieces.at(0).size()), QStringLiteral("读回数据为0,1111"),
                              received.arg(pieces.at(1).size()), QStringLiteral("读回数据为0,1111"),
                              QStringLiteral("读回数据为0,2222")}));
        // The pause between pieces is longer for the longer three-phase reply.
        const unsigned pause = c.type == kSingle ? 200 : 300;
        QCOMPARE(bench.clock->waitsAsked(), (std::vector<unsigned>{2500, pause, 2500, pause, 2500}));
    }

    // The request is shown whatever happens to it.
    QCOMPARE(w.text(IDC_EDIT_SEND), HexText(c.request));
    const Snapshot after = Take(w);
    switch (Expected(c, f)) {
    case Outcome::Success: {
        const bool reports = c.kind == Kind::Setting || c.kind == Kind::ClearZero;
        const QString success = c.kind == Kind::ClearZero ? QStringLiteral("clear zero success")
                                                          : QStringLiteral("success!");
        QCOMPARE(w.messages, reports ? QStringList{success} : QStringList{});
        QCOMPARE(w.text(IDC_EDIT_RECV), HexText(arriving));
        QVERIFY(c.good(w, bench.state()));
        const QStringList changed = Changed(before, after, c.mayChange);
        QVERIFY2(changed.isEmpty(), qPrintable(changed.join(QStringLiteral("; "))));
        break;
    }
    case Outcome::Refused: {
        QVERIFY2(w.messages.isEmpty(), qPrintable(w.messages.join('\n')));
        QVERIFY(!w.debugLines.contains(kWriteError));
        // A read shows whatever came before it tests it, read meter what it gathered to the
        // full length; the settings only a reply they took.
        const bool shown =
            (c.kind == Kind::Read && !arriving.isEmpty()) ||
            (c.kind == Kind::ReadMeter && arriving.size() == kReadMeterReply[c.type]);
        QCOMPARE(w.text(IDC_EDIT_RECV), shown ? HexText(arriving) : kOldReply);
        const QStringList changed = Changed(before, after);
        QVERIFY2(changed.isEmpty(), qPrintable(changed.join(QStringLiteral("; "))));
        break;
    }
    case Outcome::ShortWrite:
        QCOMPARE(w.messages,
                 c.shortWrite == ShortWrite::MessageBox ? QStringList{kWriteError} : QStringList{});
        QCOMPARE(w.debugLines.contains(kWriteError), c.shortWrite == ShortWrite::Debug);
        QCOMPARE(w.text(IDC_EDIT_RECV), kOldReply);
        QVERIFY(Changed(before, after).isEmpty());
        QCOMPARE(bench.meter->requestsSeen(), requests);
        break;
    }
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void matrix_data();
    void matrix();
};

void TestFaults::matrix_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("fault");
    for (std::size_t c = 0; c < Commands().size(); ++c) {
        for (const Fault& fault : kFaults) {
            if (Applies(Commands()[c], fault.id)) {
                QTest::addRow("%s / %s", Commands()[c].name, fault.name) << int(c) << int(fault.id);
            }
        }
    }
}

void TestFaults::matrix()
{
    QFETCH(int, command);
    QFETCH(int, fault);
    RunRow(Commands()[std::size_t(command)], FaultId(fault));
}

QTEST_MAIN(TestFaults)
#include "test_faults.moc"
