// The traffic log: the words for each kind of frame, the time and line formats, the bound of
// the store and its use from several threads.

#include "testsupport.h"

#include "answer.h"
#include "frame.h"
#include "framelog.h"

#include <QRandomGenerator>
#include <QTest>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>

Q_DECLARE_METATYPE(FrameDirection)
Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(std::chrono::system_clock::time_point)

namespace {

// A DL/T 645 frame with its checksum (the byte sum of the frame after the wake-up bytes) and
// end byte appended.
Bytes WithChecksum(Bytes bytes, int preamble = 0)
{
    unsigned sum = 0;
    for (std::size_t i = static_cast<std::size_t>(preamble); i < bytes.size(); ++i) {
        sum += bytes[i];
    }
    bytes.push_back(static_cast<std::uint8_t>(sum));
    bytes.push_back(0x16);
    return bytes;
}

const Bytes kClearFrame = WithChecksum(FromHex("68 AAAAAAAAAAAA 68 1A 08 35333333 33333333"));

QString Describe(FrameDirection direction, const Bytes& bytes, const Bytes& request = {})
{
    return QString::fromStdString(DescribeFrame(direction, bytes, request));
}

LoggedFrame Numbered(int n)
{
    LoggedFrame frame;
    frame.direction = n % 2 ? FrameDirection::Rx : FrameDirection::Tx;
    frame.bytes = {static_cast<std::uint8_t>(n)};
    frame.meaning = std::to_string(n);
    return frame;
}

QStringList Meanings(const std::vector<LoggedFrame>& frames)
{
    QStringList meanings;
    for (const LoggedFrame& frame : frames) {
        meanings << QString::fromStdString(frame.meaning);
    }
    return meanings;
}

// Sets the time zone for the duration of a test, by POSIX rule so that no zone files are
// needed, and puts the previous one back.
class ZoneGuard
{
public:
    explicit ZoneGuard(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (m_old.isEmpty()) {
            unsetenv("TZ");
        } else {
            setenv("TZ", m_old.constData(), 1);
        }
        tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    QByteArray m_old;
};

std::chrono::system_clock::time_point Utc(std::chrono::year_month_day day, int hour, int minute,
                                          int second, int millisecond)
{
    using namespace std::chrono;
    return sys_days(day) + hours(hour) + minutes(minute) + seconds(second) +
           milliseconds(millisecond);
}

} // namespace

class TestFrameLog : public QObject
{
    Q_OBJECT

private slots:
    void describe_data();
    void describe();
    void describeNeverReadsPastTheBytes();

    void logTime_data();
    void logTime();
    void logLine();

    void keepsTheLastFrames_data();
    void keepsTheLastFrames();
    void appendsFromSeveralThreads();
    void listenerIsGoneOnceReplaced();
};

void TestFrameLog::describe_data()
{
    QTest::addColumn<FrameDirection>("direction");
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<QString>("meaning");

    const auto tx = FrameDirection::Tx;
    const auto rx = FrameDirection::Rx;
    const Bytes none;
    const Bytes readTwo = WithCrc(FromHex("00 04 0000 0002"));
    const Bytes readMeter = WithCrc(FromHex("00 04 0000 002E"));
    const Bytes writeOne = WithCrc(FromHex("01 10 0003 0001 02 0020"));
    const Bytes twoValues = WithCrc(FromHex("01 04 04 0005 0006"));
    Bytes badCrc = FromHex("01 03 0000 0001 840A");
    badCrc.back() = 0x0B;
    Bytes badChecksum = kClearFrame;
    badChecksum[18] ^= 0x01;
    const Bytes clearReply = WithChecksum(FromHex("FEFEFEFE 68 010000000000 68 9A 00"), 4);
    Bytes cutClearReply = clearReply;
    cutClearReply.pop_back();

    // Requests.
    QTest::newRow("read input") << tx << readMeter << none
                                << "read input registers 0x0000 ×46 → address 0, CRC good";
    QTest::newRow("write one") << tx << FromHex("01 10 001D 0001 02 0020 A405") << none
                               << "write 0x001D ×1 = 0x0020 → address 1, CRC good";
    QTest::newRow("write two") << tx << WithCrc(FromHex("00 10 0014 0002 04 1234 5678")) << none
                               << "write 0x0014 ×2 = 0x1234 0x5678 → address 0, CRC good";
    QTest::newRow("write, count and data disagree")
        << tx << WithCrc(FromHex("01 10 001D 0002 02 0020")) << none
        << "function 0x10 → address 1, 7 data bytes, CRC good";
    QTest::newRow("write single") << tx << WithCrc(FromHex("01 06 0003 0020")) << none
                                  << "write single 0x0003 = 0x0020 → address 1, CRC good";
    QTest::newRow("other function") << tx << WithCrc(FromHex("01 2B 0E 01 00")) << none
                                    << "function 0x2B → address 1, 3 data bytes, CRC good";
    QTest::newRow("clear") << tx << kClearFrame << none
                           << "DL/T 645 meter clear to AAAAAAAAAAAA, checksum good";
    QTest::newRow("clear, checksum bad")
        << tx << badChecksum << none
        << "DL/T 645 meter clear to AAAAAAAAAAAA, checksum bad (got 89, want 88)";
    QTest::newRow("CRC bad") << tx << badCrc << none << "CRC bad (got 840B, want 840A)";
    QTest::newRow("three bytes") << tx << FromHex("01 04 00") << none << "not a frame (3 bytes)";
    QTest::newRow("nothing") << rx << none << readTwo << "not a frame (0 bytes)";

    // Replies.
    QTest::newRow("read reply") << rx << twoValues << readTwo
                                << "reply from address 1 to 0x0000 ×2: 0x0005 0x0006, CRC good";
    QTest::newRow("read reply, no request")
        << rx << twoValues << none << "reply from address 1, 2 registers: 0x0005 0x0006, CRC good";
    QTest::newRow("read reply, fewer than asked")
        << rx << twoValues << readMeter
        << "reply from address 1 to 0x0000 ×46 with 2 registers: 0x0005 0x0006, CRC good";
    QTest::newRow("read reply to a write")
        << rx << twoValues << writeOne
        << "reply from address 1, 2 registers: 0x0005 0x0006, CRC good";
    QTest::newRow("read reply, request CRC bad")
        << rx << twoValues << badCrc
        << "reply from address 1, 2 registers: 0x0005 0x0006, CRC good";
    QTest::newRow("read reply, byte count too large")
        << rx << WithCrc(FromHex("01 04 06 0005 0006")) << readTwo
        << "reply from address 1 with byte count 6 but 4 data bytes, CRC good";
    QTest::newRow("read reply, odd bytes") << rx << WithCrc(FromHex("01 04 03 000500")) << readTwo
                                           << "reply from address 1: 3 bytes 00 05 00, CRC good";
    QTest::newRow("write echo") << rx << WithCrc(FromHex("01 10 0003 0001")) << writeOne
                                << "write echo 0x0003 ×1 from address 1, CRC good";
    QTest::newRow("write echo, other register")
        << rx << WithCrc(FromHex("01 10 0018 0001")) << writeOne
        << "write echo 0x0018 ×1 from address 1, not the request's 0x0003 ×1, CRC good";
    QTest::newRow("write single echo")
        << rx << WithCrc(FromHex("01 06 0003 0020")) << none
        << "write single echo 0x0003 = 0x0020 from address 1, CRC good";
    QTest::newRow("exception")
        << rx << WithCrc(FromHex("01 84 02")) << readTwo
        << "exception 0x02 (illegal data address) to function 0x04 from address 1, CRC good";
    QTest::newRow("exception, unknown code")
        << rx << WithCrc(FromHex("01 90 09")) << writeOne
        << "exception 0x09 to function 0x10 from address 1, CRC good";
    QTest::newRow("clear reply")
        << rx << clearReply << kClearFrame
        << "DL/T 645 meter clear reply from 000000000001: normal, checksum good";
    QTest::newRow("clear refused")
        << rx << WithChecksum(FromHex("FEFE 68 120000000000 68 DA 01 37"), 2) << kClearFrame
        << "DL/T 645 meter clear reply from 000000000012: refused (error 0x04 unauthorised), "
           "checksum good";
    QTest::newRow("clear refused, no error byte")
        << rx << WithChecksum(FromHex("68 010000000000 68 DA 00")) << kClearFrame
        << "DL/T 645 meter clear reply from 000000000001: refused (no error byte), checksum good";
    QTest::newRow("clear reply cut")
        << rx << cutClearReply << kClearFrame << "not a DL/T 645 frame (15 bytes)";
    QTest::newRow("modbus reply to the clear")
        << rx << twoValues << kClearFrame << "not a DL/T 645 frame (9 bytes)";
}

void TestFrameLog::describe()
{
    QFETCH(FrameDirection, direction);
    QFETCH(Bytes, bytes);
    QFETCH(Bytes, request);
    QFETCH(QString, meaning);
    QCOMPARE(Describe(direction, bytes, request), meaning);
}

// Every cut of real frames, and random bytes, with and without a request: the words always
// say something, and (in the sanitizer build) no byte outside the frame is read.
void TestFrameLog::describeNeverReadsPastTheBytes()
{
    metersim::MeterState meter;
    const Frame read = BuildReadRequest(0, 0, 46);
    const Frame clear = BuildClearZeroFrame();
    const std::vector<Bytes> requests{{},
                                      Bytes(read.bytes().begin(), read.bytes().end()),
                                      Bytes(clear.bytes().begin(), clear.bytes().end())};
    std::vector<Bytes> frames;
    for (const Bytes& request : requests) {
        const Bytes reply =
            metersim::AnswerRequest(meter, metersim::MeterKind::ThreePhase, request);
        for (const Bytes& whole : {request, reply}) {
            for (std::size_t n = 0; n <= whole.size(); ++n) {
                frames.emplace_back(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
            }
        }
    }
    QRandomGenerator random(1234);
    for (int i = 0; i < 2000; ++i) {
        Bytes bytes(random.bounded(40));
        for (std::uint8_t& byte : bytes) {
            // Bytes that open frames are common, so that the random frames get past the first
            // checks.
            static constexpr std::uint8_t kLikely[] = {0x68, 0xFE, 0x16, 0x01, 0x04, 0x10, 0x84};
            byte = random.bounded(3) == 0 ? kLikely[random.bounded(7)]
                                          : static_cast<std::uint8_t>(random.bounded(256));
        }
        frames.push_back(WithCrc(bytes));
        frames.push_back(bytes);
    }
    for (const Bytes& request : requests) {
        for (const Bytes& frame : frames) {
            // Heap copies of exactly the frame's size, so that the sanitizer sees any overrun.
            const auto copy = std::make_unique<std::uint8_t[]>(frame.size() + 1);
            std::copy(frame.begin(), frame.end(), copy.get());
            const std::span<const std::uint8_t> bytes(copy.get(), frame.size());
            for (const auto direction : {FrameDirection::Tx, FrameDirection::Rx}) {
                QVERIFY(!DescribeFrame(direction, bytes, request).empty());
            }
        }
    }
}

void TestFrameLog::logTime_data()
{
    using namespace std::chrono;
    using std::chrono::December;
    using std::chrono::July;
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<system_clock::time_point>("time");
    QTest::addColumn<QString>("text");

    const auto winter = Utc(2026y / December / 7, 16, 11, 59, 123);
    const auto summer = Utc(2026y / July / 1, 22, 30, 0, 5);
    QTest::newRow("UTC") << QByteArray("UTC0") << winter << "2026-12-07T16:11:59.123+00:00";
    QTest::newRow("central Europe, winter")
        << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << winter << "2026-12-07T17:11:59.123+01:00";
    QTest::newRow("central Europe, summer, next day")
        << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << summer << "2026-07-02T00:30:00.005+02:00";
    QTest::newRow("half hour east")
        << QByteArray("<+0530>-5:30") << winter << "2026-12-07T21:41:59.123+05:30";
    QTest::newRow("half hour west")
        << QByteArray("<-0330>3:30") << winter << "2026-12-07T12:41:59.123-03:30";
    // Milliseconds count down from the second, not from the epoch.
    QTest::newRow("just before the epoch")
        << QByteArray("UTC0") << system_clock::time_point(-milliseconds(1))
        << "1969-12-31T23:59:59.999+00:00";
}

void TestFrameLog::logTime()
{
    QFETCH(QByteArray, zone);
    QFETCH(std::chrono::system_clock::time_point, time);
    QFETCH(QString, text);
    const ZoneGuard guard(zone.constData());
    QCOMPARE(QString::fromStdString(FormatLogTime(time)), text);
}

void TestFrameLog::logLine()
{
    using namespace std::chrono;
    const ZoneGuard guard("CST-8");
    LoggedFrame frame;
    frame.time = Utc(2026y / December / 7, 9, 0, 1, 20);
    frame.port = "/dev/ttyUSB0";
    frame.direction = FrameDirection::Tx;
    frame.bytes = FromHex("00 04 0000 001D 31D2");
    frame.meaning = DescribeFrame(frame.direction, frame.bytes);
    QCOMPARE(QString::fromStdString(FormatLogLine(frame)),
             "2026-12-07T17:00:01.020+08:00\t/dev/ttyUSB0\tTX\t00 04 00 00 00 1D 31 D2\t"
             "read input registers 0x0000 ×29 → address 0, CRC good");

    // The window's frames carry no port, and a reply may be empty.
    frame.port.clear();
    frame.direction = FrameDirection::Rx;
    frame.bytes.clear();
    frame.meaning = "not a frame (0 bytes)";
    QCOMPARE(QString::fromStdString(FormatLogLine(frame)),
             "2026-12-07T17:00:01.020+08:00\tRX\t\tnot a frame (0 bytes)");
}

void TestFrameLog::keepsTheLastFrames_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("appends");
    QTest::addColumn<QStringList>("held");

    QTest::newRow("empty") << 3 << 0 << QStringList{};
    QTest::newRow("below the bound") << 3 << 2 << QStringList{"0", "1"};
    QTest::newRow("at the bound") << 3 << 3 << QStringList{"0", "1", "2"};
    QTest::newRow("past the bound") << 3 << 5 << QStringList{"2", "3", "4"};
    QTest::newRow("bound of one") << 1 << 4 << QStringList{"3"};
    QTest::newRow("bound of none") << 0 << 2 << QStringList{};
}

void TestFrameLog::keepsTheLastFrames()
{
    QFETCH(int, capacity);
    QFETCH(int, appends);
    QFETCH(QStringList, held);

    FrameLog log(static_cast<std::size_t>(capacity));
    for (int i = 0; i < appends; ++i) {
        log.append(Numbered(i));
    }
    const auto expectedDropped = static_cast<std::uint64_t>(appends - held.size());
    QCOMPARE(Meanings(log.snapshot()), held);
    QCOMPARE(log.size(), static_cast<std::size_t>(held.size()));
    QCOMPARE(log.appended(), static_cast<std::uint64_t>(appends));
    QCOMPARE(log.dropped(), expectedDropped);
    const FrameLog::Bounds bounds = log.bounds();
    QCOMPARE(bounds.first, expectedDropped);
    QCOMPARE(bounds.end, static_cast<std::uint64_t>(appends));
    QCOMPARE(bounds.dropped, expectedDropped);
    // Each held frame under its own sequence number, nothing either side.
    for (std::uint64_t sequence = bounds.first; sequence < bounds.end; ++sequence) {
        QCOMPARE(log.at(sequence)->meaning, std::to_string(sequence));
    }
    if (bounds.first > 0) {
        QVERIFY(!log.at(bounds.first - 1));
    }
    QVERIFY(!log.at(bounds.end));
}

// Four ports, one thread each, as the command-line twin runs them: nothing lost or doubled,
// each port's frames in its own order, one listener call per frame.
void TestFrameLog::appendsFromSeveralThreads()
{
    constexpr int kThreads = 4;
    constexpr int kFrames = 5000;
    FrameLog log(kThreads * kFrames);
    std::atomic<int> calls{0};
    log.setListener([&calls] { calls.fetch_add(1, std::memory_order_relaxed); });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kFrames; ++i) {
                LoggedFrame frame = Numbered(i);
                frame.port = "/dev/pts/" + std::to_string(t);
                log.append(std::move(frame));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    QCOMPARE(calls.load(), kThreads * kFrames);
    QCOMPARE(log.size(), std::size_t{kThreads * kFrames});
    std::vector<int> next(kThreads, 0);
    for (const LoggedFrame& frame : log.snapshot()) {
        const int t = std::stoi(frame.port.substr(9));
        QCOMPARE(frame.meaning, std::to_string(next[t]++));
    }
    QCOMPARE(next, std::vector<int>(kThreads, kFrames));
}

// A window clears its listener as it closes while another thread goes on appending: from then
// on the old listener must neither run nor be called.
void TestFrameLog::listenerIsGoneOnceReplaced()
{
    FrameLog log(100);
    std::atomic<bool> running{false};
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    log.setListener([&] {
        running = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        calls.fetch_add(1);
        running = false;
    });
    std::thread appender([&] {
        while (!stop) {
            log.append(Numbered(0));
        }
    });
    while (calls.load() < 20) {
        std::this_thread::yield();
    }
    log.setListener({});
    QVERIFY(!running);
    const int callsAfter = calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    appender.join();
    QCOMPARE(calls.load(), callsAfter);
}

QTEST_MAIN(TestFrameLog)
#include "test_framelog.moc"
