#include "answer.h"
#include "simulator.h"

#include "crc.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <numeric>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

// The end-to-end tests of the window run every command against every misbehaviour through
// this meter; what is left here is what they cannot see: exact bytes, state the window never
// reads back, and the line in conditions the window never creates.

using metersim::MeterKind;
using metersim::MeterSimulator;
using metersim::MeterState;
using metersim::Misbehaviour;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Q_DECLARE_METATYPE(MeterKind)

namespace {

Bytes FromHex(const QByteArray& hex)
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

QByteArray WithCrc(const QByteArray& hex)
{
    Bytes bytes = FromHex(hex);
    const std::uint16_t crc = CalcCrc16(bytes.data(), static_cast<std::uint16_t>(bytes.size()));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return ToHex(bytes);
}

Bytes Answer(MeterState& state, MeterKind kind, const QByteArray& hexRequest)
{
    return metersim::AnswerRequest(state, kind, FromHex(hexRequest));
}

// Reading the measured layouts back, written apart from the meter's encoder.
std::uint32_t Reg32(const Bytes& reply, int reg)
{
    const auto at = static_cast<std::size_t>(3 + 2 * reg);
    return std::uint32_t{reply[at]} << 24 | std::uint32_t{reply[at + 1]} << 16 |
           std::uint32_t{reply[at + 2]} << 8 | reply[at + 3];
}

qint64 FromBcd(std::uint32_t code)
{
    qint64 value = 0;
    for (int shift = 28; shift >= 0; shift -= 4) {
        value = value * 10 + (code >> shift & 0xF);
    }
    return value;
}

QList<qint64> Decode(const Bytes& reply)
{
    QList<qint64> values;
    const bool three = reply[2] == 2 * 46;
    for (int reg = 0; reg < (three ? 46 : 0x18); reg += 2) {
        const std::uint32_t code = Reg32(reply, reg);
        // Single-phase powers: a negative value is sent as its magnitude's code negated.
        const bool negative = reg >= 0x0A && reg <= 0x0E && (code & 0x80000000u) != 0;
        values << (three      ? static_cast<std::int32_t>(code)
                   : negative ? -FromBcd(~(code - 1))
                              : FromBcd(code));
    }
    // Single-phase settings, then the tariff number (below 10: its BCD reads as binary).
    for (int reg = 0x18; !three && reg < 0x1D; ++reg) {
        values << (Reg32(reply, reg) >> 16);
    }
    return values;
}

// The master's side of the line: opens the pseudo-terminal like a serial port.
class Master
{
public:
    // The meter has already made the terminal raw; the setting outlives any one opener.
    explicit Master(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~Master() { ::close(m_fd); }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    int fd() const { return m_fd; }
    int reads() const { return m_reads; } // that returned bytes
    // When the first and the last byte of the latest receive() came.
    Clock::time_point firstAt() const { return m_firstAt; }
    Clock::time_point lastAt() const { return m_lastAt; }
    bool setSpeed(int baud)
    {
        const speed_t speed = baud == 1200   ? B1200
                              : baud == 2400 ? B2400
                              : baud == 4800 ? B4800
                                             : B9600;
        termios tio{};
        return ::tcgetattr(m_fd, &tio) == 0 && ::cfsetispeed(&tio, speed) == 0 &&
               ::cfsetospeed(&tio, speed) == 0 && ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }
    bool send(const QByteArray& hex)
    {
        const Bytes bytes = FromHex(hex);
        return ::write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // What arrives until `total` bytes have come or quietMs pass without any.
    Bytes receive(std::size_t total, int quietMs = 500)
    {
        Bytes all;
        while (all.size() < total) {
            pollfd fd{m_fd, POLLIN, 0};
            std::uint8_t buffer[4096];
            const ssize_t n = ::poll(&fd, 1, quietMs) > 0 ? ::read(m_fd, buffer, sizeof buffer) : 0;
            if (n <= 0) {
                break;
            }
            m_lastAt = Clock::now();
            if (all.empty()) {
                m_firstAt = m_lastAt;
            }
            all.insert(all.end(), buffer, buffer + n);
            ++m_reads;
        }
        return all;
    }

private:
    int m_fd;
    int m_reads = 0;
    Clock::time_point m_firstAt;
    Clock::time_point m_lastAt;
};

std::uint8_t BaudCode(int baud)
{
    return baud == 1200 ? 0x04 : baud == 2400 ? 0x08 : baud == 4800 ? 0x10 : 0x20;
}

double MsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A started meter on a pseudo-terminal, wire time on, at the given speed and parity code.
std::unique_ptr<MeterSimulator> WireTimeMeter(MeterKind kind, int baud, std::uint8_t parity = 2)
{
    auto meter = MeterSimulator::OnPseudoTerminal(kind);
    if (meter) {
        meter->updateState([&](MeterState& m) {
            m.baudCode = BaudCode(baud);
            m.parityCode = parity;
        });
        meter->setWireTime(true);
        meter->start();
    }
    return meter;
}

const QByteArray kReadAddress = "00 04 00 18 00 01 B0 1C";
const QByteArray kReadSingleLayout = "00 04 00 00 00 1D 31 D2";
const QByteArray kReadThreeLayout = "00 04 00 00 00 2E 71 C7";
const QByteArray kClear = "68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 16";
// Display time 9 (single-phase register 0x19), to the address given.
QByteArray SetDisplayTime(int address)
{
    return WithCrc(QByteArray::number(address, 16).rightJustified(2, '0') +
                   " 10 00 19 00 01 02 00 09");
}

} // namespace

class TestMeterSim : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void writeThenRead_data();
    void writeThenRead();
    void measuredLayout_data();
    void measuredLayout();
    void completeFrameLength_data();
    void completeFrameLength();
    void splitIntoPieces_data();
    void splitIntoPieces();

    void lineBentReply_data();
    void lineBentReply();
    void lineReopenedThenClosed();
    void stopAbandonsPendingReply();

    void wireTimePacing_data();
    void wireTimePacing();
    void wrongSpeed_data();
    void wrongSpeed();
    void newBaudAfterReply();
    void severalMeters_data();
    void severalMeters();
    void spoilEvery();
    void commandLine_data();
    void commandLine();
};

void TestMeterSim::answers_data()
{
    QTest::addColumn<MeterKind>("kind");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    const auto three = MeterKind::ThreePhase;
    const QByteArray cleared = "FE FE FE FE 68 01 00 00 00 00 00 68 9A 00 6B 16";
    const QByteArray unauthorised = "FE FE FE FE 68 01 00 00 00 00 00 68 DA 01 37 E3 16";
    const QByteArray clear = " 68 1A 08 ";
    const QByteArray toEvery = "68 AA AA AA AA AA AA" + clear;
    const struct
    {
        const char* name;
        QByteArray request;
        QByteArray reply;
        MeterKind kind = MeterKind::SinglePhase;
        int address = 1;
    } rows[] = {
        // The examples the window is built on, CRC bytes in the order sent.
        {"set baud 9600", "01 10 00 1D 00 01 02 00 20 A4 05", "01 10 00 1D 00 01 91 CF"},
        {"set address at 0", "00 10 00 18 00 01 02 00 05 68 1B", WithCrc("00 10 00 18 00 01")},
        {"set address at 0, three", "00 10 00 2F 00 01 02 00 05 6C 5C",
         WithCrc("00 10 00 2F 00 01"), three},
        {"set serial number", "01 10 00 14 00 02 04 12 34 56 78 88 64",
         WithCrc("01 10 00 14 00 02")},
        {"read address", kReadAddress, "00 04 02 00 05 44 F3", MeterKind::SinglePhase, 5},
        {"read serial number", WithCrc("00 04 00 14 00 02"), "00 04 04 12 34 56 78 90 70"},
        {"read baud", WithCrc("00 04 00 1D 00 01"), "00 04 02 00 20 85 28"},
        {"read address block, three", "00 04 00 2F 00 06 40 10",
         WithCrc("00 04 0C 00 05 00 06 00 05 00 02 12 34 56 78"), three, 5},
        // Ignored.
        {"another address", WithCrc("08 04 00 1B 00 01"), "", MeterKind::SinglePhase, 7},
        {"bad CRC", "00 04 00 18 00 01 B0 1D", ""},
        {"CRC bytes swapped", "00 04 00 18 00 01 1C B0", ""},
        {"empty", "", ""},
        // Refused whole, with an exception.
        {"unmapped register written", WithCrc("01 10 00 40 00 01 02 00 01"), WithCrc("01 90 02")},
        {"password, single", WithCrc("01 10 00 46 00 01 02 12 34"), WithCrc("01 90 02")},
        {"address 0", WithCrc("01 10 00 18 00 01 02 00 00"), WithCrc("01 90 03")},
        {"address 255", WithCrc("01 10 00 2F 00 01 02 00 FF"), WithCrc("01 90 03"), three},
        {"unknown baud code", WithCrc("01 10 00 1D 00 01 02 00 40"), WithCrc("01 90 03")},
        {"parity code 3", WithCrc("01 10 00 50 00 01 02 00 03"), WithCrc("01 90 03"), three},
        {"byte count disagrees", WithCrc("01 10 00 19 00 01 04 00 01 00 02"), WithCrc("01 90 03")},
        // Address, display time and screen number are good; decimals 5 spoils all four.
        {"last of four bad", WithCrc("01 10 00 18 00 04 08 00 09 00 03 00 07 00 05"),
         WithCrc("01 90 03")},
        {"unsupported function", WithCrc("01 03 00 00 00 01"), WithCrc("01 83 01")},
        {"read past the last register", WithCrc("01 04 FF FF 00 02"), WithCrc("01 84 02")},
        // The clear frame; bytes 10 to 13 are the privilege level and password plus 0x33.
        {"clear, to every meter", kClear, cleared},
        {"clear, with preamble", "FE FE " + kClear, cleared},
        {"clear, own address", "68 01 00 00 00 00 00" + clear + "35 33 33 33 33 33 33 33 8D 16",
         cleared},
        {"clear, another address", "68 02 00 00 00 00 00" + clear + "35 33 33 33 33 33 33 33 8E 16",
         ""},
        {"clear, bad checksum", toEvery + "35 33 33 33 33 33 33 33 89 16", ""},
        {"clear, wrong password", toEvery + "35 34 33 33 33 33 33 33 89 16", unauthorised},
        {"clear, other privilege", toEvery + "37 33 33 33 33 33 33 33 8A 16", unauthorised},
    };
    for (const auto& row : rows) {
        QTest::newRow(row.name) << row.kind << row.address << row.request << row.reply;
    }
}

void TestMeterSim::answers()
{
    QFETCH(MeterKind, kind);
    QFETCH(int, address);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);

    const auto snapshot = [](const MeterState& s) {
        return QList<qint64>{s.activeEnergy, s.positiveEnergy, s.reverseEnergy, s.reactiveEnergy,
                             s.address,      s.baudCode,       s.parityCode,    s.displayTime,
                             s.screenNumber, s.decimals,       s.ctRatio,       s.serialNumber[3],
                             s.password[1]};
    };
    MeterState state;
    state.address = static_cast<std::uint8_t>(address);
    state.reverseEnergy = 77;
    QList<qint64> expected = snapshot(state);
    const Bytes answer = Answer(state, kind, request);
    QCOMPARE(ToHex(answer), reply);
    if (answer.size() > 12 && answer[12] == 0x9A) {
        std::fill_n(expected.begin(), 4, 0); // the energies, cleared
    }
    // Ignored and refused requests change nothing; a clear reply starts with 0xFE too.
    if (answer.empty() || (answer[1] & 0x80) != 0) {
        QCOMPARE(snapshot(state), expected);
    }
}

void TestMeterSim::writeThenRead_data()
{
    QTest::addColumn<MeterKind>("kind");
    QTest::addColumn<QByteArray>("reg");
    QTest::addColumn<QByteArray>("values");

    const char* rows[][3] = {
        {"single, serial", "00 14", "87 65 43 21"},
        {"single, display time", "00 19", "00 03"},
        {"single, screen number", "00 1A", "00 0E"},
        {"single, decimals", "00 1B", "00 01"},
        {"single, baud", "00 1D", "00 04"},
        {"single, parity", "00 50", "00 00"},
        {"three, baud", "00 2E", "00 08"},
        {"three, screen number", "00 30", "00 03"},
        {"three, display time", "00 31", "00 01"},
        {"three, decimals", "00 32", "00 01"},
        {"three, serial", "00 33", "00 00 00 01"},
        {"three, serial, low half only", "00 34", "99 99"},
        {"three, CT ratio", "00 44", "00 BE"},
        {"three, password", "00 46", "12 34"},
        {"three, parity", "00 50", "00 01"},
    };
    for (const auto& row : rows) {
        const MeterKind kind = row[0][0] == 's' ? MeterKind::SinglePhase : MeterKind::ThreePhase;
        QTest::newRow(row[0]) << kind << QByteArray(row[1]) << QByteArray(row[2]);
    }
}

void TestMeterSim::writeThenRead()
{
    QFETCH(MeterKind, kind);
    QFETCH(QByteArray, reg);
    QFETCH(QByteArray, values);

    const auto count = static_cast<int>(FromHex(values).size() / 2);
    const QByteArray registers = "0" + QByteArray::number(count);
    const QByteArray bytes = "0" + QByteArray::number(2 * count);
    const QByteArray read = WithCrc("00 04 " + reg + " 00 " + registers);
    const QByteArray readBack = WithCrc("00 04 " + bytes + " " + values);
    const QByteArray write = "01 10 " + reg + " 00 " + registers;

    MeterState state;
    QVERIFY(ToHex(Answer(state, kind, read)) != readBack);
    QCOMPARE(ToHex(Answer(state, kind, WithCrc(write + " " + bytes + " " + values))),
             WithCrc(write));
    QCOMPARE(ToHex(Answer(state, kind, read)), readBack);
}

void TestMeterSim::measuredLayout_data()
{
    QTest::addColumn<MeterKind>("kind");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QList<qint64>>("values");

    // The state of measuredLayout() as each layout shows it. Currents are kept in mA and sent
    // in 10 mA (5123 -> 512, 6 -> 1); values beyond their registers stick at the limit.
    QTest::newRow("single") << MeterKind::SinglePhase << kReadSingleLayout
                            << QList<qint64>{99999998, 99999999, 0,   2205, 5123,     -1234,
                                             1230,     79999999, 866, 5000, 12345678, 1600,
                                             1,        5,        6,   2,    3};
    QTest::newRow("three") << MeterKind::ThreePhase << kReadThreeLayout
                           << QList<qint64>{99999998,  123456789, 0,    -5,    2205,
                                            INT32_MAX, 2299,      512,  123,   1,
                                            -12340,    -25,       50,   12300, 2,
                                            INT32_MIN, 866,       -866, 1000,  -12315,
                                            INT32_MIN, 980,       5000};
}

void TestMeterSim::measuredLayout()
{
    QFETCH(MeterKind, kind);
    QFETCH(QByteArray, request);
    QFETCH(QList<qint64>, values);

    MeterState state;
    state.activeEnergy = 99999998;
    state.positiveEnergy = 123456789; // 9 digits
    state.reactiveEnergy = -5;
    state.voltage = {2205, 5'000'000'000, 2299};
    state.current = {5123, 1234, 6};
    state.activePower = {-12340, -25, 50};
    state.reactivePower = {12300, 2, -5'000'000'000};
    state.apparentPower = 900'000'000;
    state.powerFactor = {866, -866, 1000};
    state.tariffNumber = 3;
    state.energyStep = 5;

    const Bytes reply = Answer(state, kind, request);
    const std::size_t count = FromHex(request)[5];
    QCOMPARE(reply.size(), 5 + 2 * count);
    QVERIFY(ReplyCrcMatches(reply.data(), reply.size()));
    QCOMPARE(Decode(reply), values);
    // The meter keeps counting, its 8-digit register rolling over.
    QCOMPARE(Decode(Answer(state, kind, request)).front(), qint64{3});
}

void TestMeterSim::completeFrameLength_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("length");

    QTest::newRow("read and more") << kReadAddress + " 00 04" << 8;
    QTest::newRow("read, bad CRC") << QByteArray("00 04 00 18 00 01 B0 1D") << 0;
    QTest::newRow("read at address 254") << WithCrc("FE 04 00 18 00 01") << 8;
    QTest::newRow("write") << QByteArray("01 10 00 14 00 02 04 12 34 56 78 88 64") << 13;
    QTest::newRow("write, 12 of 13") << QByteArray("01 10 00 14 00 02 04 12 34 56 78 88") << 0;
    QTest::newRow("unknown function") << WithCrc("01 41 00 00 00 00") << 0;
    QTest::newRow("clear with preamble") << "FE FE FE FE " + kClear << 24;
    QTest::newRow("clear, 19 of 20") << kClear.left(56) << 0;
}

void TestMeterSim::completeFrameLength()
{
    QFETCH(QByteArray, received);
    QFETCH(int, length);
    QCOMPARE(metersim::CompleteFrameLength(FromHex(received)), static_cast<std::size_t>(length));
}

void TestMeterSim::splitIntoPieces_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("n");
    QTest::addColumn<QList<int>>("lengths");

    QTest::newRow("7 in 3") << 7 << 3 << QList<int>{3, 2, 2};
    QTest::newRow("more pieces than bytes") << 2 << 5 << QList<int>{1, 1};
    QTest::newRow("zero pieces means one") << 5 << 0 << QList<int>{5};
    QTest::newRow("nothing") << 0 << 3 << QList<int>{};
}

void TestMeterSim::splitIntoPieces()
{
    QFETCH(int, size);
    QFETCH(int, n);
    QFETCH(QList<int>, lengths);

    Bytes bytes(static_cast<std::size_t>(size));
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    QList<int> got;
    Bytes joined;
    for (const Bytes& piece : metersim::SplitIntoPieces(bytes, n)) {
        got << static_cast<int>(piece.size());
        joined.insert(joined.end(), piece.begin(), piece.end());
    }
    QCOMPARE(got, lengths);
    QCOMPARE(joined, bytes);
}

void TestMeterSim::lineBentReply_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("total"); // bytes on the line; more than the reply when overlong

    QTest::newRow("3 pieces 80 ms apart") << kReadSingleLayout << 3 << 0 << 63;
    QTest::newRow("300 ms late") << kReadAddress << 1 << 300 << 7;
    QTest::newRow("overlong") << kReadAddress << 1 << 0 << 2000;
}

void TestMeterSim::lineBentReply()
{
    QFETCH(QByteArray, request);
    QFETCH(int, pieces);
    QFETCH(int, delayMs);
    QFETCH(int, total);

    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    Misbehaviour misbehaviour;
    misbehaviour.splitPieces = pieces;
    misbehaviour.splitGapMs = 80;
    misbehaviour.delayMs = delayMs;
    misbehaviour.overlongTotal = static_cast<std::size_t>(total);
    meter->setMisbehaviour(misbehaviour);
    meter->start();
    Master master(meter->devicePath());
    MeterState fresh;
    const Bytes reply = Answer(fresh, MeterKind::SinglePhase, request);

    QElapsedTimer timer;
    timer.start();
    QVERIFY(master.send(request));
    const Bytes line = master.receive(static_cast<std::size_t>(total), delayMs + 200);
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(line.size(), static_cast<std::size_t>(total));
    QCOMPARE(ToHex(std::span(line).first(reply.size())), ToHex(reply));
    if (pieces > 1) {
        QCOMPARE(master.reads(), pieces);
    }
    QVERIFY2(elapsed >= delayMs + (pieces - 1) * 80 - 5, qPrintable(QString::number(elapsed)));
}

void TestMeterSim::lineReopenedThenClosed()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::ThreePhase);
    QVERIFY(meter);
    meter->start();
    for (int round = 0; round < 2; ++round) {
        Master master(meter->devicePath());
        QVERIFY(master.send(kReadThreeLayout));
        QCOMPARE(master.receive(97).size(), std::size_t{97});
        QTest::qWait(50); // long enough for the meter to see the master gone
    }

    // The device vanishes under a master that has it open: the master sees a hang-up.
    Master master(meter->devicePath());
    meter->closeLine();
    QVERIFY(!meter->lineOpen());
    pollfd fd{master.fd(), POLLIN, 0};
    QCOMPARE(::poll(&fd, 1, 1000), 1);
    QVERIFY(fd.revents & POLLHUP);
    std::uint8_t byte = 0;
    const ssize_t n = ::read(master.fd(), &byte, 1);
    QVERIFY(n == 0 || (n < 0 && errno == EIO));
    QVERIFY(meter->isRunning());
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
    QVERIFY(master.send(kReadAddress));
    QVERIFY(meter->waitForRequests(1, std::chrono::milliseconds(1000)));

    QElapsedTimer timer;
    timer.start();
    meter->stop();
    QVERIFY(timer.elapsed() < 500);
    QCOMPARE(meter->repliesSent(), std::uint64_t{0});
}

void TestMeterSim::wireTimePacing_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parity");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("length");

    QTest::newRow("97 bytes at 9600") << 9600 << 2 << kReadThreeLayout << 97;
    QTest::newRow("7 bytes at 4800, even parity") << 4800 << 0 << kReadAddress << 7;
}

void TestMeterSim::wireTimePacing()
{
    QFETCH(int, baud);
    QFETCH(int, parity);
    QFETCH(QByteArray, request);
    QFETCH(int, length);

    auto meter = WireTimeMeter(MeterKind::ThreePhase, baud, static_cast<std::uint8_t>(parity));
    QVERIFY(meter);
    Master master(meter->devicePath());
    QVERIFY(master.setSpeed(baud));
    QCOMPARE(meter->lineBaud(), baud);

    const double character = (parity == 2 ? 10 : 11) * 1000.0 / baud;
    const Clock::time_point sent = Clock::now();
    QVERIFY(master.send(request));
    const Bytes reply = master.receive(static_cast<std::size_t>(length));
    QCOMPARE(reply.size(), static_cast<std::size_t>(length));
    QVERIFY(ReplyCrcMatches(reply.data(), reply.size()));

    // Each byte is in once the request's 8 and its own have crossed the line: never sooner.
    // How late is up to the scheduler of a loaded machine (both threads, the meter's and
    // ours, must be woken), so the upper bound is loose: it still catches a pacing that
    // drifts by a millisecond a byte, as sleeps rounded to whole milliseconds would.
    const double first = MsBetween(sent, master.firstAt());
    const double last = MsBetween(sent, master.lastAt());
    const QString figures = QStringLiteral("first %1 ms, last %2 ms").arg(first).arg(last);
    const double late = 20 + 0.5 * (8 + length) * character;
    QVERIFY2(first >= 9 * character - 0.2 && first <= 9 * character + late, qPrintable(figures));
    QVERIFY2(last >= (8 + length) * character - 0.2 && last <= (8 + length) * character + late,
             qPrintable(figures));
}

void TestMeterSim::wrongSpeed_data()
{
    QTest::addColumn<int>("meterBaud");
    QTest::addColumn<int>("masterBaud");
    QTest::addColumn<bool>("noise");
    QTest::addColumn<int>("bytes"); // what arrives

    QTest::newRow("own speed") << 9600 << 9600 << true << 8;
    QTest::newRow("master slower, silent") << 9600 << 2400 << false << 0;
    QTest::newRow("master faster, silent") << 2400 << 9600 << false << 0;
    // Four of the meter's characters to each of the master's.
    QTest::newRow("master slower, noise") << 9600 << 2400 << true << 2;
    QTest::newRow("master faster, noise") << 2400 << 9600 << true << 8;
}

void TestMeterSim::wrongSpeed()
{
    QFETCH(int, meterBaud);
    QFETCH(int, masterBaud);
    QFETCH(bool, noise);
    QFETCH(int, bytes);

    auto meter = WireTimeMeter(MeterKind::SinglePhase, meterBaud);
    QVERIFY(meter);
    meter->setNoiseAtWrongSpeed(noise);
    const std::uint16_t displayTime = meter->state().displayTime;
    Master master(meter->devicePath());
    QVERIFY(master.setSpeed(masterBaud));

    QVERIFY(master.send(SetDisplayTime(1)));
    QVERIFY(meter->waitForRequests(1, std::chrono::milliseconds(1000)));
    const Bytes line = master.receive(16, 80);
    QCOMPARE(line.size(), static_cast<std::size_t>(bytes));
    if (meterBaud == masterBaud) {
        QCOMPARE(ToHex(line), WithCrc("01 10 00 19 00 01"));
        QCOMPARE(meter->state().displayTime, std::uint16_t{9});
        return;
    }
    // What the meter could not hear, it cannot carry out.
    QVERIFY(!ReplyCrcMatches(line.data(), line.size()));
    QCOMPARE(meter->state().displayTime, displayTime);
    QCOMPARE(meter->repliesSent(), std::uint64_t{bytes > 0 ? 1u : 0u});
}

void TestMeterSim::newBaudAfterReply()
{
    auto meter = WireTimeMeter(MeterKind::SinglePhase, 9600);
    QVERIFY(meter);
    Master master(meter->devicePath());
    QVERIFY(master.setSpeed(9600));

    // Set 1200 baud. The echo still goes out at 9600 (11 + 8 characters: 20 ms); at 1200 it
    // would end at 78 ms.
    const Clock::time_point sent = Clock::now();
    QVERIFY(master.send(WithCrc("01 10 00 1D 00 01 02 00 04")));
    QCOMPARE(master.receive(8).size(), std::size_t{8});
    QVERIFY2(MsBetween(sent, master.lastAt()) < 60, "the echo went out at the new speed");

    QVERIFY(master.send(kReadAddress));
    QVERIFY(meter->waitForRequests(2, std::chrono::milliseconds(1000)));
    QVERIFY(master.receive(7, 100).empty());
    QVERIFY(master.setSpeed(1200));
    QVERIFY(master.send(kReadAddress));
    QCOMPARE(ToHex(master.receive(7)), WithCrc("00 04 02 00 01"));
}

void TestMeterSim::severalMeters_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("meter"); // the one that takes the write, -1 none

    QTest::newRow("first") << 1 << 0;
    QTest::newRow("last") << 9 << 2;
    QTest::newRow("nobody's") << 7 << -1;
    QTest::newRow("every meter's: the first alone") << 0 << 0;
}

void TestMeterSim::severalMeters()
{
    QFETCH(int, address);
    QFETCH(int, meter);

    auto line = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(line);
    MeterState state;
    for (const std::uint8_t other : {5, 9}) {
        state.address = other;
        line->addMeter(state);
    }
    line->start();
    Master master(line->devicePath());

    QVERIFY(master.send(SetDisplayTime(address)));
    QVERIFY(line->waitForRequests(1, std::chrono::milliseconds(1000)));
    // Room for two replies, so that a second meter answering would show.
    const Bytes reply = master.receive(16, 50);
    const QByteArray echo = meter < 0 ? QByteArray() : SetDisplayTime(address).left(17);
    QCOMPARE(ToHex(reply), meter < 0 ? QByteArray() : WithCrc(echo));
    for (std::size_t i = 0; i < line->meterCount(); ++i) {
        const bool changed = static_cast<int>(i) == meter;
        QCOMPARE(line->state(i).displayTime, changed ? std::uint16_t{9} : state.displayTime);
    }
}

void TestMeterSim::spoilEvery()
{
    auto meter = MeterSimulator::OnPseudoTerminal(MeterKind::SinglePhase);
    QVERIFY(meter);
    Misbehaviour misbehaviour;
    misbehaviour.spoilEvery = 3;
    meter->setMisbehaviour(misbehaviour);
    meter->start();
    Master master(meter->devicePath());

    // g: a good reply, b: a spoiled one, -: a request to another meter, which is not counted.
    // The misbehaviour set again starts counting afresh.
    const QByteArray script = "gg-bggbg|ggb";
    for (const char step : script) {
        if (step == '|') {
            meter->setMisbehaviour(misbehaviour);
            continue;
        }
        QVERIFY(master.send(step == '-' ? WithCrc("07 04 00 18 00 01") : kReadAddress));
        const Bytes reply = master.receive(7, step == '-' ? 50 : 500);
        if (step == '-') {
            QVERIFY(reply.empty());
            continue;
        }
        QCOMPARE(reply.size(), std::size_t{7});
        QCOMPARE(ReplyCrcMatches(reply.data(), reply.size()), step == 'g');
        QCOMPARE(ToHex(std::span(reply).first(5)), QByteArray("00 04 02 00 01"));
    }
}

void TestMeterSim::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said"); // the start of the first line of output

    const QByteArray usage = "quorvex-metersim: ";
    QTest::newRow("address twice") << QStringList{"--address", "3,4,3"} << 2 << usage + "--address";
    QTest::newRow("address list ends in a comma") << QStringList{"--address=3,"} << 2 << usage;
    QTest::newRow("noise without wire time")
        << QStringList{"--noise-at-wrong-speed"} << 2 << usage + "--noise-at-wrong-speed needs";
    QTest::newRow("wire time beyond the meter's speeds")
        << QStringList{"--wire-time", "--baud", "19200"} << 2 << usage + "--wire-time";
    QTest::newRow("three meters") << QStringList{"--address",
                                                 "2,3,4",
                                                 "--wire-time",
                                                 "--noise-at-wrong-speed",
                                                 "--spoil-every",
                                                 "5",
                                                 "--baud",
                                                 "2400",
                                                 "--",
                                                 "true"}
                                  << 0
                                  << usage +
                                         "3 single phase meters at addresses 2, 3, 4 on /dev/pts/";
}

void TestMeterSim::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, said);

    QProcess process;
    process.start(QStringLiteral(QVX_METERSIM), arguments);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), status);
    const QByteArray output =
        status == 0 ? process.readAllStandardOutput() : process.readAllStandardError();
    QVERIFY2(output.startsWith(said), output.constData());
}

QTEST_GUILESS_MAIN(TestMeterSim)
#include "test_metersim.moc"
