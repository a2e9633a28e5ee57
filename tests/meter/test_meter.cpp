// The meter commands against a simulated meter on a pseudo-terminal, opened with the port
// module: every command on both meter types in both timings, every fault the simulator can
// provoke, the frames the session taps, and how long a command takes at wire speed.

#include "../protocol/guardedbuffer.h"
#include "../protocol/testsupport.h"

#include "commands.h"
#include "portlink.h"
#include "scan.h"
#include "serialport.h"
#include "simulator.h"

#include <QStringList>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

using metersim::MeterKind;
using metersim::MeterSimulator;
using metersim::MeterState;
using metersim::Misbehaviour;
using Clock = std::chrono::steady_clock;
using Outcome = std::optional<CommandFault>;

QString Text(const Outcome& outcome)
{
    return QString::fromStdString(outcome ? DescribeFault(*outcome) : "ok");
}

char* toString(const Outcome& outcome)
{
    return qstrdup(qPrintable(Text(outcome)));
}

namespace {

const Outcome kOk;

Outcome Failed(Fault fault, std::uint8_t code = 0)
{
    return CommandFault{fault, code};
}

template <typename T> Outcome OutcomeOf(const Result<T>& result)
{
    return result ? kOk : Outcome(result.fault());
}

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct Tapped
{
    FrameDirection direction;
    Bytes bytes;
};

// A simulated meter of one type on a pseudo-terminal, and a session on it through the port
// module at 9600 baud.
class Bench
{
public:
    Bench(MeterType type, Timing timing)
        : type(type),
          m_meter(MeterSimulator::OnPseudoTerminal(
              type == MeterType::ThreePhase ? MeterKind::ThreePhase : MeterKind::SinglePhase))
    {
        if (!m_meter) {
            return;
        }
        m_meter->setTrafficLog(
            [this](MeterSimulator::Direction direction, std::span<const std::uint8_t> bytes) {
                if (direction == MeterSimulator::Direction::Reply) {
                    m_bytesSent += bytes.size();
                }
            });
        m_meter->start();
        port.open(m_meter->devicePath(), SerialSettings{});
        session.timing = timing;
        session.responseTimeoutMs = 300;
        session.link = Link{
            [this] { return port.isOpen(); },
            [this](std::uint32_t count, const std::uint8_t* bytes) {
                m_awaitedReplies = m_meter->repliesSent() + 1;
                m_bytesBefore = m_bytesSent;
                m_readSinceWrite = 0;
                return port.write(count, bytes);
            },
            [this](std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs) {
                const std::uint32_t n = port.read(capacity, buffer, waitMs);
                m_readSinceWrite += n;
                return n;
            },
            // The window's waits are there for slow meters; the simulator answers at once.
            // Wait until its reply is written and has come through whole, or for a twentieth
            // of the time (long enough for a reply in pieces) when no answer comes. A poll
            // moves bytes on from the terminal's own buffer; a count of the queue does not.
            [this](unsigned ms) {
                const auto limit = std::chrono::milliseconds(std::max(ms / 20, 250u));
                const Clock::time_point end = Clock::now() + limit;
                if (!m_meter->waitForReplies(m_awaitedReplies, limit)) {
                    return;
                }
                while (port.inQueueCount() + m_readSinceWrite < m_bytesSent - m_bytesBefore &&
                       Clock::now() < end) {
                    port.waitReadable(0);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            },
            [this](std::uint32_t waitMs) { return port.waitReadable(waitMs); },
            [this] { return port.state() == LineState::Disconnected; },
        };
        session.tap = [this](FrameDirection direction, std::span<const std::uint8_t> bytes) {
            tapped.push_back({direction, Bytes(bytes.begin(), bytes.end())});
        };
    }
    ~Bench()
    {
        port.close();
        if (m_meter) {
            m_meter->stop();
        }
    }

    bool ready() const { return m_meter && port.isOpen(); }
    MeterSimulator& meter() { return *m_meter; }

    Outcome read(MeterProperty property, std::uint8_t address = 0)
    {
        return OutcomeOf(ReadProperty(session, type, address, property));
    }
    Outcome set(MeterProperty property, const SettingValue& value, std::uint8_t address = 0)
    {
        return OutcomeOf(SetProperty(session, type, address, property, value));
    }
    Result<MeterReading> readMeter(std::uint8_t address = 0)
    {
        const MeterType meterType = type;
        return ReadMeter(session, {address, 2, [meterType] { return meterType; }});
    }

    const MeterType type;
    SerialPort port;
    Session session;
    std::vector<Tapped> tapped;

private:
    std::unique_ptr<MeterSimulator> m_meter;
    std::uint64_t m_awaitedReplies = 0;
    std::atomic<std::size_t> m_bytesSent{0}; // by the meter, on its thread
    std::size_t m_bytesBefore = 0;
    std::size_t m_readSinceWrite = 0;
};

using Action = std::function<Outcome(Bench&)>;

// The four benches: each meter type in each timing.
void AddTypesAndTimings()
{
    QTest::addColumn<MeterType>("type");
    QTest::addColumn<Timing>("timing");
    QTest::newRow("single phase, window") << MeterType::SinglePhase << Timing::Window;
    QTest::newRow("single phase, wire speed") << MeterType::SinglePhase << Timing::WireSpeed;
    QTest::newRow("three phase, window") << MeterType::ThreePhase << Timing::Window;
    QTest::newRow("three phase, wire speed") << MeterType::ThreePhase << Timing::WireSpeed;
}

// A reading's fields one "key=text" line each, for a comparison that shows them.
QStringList Lines(const Fields& fields)
{
    QStringList lines;
    for (const auto& [key, text] : fields) {
        lines << QString::fromStdString(key + "=" + text);
    }
    return lines;
}

// A meter that misbehaves in one way.
template <typename T, typename V> Misbehaviour With(T Misbehaviour::*member, V value)
{
    Misbehaviour how;
    how.*member = value;
    return how;
}

// A reply in pieces, close enough together for the window's shortened waits.
Misbehaviour InPieces(int pieces)
{
    Misbehaviour how = With(&Misbehaviour::splitPieces, pieces);
    how.splitGapMs = 20;
    return how;
}

// The meter asked is 1, the simulator's own address, so that a reply from another shows.
constexpr std::uint8_t kMeter = 1;

const Action kReadDisplayTime = [](Bench& b) { return b.read(MeterProperty::DisplayTime, kMeter); };
const Action kSetDisplayTime = [](Bench& b) {
    return b.set(MeterProperty::DisplayTime, {7, {}}, kMeter);
};
const Action kReadMeter = [](Bench& b) { return OutcomeOf(b.readMeter(kMeter)); };

} // namespace

Q_DECLARE_METATYPE(Timing)
Q_DECLARE_METATYPE(MeterType)
Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(Misbehaviour)
Q_DECLARE_METATYPE(Action)

class TestMeter : public QObject
{
    Q_OBJECT

private slots:
    void settingsReadBack_data() { AddTypesAndTimings(); }
    void settingsReadBack();
    void readAddress_data();
    void readAddress();
    void readMeter_data() { AddTypesAndTimings(); }
    void readMeter();
    void faults_data();
    void faults();
    void refusedBeforeTheLine_data();
    void refusedBeforeTheLine();
    void vanishedLine_data();
    void vanishedLine();
    void strayBytesAreTappedNotTaken();
    void cutReplyLeavesTheLineQuiet();
    void linkBreakingItsReadContract();
    void scanGoesOnPastARefusedSetting();
    void wireSpeedEndsWithTheReply();
    void silentMeterTakesTheTimeout();
    void wireSpeedAtEveryAddress_data();
    void wireSpeedAtEveryAddress();
    void readingOfTheOtherLayout();
};

// Each setting the type has, written and read back equal, each exchange tapped as its request
// then its reply; then clear to zero.
void TestMeter::settingsReadBack()
{
    QFETCH(MeterType, type);
    QFETCH(Timing, timing);
    Bench bench(type, timing);
    QVERIFY(bench.ready());
    const auto tappedOneExchange = [&bench] {
        const bool ok =
            bench.tapped.size() == 2 && bench.tapped[0].direction == FrameDirection::Tx &&
            bench.tapped[0].bytes == bench.meter().lastRequest() &&
            bench.tapped[1].direction == FrameDirection::Rx && !bench.tapped[1].bytes.empty();
        bench.tapped.clear();
        return ok;
    };
    struct Setting
    {
        MeterProperty property;
        SettingValue value;
        const char* readBack;
    };
    const Setting settings[] = {
        {MeterProperty::BaudRate, {4800, {}}, "4800"},
        {MeterProperty::Address, {37, {}}, "37"},
        {MeterProperty::DisplayTime, {9, {}}, "9"},
        {MeterProperty::ScreenNumber, {3, {}}, "3"},
        {MeterProperty::DecimalPlaces, {1, {}}, "1"},
        {MeterProperty::SerialNumber, {0, U"87654321"}, "87654321"},
        {MeterProperty::Password, {0, U"1234"}, "1234"},
        {MeterProperty::CtRatio, {40, {}}, "40"},
        {MeterProperty::Parity, {1, {}}, "Odd check"},
    };
    for (const Setting& s : settings) {
        const QByteArray name(PropertyName(s.property).data(),
                              qsizetype(PropertyName(s.property).size()));
        if (type == MeterType::SinglePhase &&
            (s.property == MeterProperty::Password || s.property == MeterProperty::CtRatio)) {
            continue; // not on this type: refusedBeforeTheLine
        }
        QVERIFY2(bench.set(s.property, s.value) == kOk, name);
        QVERIFY2(tappedOneExchange(), name);
        const Result<PropertyReading> reading = ReadProperty(bench.session, type, 0, s.property);
        QVERIFY2(reading, qPrintable(name + ": " + Text(OutcomeOf(reading))));
        QCOMPARE(reading->value, std::string(s.readBack));
        QVERIFY2(tappedOneExchange(), name);
    }
    QCOMPARE(OutcomeOf(ClearZero(bench.session)), kOk);
    QVERIFY(tappedOneExchange());
    QCOMPARE(bench.meter().state().activeEnergy, std::int64_t{0});
}

void TestMeter::readAddress_data()
{
    QTest::addColumn<MeterType>("type");
    QTest::addColumn<Timing>("timing");
    QTest::addColumn<QByteArray>("canned");
    QTest::addColumn<int>("decimals");   // -1: absent
    QTest::addColumn<QString>("serial"); // null: absent
    for (const Timing timing : {Timing::Window, Timing::WireSpeed}) {
        const char* in = timing == Timing::Window ? "window" : "wire speed";
        QTest::addRow("single phase, %s", in)
            << MeterType::SinglePhase << timing << QByteArray() << 1 << QString();
        QTest::addRow("three phase, %s", in)
            << MeterType::ThreePhase << timing << QByteArray() << 2 << "12345678";
        QTest::addRow("three phase answering one register, %s", in)
            << MeterType::ThreePhase << timing << ToByteArray(WithCrc(FromHex("25 04 02 00 25")))
            << -1 << QString();
    }
}

void TestMeter::readAddress()
{
    QFETCH(MeterType, type);
    QFETCH(Timing, timing);
    QFETCH(QByteArray, canned);
    QFETCH(int, decimals);
    QFETCH(QString, serial);
    Bench bench(type, timing);
    QVERIFY(bench.ready());
    bench.meter().updateState([](MeterState& m) { m.address = 37; });
    bench.meter().setMisbehaviour(
        With(&Misbehaviour::cannedReply, Bytes(canned.begin(), canned.end())));

    const Result<PropertyReading> reading =
        ReadProperty(bench.session, type, 0, MeterProperty::Address);
    QVERIFY(reading);
    QCOMPARE(reading->number, 37);
    QCOMPARE(reading->value, std::string("37"));
    QCOMPARE(reading->decimalsRegister,
             decimals < 0 ? std::optional<int>() : std::optional<int>(decimals));
    QCOMPARE(reading->serialNumber.value_or("absent"),
             serial.isNull() ? "absent" : serial.toStdString());
}

// The texts of the simulator's state, under the keys of each type.
void TestMeter::readMeter()
{
    QFETCH(MeterType, type);
    QFETCH(Timing, timing);
    Bench bench(type, timing);
    QVERIFY(bench.ready());
    // Every quantity with a text of its own, so that a value in the wrong field shows.
    bench.meter().updateState([](MeterState& m) {
        m.voltage = {2301, 2302, 2303};
        m.current = {5120, 6340, 7560};
        m.activePower = {112711, 112712, 112713};
        m.reactivePower = {22881, 22882, 22883};
        m.apparentPower = 115020;
        m.powerFactor = {981, -866, 505};
        m.totalPowerFactor = 977;
        m.frequency = 5001;
        m.positiveEnergy = 123457;
        m.reverseEnergy = 1234;
    });
    const Result<MeterReading> reading = bench.readMeter();
    QVERIFY2(reading, qPrintable(Text(OutcomeOf(reading))));
    QVERIFY(reading->type == type);
    QCOMPARE(bench.tapped.size(), std::size_t{2});
    QCOMPARE(bench.tapped[1].bytes.size(), std::size_t{type == MeterType::SinglePhase ? 63u : 97u});

    const Fields single{
        {"sn", "12345678"},         {"active_kwh", "1234.56"},   {"positive_kwh", "1234.57"},
        {"reverse_kwh", "12.34"},   {"voltage_l1", "230.1"},     {"current_l1", "5.120"},
        {"active_power", "1127.1"}, {"reactive_power", "228.8"}, {"apparent_power", "1150.2"},
        {"power_factor", "0.981"},  {"frequency", "50.01"},      {"constant", "1600"},
        {"tariff_number", "1"},
    };
    const Fields three{
        {"active_kwh", "1234.56"},       {"positive_kwh", "1234.57"},
        {"reverse_kwh", "12.34"},        {"reactive_kwh", "23.45"},
        {"voltage_l1", "230.1"},         {"voltage_l2", "230.2"},
        {"voltage_l3", "230.3"},         {"current_l1", "5.12"},
        {"current_l2", "6.34"},          {"current_l3", "7.56"},
        {"active_power_l1", "1127.11"},  {"active_power_l2", "1127.12"},
        {"active_power_l3", "1127.13"},  {"reactive_power_l1", "228.81"},
        {"reactive_power_l2", "228.82"}, {"reactive_power_l3", "228.83"},
        {"power_factor_l1", "0.981"},    {"power_factor_l2", "-0.866"},
        {"power_factor_l3", "0.505"},    {"active_power", "3381.36"},
        {"reactive_power", "686.46"},    {"power_factor", "0.977"},
        {"frequency", "50.01"},
    };
    QCOMPARE(Lines(ReadingFields(*reading)),
             Lines(type == MeterType::SinglePhase ? single : three));
}

void TestMeter::faults_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<Misbehaviour>("how");
    QTest::addColumn<MeterType>("type");
    QTest::addColumn<Timing>("timing");
    QTest::addColumn<Outcome>("expected");
    // Each row in both timings; the meter types take turns, so that both meet every fault.
    bool three = false;
    const auto add = [&three](const char* name, const Action& action, const Misbehaviour& how,
                              Outcome window, Outcome wire) {
        three = !three;
        const MeterType first = three ? MeterType::ThreePhase : MeterType::SinglePhase;
        const MeterType second = three ? MeterType::SinglePhase : MeterType::ThreePhase;
        QTest::addRow("%s, window", name) << action << how << first << Timing::Window << window;
        QTest::addRow("%s, wire speed", name)
            << action << how << second << Timing::WireSpeed << wire;
    };
    const Outcome noReply = Failed(Fault::NoReply);
    const Outcome badCrc = Failed(Fault::BadCrc);
    add("silent", kReadDisplayTime, With(&Misbehaviour::silent, true), noReply, noReply);
    add("silent to read meter", kReadMeter, With(&Misbehaviour::silent, true), noReply, noReply);
    add("bad CRC", kReadDisplayTime, With(&Misbehaviour::corruptCrc, true), badCrc, badCrc);
    add("bad CRC on the echo", kSetDisplayTime, With(&Misbehaviour::corruptCrc, true), badCrc,
        badCrc);
    add("bad CRC on read meter", kReadMeter, With(&Misbehaviour::corruptCrc, true), badCrc, badCrc);
    add("exception to a read", kReadDisplayTime, With(&Misbehaviour::exceptionCode, 0x02),
        Failed(Fault::Exception, 0x02), Failed(Fault::Exception, 0x02));
    add("exception to a setting", kSetDisplayTime, With(&Misbehaviour::exceptionCode, 0x03),
        Failed(Fault::Exception, 0x03), Failed(Fault::Exception, 0x03));
    // The window's gathering drops pieces that never make up the whole reading.
    add("exception to read meter", kReadMeter, With(&Misbehaviour::exceptionCode, 0x04), noReply,
        Failed(Fault::Exception, 0x04));
    add("reply of another function", kReadDisplayTime,
        With(&Misbehaviour::cannedReply, WithCrc(FromHex("01 03 02 00 05"))),
        Failed(Fault::WrongFunction), Failed(Fault::WrongFunction));
    add("echo of another register", kSetDisplayTime,
        With(&Misbehaviour::cannedReply, WithCrc(FromHex("01 10 00 99 00 01"))),
        Failed(Fault::WrongRegister), Failed(Fault::WrongRegister));
    // At wire speed a reply ends at its own length: what follows is not part of it.
    add("overlong read reply", kReadDisplayTime, With(&Misbehaviour::overlongTotal, 12u),
        Failed(Fault::WrongLength), kOk);
    add("overlong echo", kSetDisplayTime, With(&Misbehaviour::overlongTotal, 12u), kOk, kOk);
    add("garbage before the reply", kReadDisplayTime,
        With(&Misbehaviour::garbagePrefix, Bytes{0x00, 0x00}), badCrc, badCrc);
    add("reply in three pieces", kReadDisplayTime, InPieces(3), kOk, kOk);
    add("read meter in four pieces", kReadMeter, InPieces(4), kOk, kOk);
    add("another meter answers", kReadDisplayTime, With(&Misbehaviour::replyAddress, 9),
        Failed(Fault::WrongAddress), Failed(Fault::WrongAddress));
    add("another meter answers read meter", kReadMeter, With(&Misbehaviour::replyAddress, 9),
        Failed(Fault::WrongAddress), Failed(Fault::WrongAddress));
    const Action clearWithAnotherPassword = [](Bench& b) {
        b.meter().updateState([](MeterState& m) { m.clearPassword = {0x02, 0x12, 0x34, 0x56}; });
        return OutcomeOf(ClearZero(b.session));
    };
    add("clear refused", clearWithAnotherPassword, {}, Failed(Fault::Refused),
        Failed(Fault::Refused));
    const Action readUnknownBaud = [](Bench& b) {
        b.meter().updateState([](MeterState& m) { m.baudCode = 0x40; });
        return b.read(MeterProperty::BaudRate, kMeter);
    };
    add("baud code not listed", readUnknownBaud, {}, Failed(Fault::UnknownValue, 0x40),
        Failed(Fault::UnknownValue, 0x40));
}

// Each fault named as what it is, and the next command unharmed by what the fault left.
void TestMeter::faults()
{
    QFETCH(Action, action);
    QFETCH(Misbehaviour, how);
    QFETCH(MeterType, type);
    QFETCH(Timing, timing);
    QFETCH(Outcome, expected);
    Bench bench(type, timing);
    QVERIFY(bench.ready());
    bench.meter().setMisbehaviour(how);

    const Outcome outcome = action(bench);
    // A refusal's code is the meter's error byte, which no one is told: only the kind counts.
    if (expected && expected->fault == Fault::Refused) {
        QVERIFY2(outcome && outcome->fault == Fault::Refused, qPrintable(Text(outcome)));
    } else {
        QCOMPARE(outcome, expected);
    }

    bench.meter().setMisbehaviour({});
    bench.meter().setState(MeterState{});
    const Result<PropertyReading> next =
        ReadProperty(bench.session, type, kMeter, MeterProperty::ScreenNumber);
    QVERIFY2(next, qPrintable(Text(OutcomeOf(next))));
    QCOMPARE(next->value, std::string("6"));
}

// What cannot be sent, or cannot be sent on this meter, never reaches the line.
void TestMeter::refusedBeforeTheLine_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<Timing>("timing");
    QTest::addColumn<Outcome>("expected");
    const Action closed = [](Bench& b) {
        b.port.close();
        return b.read(MeterProperty::DisplayTime);
    };
    const Action shortWrite = [](Bench& b) {
        b.session.link.write = [](std::uint32_t count, const std::uint8_t*) { return count - 1; };
        return b.read(MeterProperty::DisplayTime);
    };
    for (const Timing timing : {Timing::Window, Timing::WireSpeed}) {
        const char* in = timing == Timing::Window ? "window" : "wire speed";
        QTest::addRow("CT ratio read on single phase, %s", in)
            << Action([](Bench& b) { return b.read(MeterProperty::CtRatio); }) << timing
            << Failed(Fault::NotSupported);
        QTest::addRow("password set on single phase, %s", in) << Action([](Bench& b) {
            return b.set(MeterProperty::Password, {0, U"1234"});
        }) << timing << Failed(Fault::NotSupported);
        QTest::addRow("baud rate not listed, %s", in) << Action([](Bench& b) {
            return b.set(MeterProperty::BaudRate, {1234, {}});
        }) << timing << Failed(Fault::BadValue);
        QTest::addRow("password of three characters, %s", in) << Action([](Bench& b) {
            return b.set(MeterProperty::Password, {0, U"123"});
        }) << timing << Failed(Fault::BadValue);
        QTest::addRow("port closed, %s", in) << closed << timing << Failed(Fault::PortClosed);
        QTest::addRow("short write, %s", in) << shortWrite << timing << Failed(Fault::ShortWrite);
    }
}

void TestMeter::refusedBeforeTheLine()
{
    QFETCH(Action, action);
    QFETCH(Timing, timing);
    Bench bench(MeterType::SinglePhase, timing);
    QVERIFY(bench.ready());
    QTEST(action(bench), "expected");
    QVERIFY(bench.tapped.empty());
    QVERIFY(!bench.meter().waitForRequests(1, std::chrono::milliseconds(20)));
}

// A line gone before the request: nothing goes out, as for a request not written in full.
// Gone while the meter holds back its reply: no reply.
void TestMeter::vanishedLine_data()
{
    QTest::addColumn<Timing>("timing");
    QTest::addColumn<bool>("during");
    QTest::addColumn<Outcome>("expected");
    // The window keeps the messages it always gave; at wire speed the device is named gone.
    QTest::newRow("before, window") << Timing::Window << false << Failed(Fault::ShortWrite);
    QTest::newRow("before, wire speed") << Timing::WireSpeed << false << Failed(Fault::Disconnected);
    QTest::newRow("during, window") << Timing::Window << true << Failed(Fault::NoReply);
    QTest::newRow("during, wire speed") << Timing::WireSpeed << true << Failed(Fault::Disconnected);
}

void TestMeter::vanishedLine()
{
    QFETCH(Timing, timing);
    QFETCH(bool, during);
    Bench bench(MeterType::ThreePhase, timing);
    QVERIFY(bench.ready());
    std::thread closer;
    if (during) {
        bench.meter().setMisbehaviour(With(&Misbehaviour::delayMs, 200));
        closer = std::thread([&bench] {
            bench.meter().waitForRequests(1, std::chrono::seconds(2));
            bench.meter().closeLine();
        });
    } else {
        bench.meter().closeLine();
    }
    const Outcome outcome = bench.read(MeterProperty::Address);
    if (closer.joinable()) {
        closer.join();
    }
    QTEST(outcome, "expected");
}

// A reply cut off by its time: named incomplete, and its tail, still on its way, is neither
// taken for the next reply nor talked over by the next request.
void TestMeter::cutReplyLeavesTheLineQuiet()
{
    Bench bench(MeterType::ThreePhase, Timing::WireSpeed);
    QVERIFY(bench.ready());
    bench.session.responseTimeoutMs = 150;
    Misbehaviour late = With(&Misbehaviour::splitPieces, 2);
    late.splitGapMs = 220;
    bench.meter().setMisbehaviour(late);
    const Result<MeterReading> cut = bench.readMeter();
    QVERIFY(!cut);
    QCOMPARE(cut.fault().fault, Fault::Incomplete);
    QCOMPARE(cut.fault().received, std::uint16_t{49});
    QCOMPARE(cut.fault().expected, std::uint16_t{97});
    bench.meter().setMisbehaviour({});
    QCOMPARE(bench.read(MeterProperty::DisplayTime), kOk);
}

// A link that writes and counts more than a read may: the receive buffer's neighbours stay
// untouched and the count stays within the buffer.
void TestMeter::linkBreakingItsReadContract()
{
    GuardedBuffer guarded{};
    Session session;
    session.timing = Timing::WireSpeed;
    session.buffer = &guarded.buffer;
    session.responseTimeoutMs = 50;
    int reads = 0;
    session.link = Link{
        [] { return true; },
        [](std::uint32_t count, const std::uint8_t*) { return count; },
        [&reads](std::uint32_t capacity, std::uint8_t* into, std::uint32_t) {
            if (reads++ == 0) {
                return std::uint32_t{0}; // nothing stray before the request
            }
            std::fill(into, into + capacity, std::uint8_t{0x55});
            return capacity + 100;
        },
        [](unsigned) {},
        [](std::uint32_t) { return true; },
    };
    const Result<PropertyReading> read = ReadProperty(session, MeterType::SinglePhase, 0, MeterProperty::Address);
    QVERIFY(!read);
    QVERIFY(session.lastReceived <= kRecvBufferSize);
    QVERIFY(std::all_of(guarded.before.begin(), guarded.before.end(), [](std::uint8_t b) { return b == 0; }));
    QVERIFY(std::all_of(guarded.after.begin(), guarded.after.end(), [](std::uint8_t b) { return b == 0; }));
}

// A setting the port will not take is listed with the port's reason, and the scan goes on to
// find the meter at the next.
void TestMeter::scanGoesOnPastARefusedSetting()
{
    Bench bench(MeterType::SinglePhase, Timing::WireSpeed);
    QVERIFY(bench.ready());
    ScanHooks hooks;
    hooks.applySetting = [&bench](const LineSetting& setting) -> std::string {
        if (setting == LineSetting{9600, 0}) {
            return "refused by the driver";
        }
        return PutLineAt(bench.port, setting);
    };
    const std::vector<ScanAnswer> answers = ScanLineSettings(bench.session, hooks, MeterType::SinglePhase, 20, false);
    QCOMPARE(answers.size(), std::size_t{2});
    QCOMPARE(answers[0].refused, std::string("refused by the driver"));
    QVERIFY(!answers[0].found());
    QVERIFY(answers[1].found());
    QVERIFY((answers[1].setting == LineSetting{9600, 2})); // a pseudo-terminal carries no parity
}

// At wire speed the reply ends at its own length: the zeros after it, one with the reply and
// the rest a little later, are tapped as received bytes of their own, and the next command
// gets its own reply.
void TestMeter::strayBytesAreTappedNotTaken()
{
    Bench bench(MeterType::ThreePhase, Timing::WireSpeed);
    QVERIFY(bench.ready());
    Misbehaviour how = InPieces(2);
    how.overlongTotal = 15;
    bench.meter().setMisbehaviour(how);
    QCOMPARE(bench.read(MeterProperty::ScreenNumber), kOk);
    // The late zeros in, unless the read took them already.
    QVERIFY(bench.meter().waitForReplies(1, std::chrono::seconds(2)));
    bench.port.waitReadable(200);
    bench.meter().setMisbehaviour({});
    const Result<PropertyReading> next =
        ReadProperty(bench.session, bench.type, 0, MeterProperty::DisplayTime);
    QVERIFY(next);
    QCOMPARE(next->value, std::string("5"));

    const std::vector<Tapped>& t = bench.tapped;
    QVERIFY(t.size() >= 5);
    QVERIFY(t[0].direction == FrameDirection::Tx && t[1].direction == FrameDirection::Rx);
    QCOMPARE(Hex(t[1].bytes), Hex(WithCrc(FromHex("00 04 02 00 06"))));
    Bytes stray;
    std::size_t i = 2;
    for (; i < t.size() && t[i].direction == FrameDirection::Rx; ++i) {
        stray.insert(stray.end(), t[i].bytes.begin(), t[i].bytes.end());
    }
    QCOMPARE(Hex(stray), Hex(Bytes(8, 0x00)));
    QCOMPARE(t.size(), i + 2);
    QVERIFY(t[i].direction == FrameDirection::Tx);
    QCOMPARE(Hex(t[i + 1].bytes), Hex(WithCrc(FromHex("00 04 02 00 05"))));
}

// A read and a three-phase reading at 9600 baud end with their replies, far inside the
// response timeout and the window's waits.
void TestMeter::wireSpeedEndsWithTheReply()
{
    Bench bench(MeterType::ThreePhase, Timing::WireSpeed);
    QVERIFY(bench.ready());
    bench.session.responseTimeoutMs = 1000;
    Clock::time_point start = Clock::now();
    QCOMPARE(bench.read(MeterProperty::DisplayTime), kOk);
    const long long read = MsSince(start);
    start = Clock::now();
    QVERIFY(bench.readMeter());
    const long long readMeter = MsSince(start);
    QVERIFY2(read < 200 && readMeter < 200,
             qPrintable(QStringLiteral("%1 ms, %2 ms").arg(read).arg(readMeter)));
}

void TestMeter::silentMeterTakesTheTimeout()
{
    Bench bench(MeterType::SinglePhase, Timing::WireSpeed);
    QVERIFY(bench.ready());
    bench.session.responseTimeoutMs = 100;
    bench.meter().setMisbehaviour(With(&Misbehaviour::silent, true));
    const Clock::time_point start = Clock::now();
    QCOMPARE(bench.read(MeterProperty::DisplayTime), Failed(Fault::NoReply));
    const long long took = MsSince(start);
    QVERIFY2(took >= 90 && took <= 400, qPrintable(QString::number(took)));
}

// Meters 0x68 and 0xFE: their requests start like a DL/T 645 frame, their replies are Modbus.
void TestMeter::wireSpeedAtEveryAddress_data()
{
    QTest::addColumn<int>("address");
    QTest::newRow("37") << 37;
    QTest::newRow("0x68") << 0x68;
    QTest::newRow("0xFE") << 0xFE;
}

void TestMeter::wireSpeedAtEveryAddress()
{
    QFETCH(int, address);
    const auto meter = static_cast<std::uint8_t>(address);
    Bench bench(MeterType::ThreePhase, Timing::WireSpeed);
    QVERIFY(bench.ready());
    bench.session.responseTimeoutMs = 1000;
    bench.meter().updateState([meter](MeterState& m) { m.address = meter; });
    const Clock::time_point start = Clock::now();
    QCOMPARE(bench.read(MeterProperty::DisplayTime, meter), kOk);
    QCOMPARE(OutcomeOf(bench.readMeter(meter)), kOk);
    QVERIFY2(MsSince(start) < 400, qPrintable(QString::number(MsSince(start))));
}

// A single-phase reading answered in the three-phase layout is no single-phase reading.
void TestMeter::readingOfTheOtherLayout()
{
    Bench bench(MeterType::SinglePhase, Timing::WireSpeed);
    QVERIFY(bench.ready());
    Bytes three{0x01, 0x04, 92};
    three.resize(95, 0x11);
    bench.meter().setMisbehaviour(With(&Misbehaviour::cannedReply, WithCrc(three)));
    QCOMPARE(OutcomeOf(bench.readMeter()), Failed(Fault::WrongLength));
}

QTEST_GUILESS_MAIN(TestMeter)
#include "test_meter.moc"
