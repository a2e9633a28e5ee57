#include "answer.h"
#include "simulator.h"

#include "crc.h"

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using metersim::MeterKind;
using metersim::MeterSimulator;
using metersim::MeterState;
using metersim::Misbehaviour;
using Bytes = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(MeterKind)

namespace {

Bytes FromHex(const char* hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return Bytes(raw.begin(), raw.end());
}

QByteArray ToHex(std::span<const std::uint8_t> bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()))
        .toHex(' ')
        .toUpper();
}

// The frame given in hex with its CRC appended.
QByteArray WithCrc(const char* hex)
{
    Bytes bytes = FromHex(hex);
    const std::uint16_t crc = CalcCrc16(bytes.data(), static_cast<std::uint16_t>(bytes.size()));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return ToHex(bytes);
}

Bytes Answer(MeterState& state, MeterKind kind, const QByteArray& hexRequest)
{
    const Bytes request = FromHex(hexRequest.constData());
    return metersim::AnswerRequest(state, kind, request);
}

// Decoding on the reading side, written independently of the meter's encoder.
std::int64_t Bcd(const Bytes& reply, std::size_t at, std::size_t count)
{
    std::int64_t value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        value = value * 100 + (reply[i] >> 4) * 10 + (reply[i] & 0x0F);
    }
    return value;
}

std::int64_t SignedBcd(const Bytes& reply, std::size_t at)
{
    std::uint32_t code = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        code = code << 8 | reply[i];
    }
    if ((code & 0x80000000u) == 0) {
        return Bcd(reply, at, 4);
    }
    const std::uint32_t magnitude = ~(code - 1);
    const Bytes bytes{
        static_cast<std::uint8_t>(magnitude >> 24), static_cast<std::uint8_t>(magnitude >> 16),
        static_cast<std::uint8_t>(magnitude >> 8), static_cast<std::uint8_t>(magnitude)};
    return -Bcd(bytes, 0, 4);
}

std::int64_t Int32(const Bytes& reply, std::size_t at)
{
    const std::uint32_t code = static_cast<std::uint32_t>(reply[at]) << 24 |
                               static_cast<std::uint32_t>(reply[at + 1]) << 16 |
                               static_cast<std::uint32_t>(reply[at + 2]) << 8 | reply[at + 3];
    return static_cast<std::int32_t>(code);
}

// Register r of a read reply starts at byte 3 + 2r.
constexpr std::size_t At(std::size_t reg)
{
    return 3 + 2 * reg;
}

// The clear frame with the password field and operator code as sent (0x33 added).
QByteArray ClearFrame(const char* addressHex, const char* passwordHex, const char* operatorHex)
{
    Bytes frame = FromHex("68");
    const Bytes address = FromHex(addressHex);
    frame.insert(frame.end(), address.begin(), address.end());
    frame.push_back(0x68);
    frame.push_back(0x1A);
    frame.push_back(0x08);
    for (const char* part : {passwordHex, operatorHex}) {
        const Bytes bytes = FromHex(part);
        frame.insert(frame.end(), bytes.begin(), bytes.end());
    }
    unsigned sum = 0;
    for (const std::uint8_t byte : frame) {
        sum += byte;
    }
    frame.push_back(static_cast<std::uint8_t>(sum));
    frame.push_back(0x16);
    return ToHex(frame);
}

// The master's side of the line: opens the pseudo-terminal like a serial port.
class Master
{
public:
    explicit Master(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (m_fd >= 0) {
            termios tio{};
            tcgetattr(m_fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~Master()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    bool send(const QByteArray& hex)
    {
        const Bytes bytes = FromHex(hex.constData());
        return ::write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Every read that returned bytes, as one chunk each, until `total` bytes have come or
    // the line stayed quiet for quietMs.
    std::vector<Bytes> receive(std::size_t total, int quietMs)
    {
        std::vector<Bytes> chunks;
        std::size_t got = 0;
        while (got < total) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, quietMs) <= 0) {
                break;
            }
            std::uint8_t buffer[4096];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            chunks.emplace_back(buffer, buffer + n);
            got += static_cast<std::size_t>(n);
        }
        return chunks;
    }

private:
    int m_fd;
};

Bytes Joined(const std::vector<Bytes>& chunks)
{
    Bytes all;
    for (const Bytes& chunk : chunks) {
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
}

const QByteArray kReadAddressSingle = "00 04 00 18 00 01 B0 1C";
const QByteArray kReplyAddressSingle = "00 04 02 00 01 45 30"; // address 1
const QByteArray kReadSinglePhaseValues = "00 04 00 00 00 1D 31 D2";
const QByteArray kReadThreePhaseValues = "00 04 00 00 00 2E 71 C7";

} // namespace

class TestMeterSim : public QObject
{
    Q_OBJECT

private slots:
    void answerRequest_data();
    void answerRequest();
    void writeThenRead_data();
    void writeThenRead();
    void writeChangesState();
    void refusedWriteChangesNothing();
    void newAddressTakesEffect();
    void singlePhaseLayout();
    void threePhaseLayout();
    void layoutsOfTheMeterThatAnswersBoth();
    void valuesBeyondTheirRegisters();
    void clearZero_data();
    void clearZero();
    void completeFrameLength_data();
    void completeFrameLength();
    void splitIntoPieces_data();
    void splitIntoPieces();
    void bentReplies();
    void exceptionReplyRefusesTheRequest();
    void silentMeterStillCarriesOut();
    void cannedReplyReplacesTheAnswer();
    void oneShotIsUsedByTheFirstAnswer();

    void lineRepliesInTime();
    void lineDelay();
    void lineSplitReply();
    void lineSilent();
    void lineOverlong();
    void lineFrameBoundaries();
    void lineMasterReopens();
    void lineClosed();
    void lineOnDevice();
    void stopAbandonsPendingReply();
};

void TestMeterSim::answerRequest_data()
{
    QTest::addColumn<MeterKind>("kind");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    const auto single = MeterKind::SinglePhase;
    const auto three = MeterKind::ThreePhase;
    const auto both = MeterKind::Both;

    QTest::newRow("set baud 9600, single")
        << single << 1 << QByteArray("01 10 00 1D 00 01 02 00 20 A4 05")
        << QByteArray("01 10 00 1D 00 01 91 CF");
    QTest::newRow("set address via address 0, single")
        << single << 1 << QByteArray("00 10 00 18 00 01 02 00 05 68 1B")
        << WithCrc("00 10 00 18 00 01");
    QTest::newRow("set address via address 0, three")
        << three << 1 << QByteArray("00 10 00 2F 00 01 02 00 05 6C 5C")
        << WithCrc("00 10 00 2F 00 01");
    QTest::newRow("set serial number, single")
        << single << 1 << QByteArray("01 10 00 14 00 02 04 12 34 56 78 88 64")
        << WithCrc("01 10 00 14 00 02");
    QTest::newRow("write single register")
        << single << 1 << WithCrc("01 06 00 19 00 03") << WithCrc("01 06 00 19 00 03");
    QTest::newRow("read address, single")
        << single << 5 << kReadAddressSingle << QByteArray("00 04 02 00 05 44 F3");
    QTest::newRow("read serial number, single")
        << single << 1 << WithCrc("00 04 00 14 00 02") << QByteArray("00 04 04 12 34 56 78 90 70");
    QTest::newRow("read baud, single")
        << single << 1 << WithCrc("00 04 00 1D 00 01") << QByteArray("00 04 02 00 20 85 28");
    QTest::newRow("read baud, three")
        << three << 1 << WithCrc("00 04 00 2E 00 01") << WithCrc("00 04 02 00 20");
    QTest::newRow("read address block, three")
        << three << 5 << QByteArray("00 04 00 2F 00 06 40 10")
        << WithCrc("00 04 0C 00 05 00 06 00 05 00 02 12 34 56 78");
    QTest::newRow("read at own address")
        << single << 7 << WithCrc("07 04 00 1B 00 01") << WithCrc("07 04 02 00 02");
    QTest::newRow("read at another address")
        << single << 7 << WithCrc("08 04 00 1B 00 01") << QByteArray();
    QTest::newRow("write at another address")
        << single << 7 << WithCrc("01 10 00 19 00 01 02 00 01") << QByteArray();
    QTest::newRow("bad CRC") << single << 1 << QByteArray("00 04 00 18 00 01 B0 1D")
                             << QByteArray();
    QTest::newRow("CRC bytes swapped")
        << single << 1 << QByteArray("00 04 00 18 00 01 1C B0") << QByteArray();
    QTest::newRow("truncated") << single << 1 << QByteArray("00 04 00 18 00") << QByteArray();
    QTest::newRow("one byte") << single << 1 << QByteArray("00") << QByteArray();
    QTest::newRow("empty") << single << 1 << QByteArray() << QByteArray();
    QTest::newRow("unknown register reads 0")
        << single << 1 << WithCrc("00 04 00 40 00 02") << WithCrc("00 04 04 00 00 00 00");
    QTest::newRow("parity, both") << both << 1 << WithCrc("00 04 00 50 00 01")
                                  << WithCrc("00 04 02 00 02");
    QTest::newRow("single baud register, both")
        << both << 1 << WithCrc("00 04 00 1D 00 01") << WithCrc("00 04 02 00 20");
    QTest::newRow("three-phase address block, both")
        << both << 5 << QByteArray("00 04 00 2F 00 06 40 10")
        << WithCrc("00 04 0C 00 05 00 06 00 05 00 02 12 34 56 78");
    QTest::newRow("three-phase setting written, both")
        << both << 1 << WithCrc("01 10 00 44 00 01 02 00 64") << WithCrc("01 10 00 44 00 01");
    QTest::newRow("unmapped register written")
        << single << 1 << WithCrc("01 10 00 40 00 01 02 00 01") << WithCrc("01 90 02");
    QTest::newRow("measured register written")
        << single << 1 << WithCrc("01 10 00 06 00 01 02 00 01") << WithCrc("01 90 02");
    QTest::newRow("password on a single-phase meter")
        << single << 1 << WithCrc("01 10 00 46 00 01 02 12 34") << WithCrc("01 90 02");
    QTest::newRow("address 0 refused")
        << single << 1 << WithCrc("01 10 00 18 00 01 02 00 00") << WithCrc("01 90 03");
    QTest::newRow("address 255 refused")
        << three << 1 << WithCrc("01 10 00 2F 00 01 02 00 FF") << WithCrc("01 90 03");
    QTest::newRow("unknown baud code refused")
        << single << 1 << WithCrc("01 10 00 1D 00 01 02 00 40") << WithCrc("01 90 03");
    QTest::newRow("parity code 3 refused")
        << single << 1 << WithCrc("01 10 00 50 00 01 02 00 03") << WithCrc("01 90 03");
    QTest::newRow("decimals 3 refused")
        << three << 1 << WithCrc("01 10 00 32 00 01 02 00 03") << WithCrc("01 90 03");
    QTest::newRow("byte count disagrees with count")
        << single << 1 << WithCrc("01 10 00 19 00 01 04 00 01 00 02") << WithCrc("01 90 03");
    QTest::newRow("unsupported function")
        << single << 1 << WithCrc("01 03 00 00 00 01") << WithCrc("01 83 01");
    QTest::newRow("read of 0 registers")
        << single << 1 << WithCrc("01 04 00 00 00 00") << WithCrc("01 84 03");
    QTest::newRow("read of 126 registers")
        << single << 1 << WithCrc("01 04 00 00 00 7E") << WithCrc("01 84 03");
    QTest::newRow("read past the last register")
        << single << 1 << WithCrc("01 04 FF FF 00 02") << WithCrc("01 84 02");
}

void TestMeterSim::answerRequest()
{
    QFETCH(MeterKind, kind);
    QFETCH(int, address);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);

    MeterState state;
    state.address = static_cast<std::uint8_t>(address);
    QCOMPARE(ToHex(Answer(state, kind, request)), reply);
}

void TestMeterSim::writeThenRead_data()
{
    QTest::addColumn<MeterKind>("kind");
    QTest::addColumn<int>("reg");
    QTest::addColumn<QByteArray>("values");

    const struct
    {
        MeterKind kind;
        const char* name;
        int reg;
        const char* values;
    } rows[] = {
        {MeterKind::SinglePhase, "serial", 0x14, "87 65 43 21"},
        {MeterKind::SinglePhase, "display time", 0x19, "00 03"},
        {MeterKind::SinglePhase, "screen number", 0x1A, "00 0E"},
        {MeterKind::SinglePhase, "decimals", 0x1B, "00 01"},
        {MeterKind::SinglePhase, "baud", 0x1D, "00 04"},
        {MeterKind::SinglePhase, "parity", 0x50, "00 00"},
        {MeterKind::ThreePhase, "baud", 0x2E, "00 08"},
        {MeterKind::ThreePhase, "screen number", 0x30, "00 03"},
        {MeterKind::ThreePhase, "display time", 0x31, "00 01"},
        {MeterKind::ThreePhase, "decimals", 0x32, "00 01"},
        {MeterKind::ThreePhase, "serial", 0x33, "00 00 00 01"},
        {MeterKind::ThreePhase, "serial, low half only", 0x34, "99 99"},
        {MeterKind::ThreePhase, "CT ratio", 0x44, "00 BE"},
        {MeterKind::ThreePhase, "password", 0x46, "12 34"},
        {MeterKind::ThreePhase, "parity", 0x50, "00 01"},
        {MeterKind::Both, "single-phase screen number", 0x1A, "00 07"},
        {MeterKind::Both, "three-phase password", 0x46, "43 21"},
    };
    const char* kindNames[] = {"single", "three", "both"};
    for (const auto& row : rows) {
        QTest::addRow("%s, %s", kindNames[static_cast<int>(row.kind)], row.name)
            << row.kind << row.reg << QByteArray(row.values);
    }
}

void TestMeterSim::writeThenRead()
{
    QFETCH(MeterKind, kind);
    QFETCH(int, reg);
    QFETCH(QByteArray, values);

    const Bytes data = FromHex(values.constData());
    const int count = static_cast<int>(data.size() / 2);
    const QByteArray head = QStringLiteral("01 10 %1 %2 00 %3 %4")
                                .arg(reg >> 8, 2, 16, QLatin1Char('0'))
                                .arg(reg & 0xFF, 2, 16, QLatin1Char('0'))
                                .arg(count, 2, 16, QLatin1Char('0'))
                                .arg(2 * count, 2, 16, QLatin1Char('0'))
                                .toLatin1();
    const QByteArray readHead = QStringLiteral("00 04 %1 %2 00 %3")
                                    .arg(reg >> 8, 2, 16, QLatin1Char('0'))
                                    .arg(reg & 0xFF, 2, 16, QLatin1Char('0'))
                                    .arg(count, 2, 16, QLatin1Char('0'))
                                    .toLatin1();

    const QByteArray expected = WithCrc(
        QStringLiteral("00 04 %1 ").arg(2 * count, 2, 16, QLatin1Char('0')).toLatin1() + values);
    MeterState state;
    QVERIFY(ToHex(Answer(state, kind, WithCrc(readHead.constData()))) != expected);

    QCOMPARE(ToHex(Answer(state, kind, WithCrc((head + ' ' + values).constData()))),
             WithCrc(head.left(17).constData()));
    QCOMPARE(ToHex(Answer(state, kind, WithCrc(readHead.constData()))), expected);
}

void TestMeterSim::writeChangesState()
{
    MeterState single;
    Answer(single, MeterKind::SinglePhase, WithCrc("01 10 00 1D 00 01 02 00 10"));
    Answer(single, MeterKind::SinglePhase, WithCrc("01 10 00 50 00 01 02 00 00"));
    Answer(single, MeterKind::SinglePhase, WithCrc("01 10 00 1B 00 01 02 00 01"));
    Answer(single, MeterKind::SinglePhase, WithCrc("01 10 00 14 00 02 04 12 30 00 23"));
    QCOMPARE(single.baudCode, std::uint8_t{0x10});
    QCOMPARE(single.parityCode, std::uint8_t{0});
    QCOMPARE(single.decimals, std::uint16_t{1});
    QVERIFY((single.serialNumber == std::array<std::uint8_t, 4>{0x12, 0x30, 0x00, 0x23}));

    MeterState three;
    Answer(three, MeterKind::ThreePhase, WithCrc("01 10 00 44 00 01 02 00 64"));
    Answer(three, MeterKind::ThreePhase, WithCrc("01 10 00 46 00 01 02 98 76"));
    Answer(three, MeterKind::ThreePhase, WithCrc("01 10 00 30 00 01 02 00 09"));
    Answer(three, MeterKind::ThreePhase, WithCrc("01 10 00 31 00 01 02 00 02"));
    QCOMPARE(three.ctRatio, std::uint16_t{100});
    QVERIFY((three.password == std::array<std::uint8_t, 2>{0x98, 0x76}));
    QCOMPARE(three.screenNumber, std::uint16_t{9});
    QCOMPARE(three.displayTime, std::uint16_t{2});
}

void TestMeterSim::refusedWriteChangesNothing()
{
    // Address, display time, screen number and decimals in one write; decimals 5 is refused
    // after the first three were taken: none of them may stick.
    MeterState state;
    const Bytes reply = Answer(state, MeterKind::SinglePhase,
                               WithCrc("01 10 00 18 00 04 08 00 09 00 03 00 07 00 05"));
    QCOMPARE(ToHex(reply), WithCrc("01 90 03"));
    const MeterState fresh;
    QCOMPARE(state.address, fresh.address);
    QCOMPARE(state.displayTime, fresh.displayTime);
    QCOMPARE(state.screenNumber, fresh.screenNumber);
    QCOMPARE(state.decimals, fresh.decimals);
}

void TestMeterSim::newAddressTakesEffect()
{
    MeterState state;
    QVERIFY(!Answer(state, MeterKind::SinglePhase, "00 10 00 18 00 01 02 00 05 68 1B").empty());
    QCOMPARE(state.address, std::uint8_t{5});
    QVERIFY(Answer(state, MeterKind::SinglePhase, WithCrc("01 04 00 18 00 01")).empty());
    QCOMPARE(ToHex(Answer(state, MeterKind::SinglePhase, WithCrc("05 04 00 18 00 01"))),
             WithCrc("05 04 02 00 05"));
    QCOMPARE(ToHex(Answer(state, MeterKind::SinglePhase, kReadAddressSingle)),
             QByteArray("00 04 02 00 05 44 F3"));
}

void TestMeterSim::singlePhaseLayout()
{
    MeterState state;
    state.decimals = 1;
    state.activeEnergy = 12345;
    state.positiveEnergy = 22053;
    state.reverseEnergy = 7;
    state.voltage[0] = 2205;
    state.current[0] = 5123;
    state.activePower[0] = -12340; // 0.01 W: -123.40, sent as -123.4
    state.reactivePower[0] = 12300;
    state.apparentPower = -50;
    state.powerFactor[0] = 866;
    state.frequency = 4998;
    state.constant = 3200;
    state.tariffNumber = 3;
    state.serialNumber = {0x20, 0x24, 0x01, 0x09};
    state.energyStep = 5;

    const Bytes reply = Answer(state, MeterKind::SinglePhase, kReadSinglePhaseValues);
    QCOMPARE(reply.size(), std::size_t{63});
    QCOMPARE(reply[1], std::uint8_t{0x04});
    QCOMPARE(reply[2], std::uint8_t{0x3A});
    QVERIFY(ReplyCrcMatches(reply.data(), reply.size()));

    QCOMPARE(ToHex(std::span(reply).subspan(At(0), 4)), QByteArray("00 01 23 45"));
    QCOMPARE(Bcd(reply, At(2), 4), 22053);
    QCOMPARE(Bcd(reply, At(4), 4), 7);
    QCOMPARE(ToHex(std::span(reply).subspan(At(6), 4)), QByteArray("00 00 22 05"));
    QCOMPARE(Bcd(reply, At(8), 4), 5123);
    QCOMPARE(ToHex(std::span(reply).subspan(At(10), 4)), QByteArray("FF FF ED CC"));
    QCOMPARE(SignedBcd(reply, At(10)), -1234);
    QCOMPARE(ToHex(std::span(reply).subspan(At(12), 4)), QByteArray("00 00 12 30"));
    QCOMPARE(SignedBcd(reply, At(14)), -5);
    QCOMPARE(ToHex(std::span(reply).subspan(At(14), 4)), QByteArray("FF FF FF FB"));
    QCOMPARE(Bcd(reply, At(16), 4), 866);
    QCOMPARE(Bcd(reply, At(18), 4), 4998);
    QCOMPARE(ToHex(std::span(reply).subspan(At(20), 4)), QByteArray("20 24 01 09"));
    QCOMPARE(Bcd(reply, At(22), 4), 3200);
    QCOMPARE(ToHex(std::span(reply).subspan(At(27), 2)), QByteArray("00 01"));
    QCOMPARE(Bcd(reply, At(28), 2), 3);

    // The meter keeps counting: the next reading shows more active and positive energy.
    QCOMPARE(state.activeEnergy, 12350);
    const Bytes again = Answer(state, MeterKind::SinglePhase, kReadSinglePhaseValues);
    QCOMPARE(Bcd(again, At(0), 4), 12350);
    QCOMPARE(Bcd(again, At(2), 4), 22058);
    QCOMPARE(Bcd(again, At(4), 4), 7);

    // A read of one setting register leaves the energies alone.
    Answer(state, MeterKind::SinglePhase, kReadAddressSingle);
    QCOMPARE(state.activeEnergy, 12355);
}

void TestMeterSim::threePhaseLayout()
{
    MeterState state;
    state.voltage = {2300, 2301, 2299};
    state.current = {5000, 1234, 6}; // 0.001 A; sent with 2 decimals
    state.activePower = {100000, -25, 50};
    state.reactivePower = {1, 2, 3};
    state.powerFactor = {866, -866, 1000};
    state.totalPowerFactor = 990;
    state.frequency = 5001;
    state.activeEnergy = 123456;
    state.positiveEnergy = 123400;
    state.reverseEnergy = 56;
    state.reactiveEnergy = -5;

    const Bytes reply = Answer(state, MeterKind::ThreePhase, kReadThreePhaseValues);
    QCOMPARE(reply.size(), std::size_t{97});
    QCOMPARE(reply[2], std::uint8_t{0x5C});
    QVERIFY(ReplyCrcMatches(reply.data(), reply.size()));

    const std::int64_t expected[23] = {123456, 123400, 56,     -5,     2300, 2301, 2299, 500,
                                       123,    1,      100000, -25,    50,   1,    2,    3,
                                       866,    -866,   1000,   100025, 6,    990,  5001};
    for (std::size_t i = 0; i < 23; ++i) {
        QCOMPARE(Int32(reply, At(2 * i)), expected[i]);
    }
    QCOMPARE(ToHex(std::span(reply).subspan(At(34), 4)), QByteArray("FF FF FC 9E"));
    QCOMPARE(state.activeEnergy, 123457);
}

void TestMeterSim::layoutsOfTheMeterThatAnswersBoth()
{
    MeterState state;
    const Bytes single = Answer(state, MeterKind::Both, kReadSinglePhaseValues);
    QCOMPARE(single.size(), std::size_t{63});
    QCOMPARE(ToHex(std::span(single).subspan(At(6), 4)), QByteArray("00 00 23 00"));
    QCOMPARE(ToHex(std::span(single).subspan(At(27), 2)), QByteArray("00 02"));

    const Bytes three = Answer(state, MeterKind::Both, kReadThreePhaseValues);
    QCOMPARE(three.size(), std::size_t{97});
    QCOMPARE(Int32(three, At(8)), 2300);
    QCOMPARE(Int32(three, At(44)), 5000);
}

void TestMeterSim::valuesBeyondTheirRegisters()
{
    MeterState state;
    state.activeEnergy = 123456789;   // 9 digits into 8
    state.activePower[0] = 900000000; // beyond the signed BCD range
    state.voltage[0] = 5'000'000'000; // beyond 32 bits
    state.activePower[1] = -5'000'000'000;
    const Bytes single = Answer(state, MeterKind::SinglePhase, kReadSinglePhaseValues);
    QCOMPARE(ToHex(std::span(single).subspan(At(0), 4)), QByteArray("99 99 99 99"));
    QCOMPARE(SignedBcd(single, At(10)), 79999999);
    const Bytes three = Answer(state, MeterKind::ThreePhase, kReadThreePhaseValues);
    QCOMPARE(ToHex(std::span(three).subspan(At(8), 4)), QByteArray("7F FF FF FF"));
    QCOMPARE(Int32(three, At(22)), std::int64_t{INT32_MIN});

    state.activeEnergy = 99999999;
    state.energyStep = 3;
    Answer(state, MeterKind::SinglePhase, kReadSinglePhaseValues);
    QCOMPARE(state.activeEnergy, 2); // rolls over like the meter's 8-digit register
}

void TestMeterSim::clearZero_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("cleared");

    const QByteArray normal = "FE FE FE FE 68 01 00 00 00 00 00 68 9A 00 6B 16";
    const QByteArray refused = "FE FE FE FE 68 01 00 00 00 00 00 68 DA 01 37 E3 16";
    const QByteArray conventional = "68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 16";

    QTest::newRow("conventional frame") << conventional << normal << true;
    QTest::newRow("built the same way")
        << ClearFrame("AA AA AA AA AA AA", "35 33 33 33", "33 33 33 33") << normal << true;
    QTest::newRow("with preamble") << "FE FE " + conventional << normal << true;
    QTest::newRow("own address") << ClearFrame("01 00 00 00 00 00", "35 33 33 33", "34 35 36 37")
                                 << normal << true;
    QTest::newRow("partly wildcard")
        << ClearFrame("01 AA AA AA AA AA", "35 33 33 33", "33 33 33 33") << normal << true;
    QTest::newRow("another address")
        << ClearFrame("02 00 00 00 00 00", "35 33 33 33", "33 33 33 33") << QByteArray() << false;
    QTest::newRow("bad checksum")
        << QByteArray("68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 89 16") << QByteArray()
        << false;
    QTest::newRow("no end byte")
        << QByteArray("68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 17") << QByteArray()
        << false;
    QTest::newRow("wrong password")
        << ClearFrame("AA AA AA AA AA AA", "35 34 33 33", "33 33 33 33") << refused << false;
    QTest::newRow("other privilege")
        << ClearFrame("AA AA AA AA AA AA", "37 33 33 33", "33 33 33 33") << refused << false;
    QTest::newRow("password without offset")
        << ClearFrame("AA AA AA AA AA AA", "02 00 00 00", "00 00 00 00") << refused << false;
}

void TestMeterSim::clearZero()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, reply);
    QFETCH(bool, cleared);

    MeterState state;
    state.reverseEnergy = 77;
    const MeterState before = state;
    QCOMPARE(ToHex(Answer(state, MeterKind::SinglePhase, frame)), reply);
    if (cleared) {
        QCOMPARE(state.activeEnergy, 0);
        QCOMPARE(state.positiveEnergy, 0);
        QCOMPARE(state.reverseEnergy, 0);
        QCOMPARE(state.reactiveEnergy, 0);
    } else {
        QCOMPARE(state.activeEnergy, before.activeEnergy);
        QCOMPARE(state.reverseEnergy, before.reverseEnergy);
    }
}

void TestMeterSim::completeFrameLength_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("length");

    const QByteArray clear = "68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 16";
    QTest::newRow("read") << kReadAddressSingle << 8;
    QTest::newRow("read and more") << kReadAddressSingle + " 00 04" << 8;
    QTest::newRow("read, 7 of 8") << kReadAddressSingle.left(20) << 0;
    QTest::newRow("read, bad CRC") << QByteArray("00 04 00 18 00 01 B0 1D") << 0;
    QTest::newRow("write") << QByteArray("01 10 00 14 00 02 04 12 34 56 78 88 64") << 13;
    QTest::newRow("write, byte count missing") << QByteArray("01 10 00 14 00 02") << 0;
    QTest::newRow("write, 12 of 13") << QByteArray("01 10 00 14 00 02 04 12 34 56 78 88") << 0;
    QTest::newRow("unknown function") << WithCrc("01 41 00 00 00 00") << 0;
    QTest::newRow("clear") << clear << 20;
    QTest::newRow("clear with preamble") << "FE FE FE FE " + clear << 24;
    QTest::newRow("clear, 19 of 20") << clear.left(56) << 0;
    QTest::newRow("preamble only") << QByteArray("FE FE") << 0;
    QTest::newRow("address 254 read") << WithCrc("FE 04 00 18 00 01") << 8;
}

void TestMeterSim::completeFrameLength()
{
    QFETCH(QByteArray, received);
    QFETCH(int, length);
    const Bytes bytes = FromHex(received.constData());
    QCOMPARE(metersim::CompleteFrameLength(bytes), static_cast<std::size_t>(length));
}

void TestMeterSim::splitIntoPieces_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("n");
    QTest::addColumn<QList<int>>("lengths");

    QTest::newRow("7 in 3") << 7 << 3 << QList<int>{3, 2, 2};
    QTest::newRow("63 in 2") << 63 << 2 << QList<int>{32, 31};
    QTest::newRow("more pieces than bytes") << 2 << 5 << QList<int>{1, 1};
    QTest::newRow("one piece") << 5 << 1 << QList<int>{5};
    QTest::newRow("zero pieces means one") << 5 << 0 << QList<int>{5};
    QTest::newRow("nothing") << 0 << 3 << QList<int>{};
}

void TestMeterSim::splitIntoPieces()
{
    QFETCH(int, size);
    QFETCH(int, n);
    QFETCH(QList<int>, lengths);

    Bytes bytes(static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    const auto pieces = metersim::SplitIntoPieces(bytes, n);
    QList<int> got;
    for (const Bytes& piece : pieces) {
        got << static_cast<int>(piece.size());
    }
    QCOMPARE(got, lengths);
    QCOMPARE(Joined(pieces), bytes);
}

void TestMeterSim::bentReplies()
{
    const Bytes request = FromHex(kReadAddressSingle.constData());
    const Bytes reply = FromHex(kReplyAddressSingle.constData());

    Misbehaviour corrupt;
    corrupt.corruptCrc = true;
    const Bytes bad = metersim::BendReply(reply, request, corrupt);
    QCOMPARE(bad.size(), reply.size());
    QVERIFY(std::equal(bad.begin(), bad.end() - 2, reply.begin()));
    QVERIFY(!ReplyCrcMatches(bad.data(), bad.size()));

    Misbehaviour other;
    other.replyAddress = 9;
    QCOMPARE(ToHex(metersim::BendReply(reply, request, other)), WithCrc("09 04 02 00 01"));

    Misbehaviour exception;
    exception.exceptionCode = 4;
    QCOMPARE(ToHex(metersim::BendReply(reply, request, exception)), WithCrc("00 84 04"));

    Misbehaviour padded;
    padded.garbagePrefix = {0x55, 0xAA};
    padded.overlongTotal = 2000;
    const Bytes longReply = metersim::BendReply(reply, request, padded);
    QCOMPARE(longReply.size(), std::size_t{2002});
    QCOMPARE(ToHex(std::span(longReply).first(9)), "55 AA " + kReplyAddressSingle);
    QVERIFY(
        std::all_of(longReply.begin() + 9, longReply.end(), [](std::uint8_t b) { return b == 0; }));

    // A clear reply keeps its shape; corrupting it spoils the checksum byte.
    const Bytes clear = FromHex("68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 16");
    const Bytes clearReply = FromHex("FE FE FE FE 68 01 00 00 00 00 00 68 9A 00 6B 16");
    Misbehaviour all = corrupt;
    all.replyAddress = 9;
    all.exceptionCode = 4;
    QCOMPARE(ToHex(metersim::BendReply(clearReply, clear, all)),
             QByteArray("FE FE FE FE 68 01 00 00 00 00 00 68 9A 00 94 16"));
}

void TestMeterSim::exceptionReplyRefusesTheRequest()
{
    MeterState state;
    Misbehaviour misbehaviour;
    misbehaviour.exceptionCode = 6;
    const auto response = metersim::Serve(
        state, MeterKind::SinglePhase, FromHex("00 10 00 18 00 01 02 00 05 68 1B"), misbehaviour);
    QCOMPARE(ToHex(Joined(response.pieces)), WithCrc("00 90 06"));
    QCOMPARE(state.address, std::uint8_t{1});
    // Nothing is answered for a request the meter would have ignored anyway.
    QVERIFY(metersim::Serve(state, MeterKind::SinglePhase, FromHex("00 04 00 18 00 01 B0 1D"),
                            misbehaviour)
                .pieces.empty());
}

void TestMeterSim::silentMeterStillCarriesOut()
{
    MeterState state;
    Misbehaviour misbehaviour;
    misbehaviour.silent = true;
    const auto response = metersim::Serve(
        state, MeterKind::SinglePhase, FromHex("00 10 00 18 00 01 02 00 05 68 1B"), misbehaviour);
    QVERIFY(response.pieces.empty());
    QCOMPARE(state.address, std::uint8_t{5});
}

void TestMeterSim::cannedReplyReplacesTheAnswer()
{
    // A three-phase read of the address block answered with a single register, as a
    // single-phase meter would.
    MeterState state;
    Misbehaviour misbehaviour;
    misbehaviour.cannedReply = FromHex("00 04 02 00 05 44 F3");
    misbehaviour.splitPieces = 2;
    const auto read = metersim::Serve(state, MeterKind::ThreePhase,
                                      FromHex("00 04 00 2F 00 06 40 10"), misbehaviour);
    QCOMPARE(read.pieces.size(), std::size_t{2});
    QCOMPARE(ToHex(Joined(read.pieces)), QByteArray("00 04 02 00 05 44 F3"));

    // The write it stands in for is not carried out; an ignored request stays unanswered.
    const auto write = metersim::Serve(state, MeterKind::SinglePhase,
                                       FromHex("00 10 00 18 00 01 02 00 05 68 1B"), misbehaviour);
    QCOMPARE(ToHex(Joined(write.pieces)), QByteArray("00 04 02 00 05 44 F3"));
    QCOMPARE(state.address, std::uint8_t{1});
    QVERIFY(metersim::Serve(state, MeterKind::SinglePhase, FromHex("00 04 00 18 00 01 B0 1D"),
                            misbehaviour)
                .pieces.empty());
}

void TestMeterSim::oneShotIsUsedByTheFirstAnswer()
{
    MeterState state;
    Misbehaviour misbehaviour;
    misbehaviour.corruptCrc = true;
    misbehaviour.splitPieces = 2;
    misbehaviour.delayMs = 40;
    misbehaviour.oneShot = true;

    const Bytes ignored = FromHex("00 04 00 18 00 01 B0 1D");
    QVERIFY(metersim::Serve(state, MeterKind::SinglePhase, ignored, misbehaviour).pieces.empty());
    QVERIFY(misbehaviour.corruptCrc);

    const Bytes request = FromHex(kReadAddressSingle.constData());
    const auto first = metersim::Serve(state, MeterKind::SinglePhase, request, misbehaviour);
    QCOMPARE(first.pieces.size(), std::size_t{2});
    QCOMPARE(first.delayMs, 40);
    const Bytes bent = Joined(first.pieces);
    QVERIFY(!ReplyCrcMatches(bent.data(), bent.size()));
    QVERIFY(!misbehaviour.corruptCrc);

    const auto second = metersim::Serve(state, MeterKind::SinglePhase, request, misbehaviour);
    QCOMPARE(second.pieces.size(), std::size_t{1});
    QCOMPARE(second.delayMs, 0);
    QCOMPARE(ToHex(second.pieces.front()), kReplyAddressSingle);
}

void TestMeterSim::lineRepliesInTime()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    QVERIFY(QByteArray::fromStdString(meter->devicePath()).startsWith("/dev/pts/"));
    meter->start();
    Master master(meter->devicePath());
    QVERIFY(master.isOpen());

    QElapsedTimer timer;
    timer.start();
    QVERIFY(master.send(kReadAddressSingle));
    const auto chunks = master.receive(7, 1000);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(ToHex(Joined(chunks)), kReplyAddressSingle);
    qInfo("reply after %lld ms", elapsed);
    QVERIFY2(elapsed < 200, "a request of known length is answered without waiting out silence");
    QVERIFY(meter->waitForReplies(1, std::chrono::milliseconds(1000)));
    QCOMPARE(meter->requestsSeen(), std::uint64_t{1});
    QCOMPARE(ToHex(meter->lastRequest()), kReadAddressSingle);

    // A write over the line changes the meter's state.
    QVERIFY(master.send("00 10 00 18 00 01 02 00 05 68 1B"));
    QCOMPARE(ToHex(Joined(master.receive(8, 1000))), WithCrc("00 10 00 18 00 01"));
    QCOMPARE(meter->state().address, std::uint8_t{5});
}

void TestMeterSim::lineDelay()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    Misbehaviour misbehaviour;
    misbehaviour.delayMs = 300;
    meter->setMisbehaviour(misbehaviour);
    meter->start();
    Master master(meter->devicePath());

    QElapsedTimer timer;
    timer.start();
    QVERIFY(master.send(kReadAddressSingle));
    QVERIFY(master.receive(7, 250).empty());
    const auto chunks = master.receive(7, 1000);
    QCOMPARE(ToHex(Joined(chunks)), kReplyAddressSingle);
    QVERIFY(timer.elapsed() >= 295);
}

void TestMeterSim::lineSplitReply()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    Misbehaviour misbehaviour;
    misbehaviour.splitPieces = 3;
    misbehaviour.splitGapMs = 80;
    meter->setMisbehaviour(misbehaviour);
    meter->start();
    Master master(meter->devicePath());

    QElapsedTimer timer;
    timer.start();
    QVERIFY(master.send(kReadSinglePhaseValues));
    const auto chunks = master.receive(63, 1000);
    QCOMPARE(chunks.size(), std::size_t{3});
    QCOMPARE(chunks[0].size(), std::size_t{21});
    const Bytes reply = Joined(chunks);
    QCOMPARE(reply.size(), std::size_t{63});
    QVERIFY(ReplyCrcMatches(reply.data(), reply.size()));
    QVERIFY(timer.elapsed() >= 155);
}

void TestMeterSim::lineSilent()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    Misbehaviour misbehaviour;
    misbehaviour.silent = true;
    meter->setMisbehaviour(misbehaviour);
    meter->start();
    Master master(meter->devicePath());

    QVERIFY(master.send(kReadAddressSingle));
    QVERIFY(meter->waitForRequests(1, std::chrono::milliseconds(1000)));
    QVERIFY(master.receive(1, 300).empty());
    QCOMPARE(meter->repliesSent(), std::uint64_t{0});
}

void TestMeterSim::lineOverlong()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    Misbehaviour misbehaviour;
    misbehaviour.overlongTotal = 2000;
    meter->setMisbehaviour(misbehaviour);
    meter->start();
    Master master(meter->devicePath());

    QVERIFY(master.send(kReadAddressSingle));
    const Bytes reply = Joined(master.receive(2000, 500));
    QCOMPARE(reply.size(), std::size_t{2000});
    QCOMPARE(ToHex(std::span(reply).first(7)), kReplyAddressSingle);
    QVERIFY(meter->waitForReplies(1, std::chrono::milliseconds(1000)));
}

void TestMeterSim::lineFrameBoundaries()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    meter->start();
    Master master(meter->devicePath());

    // A request written in two parts, closer together than the frame gap, is one frame.
    QVERIFY(master.send("00 04 00"));
    QTest::qWait(2);
    QVERIFY(master.send("18 00 01 B0 1C"));
    QCOMPARE(ToHex(Joined(master.receive(7, 500))), kReplyAddressSingle);
    QCOMPARE(meter->requestsSeen(), std::uint64_t{1});

    // Noise, then silence, then a request: the noise is a frame of its own and ignored.
    QVERIFY(master.send("55 AA 13"));
    QTest::qWait(60);
    QVERIFY(master.send(kReadAddressSingle));
    QCOMPARE(ToHex(Joined(master.receive(7, 500))), kReplyAddressSingle);
    QCOMPARE(meter->requestsSeen(), std::uint64_t{3});
    // The count goes up once the reply has left, which may be after the master has it.
    QVERIFY(meter->waitForReplies(2, std::chrono::milliseconds(1000)));
    QCOMPARE(meter->repliesSent(), std::uint64_t{2});

    // Two requests back to back are answered in turn.
    QVERIFY(master.send(kReadAddressSingle + " " + kReadAddressSingle));
    QCOMPARE(ToHex(Joined(master.receive(14, 500))),
             kReplyAddressSingle + " " + kReplyAddressSingle);

    // A clear frame arriving with its preamble.
    QVERIFY(master.send("FE FE 68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 16"));
    QCOMPARE(ToHex(Joined(master.receive(16, 500))),
             QByteArray("FE FE FE FE 68 01 00 00 00 00 00 68 9A 00 6B 16"));
    QCOMPARE(meter->state().activeEnergy, 0);
}

void TestMeterSim::lineMasterReopens()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::ThreePhase);
    QVERIFY(meter);
    meter->start();
    {
        Master first(meter->devicePath());
        QVERIFY(first.send(kReadThreePhaseValues));
        QCOMPARE(Joined(first.receive(97, 500)).size(), std::size_t{97});
    }
    Master second(meter->devicePath());
    QVERIFY(second.isOpen());
    QVERIFY(second.send(kReadThreePhaseValues));
    QCOMPARE(Joined(second.receive(97, 500)).size(), std::size_t{97});
}

void TestMeterSim::lineClosed()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    meter->start();
    Master master(meter->devicePath());
    QVERIFY(master.send(kReadAddressSingle));
    QCOMPARE(ToHex(Joined(master.receive(7, 500))), kReplyAddressSingle);

    meter->closeLine();
    QVERIFY(!meter->lineOpen());
    pollfd fd{master.fd(), POLLIN, 0};
    QCOMPARE(::poll(&fd, 1, 1000), 1);
    QVERIFY(fd.revents & POLLHUP);
    std::uint8_t byte = 0;
    const ssize_t n = ::read(master.fd(), &byte, 1);
    QVERIFY(n == 0 || (n < 0 && errno == EIO));
    QVERIFY(meter->isRunning());
    meter->stop();
}

void TestMeterSim::lineOnDevice()
{
    // A pseudo-terminal's second side stands in for a USB adapter: the meter serves the
    // device, the test talks from the first side.
    int master = -1;
    int device = -1;
    QCOMPARE(openpty(&master, &device, nullptr, nullptr, nullptr), 0);
    char name[128] = {};
    QCOMPARE(ptsname_r(master, name, sizeof name), 0);
    termios raw{};
    tcgetattr(device, &raw);
    cfmakeraw(&raw);
    tcsetattr(device, TCSANOW, &raw);

    std::string error;
    QVERIFY(!MeterSimulator::OnDevice(MeterKind::SinglePhase, "/nonexistent/tty", 9600,
                                      metersim::LineParity::None, &error));
    QVERIFY(error.find("/nonexistent/tty") != std::string::npos);

    auto meter = MeterSimulator::OnDevice(MeterKind::SinglePhase, name, 2400,
                                          metersim::LineParity::Even, &error);
    QVERIFY2(meter, error.c_str());
    QCOMPARE(meter->state().baudCode, std::uint8_t{0x08});
    QCOMPARE(meter->state().parityCode, std::uint8_t{0});
    meter->start();

    const auto exchange = [master](const char* hex, std::size_t expected) {
        const Bytes request = FromHex(hex);
        if (::write(master, request.data(), request.size()) !=
            static_cast<ssize_t>(request.size())) {
            return QByteArray("write failed");
        }
        Bytes reply;
        while (reply.size() < expected) {
            pollfd fd{master, POLLIN, 0};
            std::uint8_t buffer[256];
            if (::poll(&fd, 1, 1000) <= 0) {
                break;
            }
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            reply.insert(reply.end(), buffer, buffer + n);
        }
        return ToHex(reply);
    };
    QCOMPARE(exchange("00 04 00 1D 00 01 A0 1D", 7), WithCrc("00 04 02 00 08"));
    termios tio{};
    tcgetattr(device, &tio);
    QCOMPARE(cfgetospeed(&tio), speed_t{B2400});

    // After acknowledging a new baud rate the meter moves its line to it.
    QCOMPARE(exchange("01 10 00 1D 00 01 02 00 20 A4 05", 8),
             QByteArray("01 10 00 1D 00 01 91 CF"));
    QVERIFY(meter->waitForReplies(2, std::chrono::milliseconds(1000)));
    QTRY_VERIFY_WITH_TIMEOUT((tcgetattr(device, &tio), cfgetospeed(&tio) == B9600), 1000);
    meter->stop();
    meter.reset();
    ::close(device);
    ::close(master);
}

void TestMeterSim::stopAbandonsPendingReply()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    Misbehaviour misbehaviour;
    misbehaviour.delayMs = 10000;
    meter->setMisbehaviour(misbehaviour);
    meter->start();
    Master master(meter->devicePath());
    QVERIFY(master.send(kReadAddressSingle));
    QVERIFY(meter->waitForRequests(1, std::chrono::milliseconds(1000)));

    QElapsedTimer timer;
    timer.start();
    meter->stop();
    QVERIFY(timer.elapsed() < 500);
    QCOMPARE(meter->repliesSent(), std::uint64_t{0});
}

QTEST_GUILESS_MAIN(TestMeterSim)
#include "test_metersim.moc"
