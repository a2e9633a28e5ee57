// One request and its reply over a scripted line: the order of the steps, the reaction to
// each failure, the acceptance tests, and the gathering of the read-meter reply in pieces.

#include "testsupport.h"

#include "exchange.h"
#include "frame.h"

#include <QStringList>
#include <QTest>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

Q_DECLARE_METATYPE(ExchangeResult)
Q_DECLARE_METATYPE(ReplyShown)

namespace {

bool AllZero(const RecvBuffer& buffer)
{
    return std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; });
}

QByteArray ToByteArray(const Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

// A line that plays back scripted reads and records every call in order. An empty piece is a
// read that found nothing; when the script runs out, reads find nothing, or the endless
// piece if one is set.
class FakeLine
{
public:
    bool open = true;
    std::optional<std::uint32_t> written; // what write reports; all bytes when unset
    std::deque<QByteArray> pieces;
    std::optional<QByteArray> endless;
    std::optional<std::uint32_t> reportedCount; // a port that claims more than it gave
    const RecvBuffer* watched = nullptr;        // checked for zeros at each sleep

    QStringList events;
    std::vector<unsigned> sleeps;
    QStringList debug;
    int reads = 0;
    bool runaway = false;

    Link link()
    {
        return Link{
            [this] {
                events << QStringLiteral("isOpen");
                return open;
            },
            [this](std::uint32_t count, const std::uint8_t* bytes) {
                events << QStringLiteral("write ") + Hex({bytes, count});
                return written.value_or(count);
            },
            [this](std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs) {
                return read(capacity, buffer, waitMs);
            },
            [this](unsigned ms) {
                const bool zeroed = watched && AllZero(*watched);
                events << QStringLiteral("sleep %1%2").arg(ms).arg(zeroed ? " zeroed" : "");
                sleeps.push_back(ms);
            },
        };
    }

    Traffic traffic()
    {
        return Traffic{
            [this](const std::string& text) {
                events << QStringLiteral("send ") + QString::fromStdString(text);
            },
            [this](const std::string& text) {
                events << QStringLiteral("recv ") + QString::fromStdString(text);
            },
        };
    }

    GatherSteps gatherSteps(std::function<std::size_t()> expected, unsigned pauseMs)
    {
        return GatherSteps{
            2500,
            std::move(expected),
            [pauseMs] { return pauseMs; },
            [this](const std::string& line) { debug << QString::fromStdString(line); },
        };
    }

private:
    std::uint32_t read(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs)
    {
        events << QStringLiteral("read %1 %2").arg(capacity).arg(waitMs);
        // Far more reads than any gathering needs: the loop under test does not end.
        if (++reads > 5000) {
            runaway = true;
            return 0;
        }
        QByteArray piece;
        if (!pieces.empty()) {
            piece = pieces.front();
            pieces.pop_front();
        } else if (endless) {
            piece = *endless;
        }
        const auto count =
            std::min<std::uint32_t>(capacity, static_cast<std::uint32_t>(piece.size()));
        std::copy_n(piece.constData(), count, buffer);
        return count > 0 && reportedCount ? *reportedCount : count;
    }
};

const Bytes kWriteAck = FromHex("01 10 00 1D 00 01 91 CF");

Frame SetBaudRequest()
{
    const std::uint8_t data[] = {0x00, 0x20};
    return BuildWriteRequest(1, 0x001D, data);
}

// A well-formed reply of the given length: address, 0x04, byte count, a pattern, CRC.
Bytes ReadMeterReply(std::size_t length)
{
    Bytes reply{0x01, 0x04, static_cast<std::uint8_t>(length - 5)};
    for (std::size_t i = 3; i < length - 2; ++i) {
        reply.push_back(static_cast<std::uint8_t>(i * 7));
    }
    return WithCrc(reply);
}

QByteArray Piece(const Bytes& bytes, std::size_t from, std::size_t count)
{
    return ToByteArray(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                             bytes.begin() + static_cast<std::ptrdiff_t>(from + count)));
}

QStringList Received(std::initializer_list<int> lengths)
{
    QStringList lines;
    for (int n : lengths) {
        lines << QString::fromUtf8("收到的数据长度：%1").arg(n);
    }
    return lines;
}

const QString kFirstEmpty = QString::fromUtf8("读回数据为0,1111");
const QString kSecondEmpty = QString::fromUtf8("读回数据为0,2222");

// The receive buffer with guard bytes on both sides, to catch a write past either end.
struct GuardedBuffer
{
    std::array<std::uint8_t, 64> before;
    RecvBuffer buffer;
    std::array<std::uint8_t, 64> after;

    GuardedBuffer()
    {
        before.fill(0x5A);
        buffer.fill(0xEE);
        after.fill(0x5A);
    }
    bool guardsIntact() const
    {
        const auto intact = [](const auto& guard) {
            return std::all_of(guard.begin(), guard.end(),
                               [](std::uint8_t b) { return b == 0x5A; });
        };
        return intact(before) && intact(after);
    }
};
static_assert(sizeof(GuardedBuffer) == 64 + kRecvBufferSize + 64);

} // namespace

class TestExchange : public QObject
{
    Q_OBJECT

private slots:
    void runExchange_data();
    void runExchange();
    void acceptedReplyFillsZeroedBuffer();

    void writeAck_data();
    void writeAck();
    void clearZeroAck_data();
    void clearZeroAck();

    void gatherInTwoPieces();
    void gatherThreePhaseInThreePieces();
    void gatherRetriesAfterEmptyRead();
    void gatherDropsPieceBeforeEmptyRead();
    void gatherEndsAfterTwoEmptyReads();
    void gatherGoesOnPastExpectedLength();
    void gatherThreePhaseNeverReachesLength();
    void gatherEndlessStreamStaysInBuffer_data();
    void gatherEndlessStreamStaysInBuffer();
    void gatherEndsWhenSilencesKeepCuttingTheReply();
    void gatherWithoutExpectedLengthLeavesAtOnce();
    void gatherReadsExpectedLengthEachPass();
};

// ---- one exchange -------------------------------------------------------------------------

void TestExchange::runExchange_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("written");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<ReplyShown>("shown");
    QTest::addColumn<ExchangeResult>("result");
    QTest::addColumn<QStringList>("events");

    const QString send = QStringLiteral("send 01 10 00 1D 00 01 02 00 20 A4 05 ");
    const QString write = QStringLiteral("write 01 10 00 1D 00 01 02 00 20 A4 05");
    const QString sleep = QStringLiteral("sleep 300 zeroed");
    const QString read = QStringLiteral("read 1024 1000");
    const QByteArray ack = ToByteArray(kWriteAck);
    const QByteArray exception = ToByteArray(WithCrc(FromHex("01 90 02")));
    const QString recvAck = QStringLiteral("recv 01 10 00 1D 00 01 91 CF ");
    const QString recvException = QStringLiteral("recv ") + Hex(WithCrc(FromHex("01 90 02"))) + ' ';

    QTest::newRow("port closed: shown, nothing written")
        << false << -1 << ack << ReplyShown::BeforeTest << ExchangeResult::PortClosed
        << QStringList{send, QStringLiteral("isOpen")};
    QTest::newRow("short write") << true << 10 << ack << ReplyShown::BeforeTest
                                 << ExchangeResult::ShortWrite
                                 << QStringList{send, QStringLiteral("isOpen"), write};
    QTest::newRow("nothing written")
        << true << 0 << ack << ReplyShown::AfterTest << ExchangeResult::ShortWrite
        << QStringList{send, QStringLiteral("isOpen"), write};
    QTest::newRow("no reply: receive area untouched")
        << true << -1 << QByteArray() << ReplyShown::BeforeTest << ExchangeResult::NoReply
        << QStringList{send, QStringLiteral("isOpen"), write, sleep, read};
    QTest::newRow("rejected, shown before the test")
        << true << -1 << exception << ReplyShown::BeforeTest << ExchangeResult::Rejected
        << QStringList{send, QStringLiteral("isOpen"), write, sleep, read, recvException};
    QTest::newRow("rejected, shown after the test")
        << true << -1 << exception << ReplyShown::AfterTest << ExchangeResult::Rejected
        << QStringList{send, QStringLiteral("isOpen"), write, sleep, read};
    QTest::newRow("accepted, shown before the test")
        << true << -1 << ack << ReplyShown::BeforeTest << ExchangeResult::Accepted
        << QStringList{send, QStringLiteral("isOpen"), write, sleep, read, recvAck};
    QTest::newRow("accepted, shown after the test")
        << true << -1 << ack << ReplyShown::AfterTest << ExchangeResult::Accepted
        << QStringList{send, QStringLiteral("isOpen"), write, sleep, read, recvAck};
}

void TestExchange::runExchange()
{
    QFETCH(bool, open);
    QFETCH(int, written);
    QFETCH(QByteArray, reply);
    QFETCH(ReplyShown, shown);
    QFETCH(ExchangeResult, result);
    QFETCH(QStringList, events);

    RecvBuffer buffer;
    buffer.fill(0xEE);
    FakeLine line;
    line.open = open;
    if (written >= 0) {
        line.written = static_cast<std::uint32_t>(written);
    }
    line.pieces.push_back(reply);
    line.watched = &buffer;

    const Frame request = SetBaudRequest();
    std::size_t replyLength = 999;
    const ExchangeSteps steps{request, 300, ReplyIsWriteAck, shown};
    QCOMPARE(RunExchange(line.link(), line.traffic(), buffer, steps, &replyLength), result);
    QCOMPARE(line.events, events);

    const bool replied = result == ExchangeResult::Rejected || result == ExchangeResult::Accepted;
    QCOMPARE(replyLength, replied ? static_cast<std::size_t>(reply.size()) : std::size_t{999});
}

void TestExchange::acceptedReplyFillsZeroedBuffer()
{
    RecvBuffer buffer;
    buffer.fill(0xEE);
    FakeLine line;
    line.pieces.push_back(ToByteArray(kWriteAck));
    const Frame request = SetBaudRequest();
    const ExchangeSteps steps{request, 300, ReplyIsWriteAck, ReplyShown::AfterTest};
    QCOMPARE(RunExchange(line.link(), line.traffic(), buffer, steps), ExchangeResult::Accepted);
    QCOMPARE(Hex(std::span(buffer).first(kWriteAck.size())), Hex(kWriteAck));
    QVERIFY(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(kWriteAck.size()),
                        buffer.end(), [](std::uint8_t b) { return b == 0; }));
}

// ---- acceptance tests ---------------------------------------------------------------------

void TestExchange::writeAck_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("accepted");
    const QByteArray ack = ToByteArray(kWriteAck);
    QTest::newRow("ack") << ack << 8 << true;
    QTest::newRow("ack from another address, other register")
        << ToByteArray(WithCrc(FromHex("7F 10 00 50 00 01"))) << 8 << true;
    QTest::newRow("exception 0x90") << ToByteArray(WithCrc(FromHex("01 90 02"))) << 5 << false;
    QTest::newRow("crc bytes swapped")
        << ToByteArray(FromHex("01 10 00 1D 00 01 CF 91")) << 8 << false;
    QTest::newRow("read reply") << ToByteArray(WithCrc(FromHex("01 04 02 00 05"))) << 7 << false;
    QTest::newRow("count one short") << ack << 7 << false;
    QTest::newRow("one byte") << ack << 1 << false;
    QTest::newRow("nothing") << QByteArray() << 0 << false;
}

void TestExchange::writeAck()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, count);
    QFETCH(bool, accepted);
    RecvBuffer buffer{};
    std::copy(reply.begin(), reply.end(), buffer.begin());
    QCOMPARE(ReplyIsWriteAck(buffer, static_cast<std::size_t>(count)), accepted);
}

void TestExchange::clearZeroAck_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("accepted");
    const QByteArray ack = QByteArray::fromHex("FEFEFEFE 68 AAAAAAAAAAAA 68 9A 00 F0 16");
    QTest::newRow("ack after wake-up bytes") << ack << static_cast<int>(ack.size()) << true;
    QTest::newRow("checksum ignored")
        << QByteArray::fromHex("FEFE 68 AAAAAAAAAAAA 68 9A 00 00 16") << 14 << true;
    QTest::newRow("no frame at all") << QByteArray::fromHex("FEFE16") << 3 << true;
    QTest::newRow("meter refuses: abnormal reply")
        << QByteArray::fromHex("FEFE 68 AAAAAAAAAAAA 68 DA 01 37 5F 16") << 16 << false;
    QTest::newRow("refusal after more wake-up bytes")
        << QByteArray::fromHex("FEFEFEFE 68 AAAAAAAAAAAA 68 DA 01 37 5F 16") << 18 << false;
    QTest::newRow("no wake-up bytes")
        << QByteArray::fromHex("68 AAAAAAAAAAAA 68 9A 00 F0 16") << 15 << false;
    QTest::newRow("one wake-up byte only")
        << QByteArray::fromHex("FE 68 AAAAAAAAAAAA 68 9A 00 F0 16") << 16 << false;
    QTest::newRow("wrong last byte") << QByteArray::fromHex("FEFE6800") << 4 << false;
    QTest::newRow("end marker beyond the count") << QByteArray::fromHex("FEFE6816") << 3 << false;
    QTest::newRow("two wake-up bytes, nothing else") << QByteArray::fromHex("FEFE") << 2 << false;
    QTest::newRow("nothing") << QByteArray() << 0 << false;
}

void TestExchange::clearZeroAck()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, count);
    QFETCH(bool, accepted);
    RecvBuffer buffer{};
    std::copy(reply.begin(), reply.end(), buffer.begin());
    QCOMPARE(ReplyIsClearZeroAck(buffer, static_cast<std::size_t>(count)), accepted);
}

// ---- gathering the read-meter reply -------------------------------------------------------

void TestExchange::gatherInTwoPieces()
{
    const Bytes reply = ReadMeterReply(63);
    RecvBuffer buffer;
    buffer.fill(0xEE);
    FakeLine line;
    line.watched = &buffer;
    line.pieces = {Piece(reply, 0, 40), Piece(reply, 40, 23)};

    std::size_t gathered = 0;
    const auto result =
        GatherReply(line.link(), buffer, line.gatherSteps([] { return 63; }, 200), &gathered);
    QCOMPARE(result, std::optional<std::size_t>(63));
    QCOMPARE(gathered, std::size_t{63});
    QCOMPARE(Hex(std::span(buffer).first(63)), Hex(reply));
    QVERIFY(std::all_of(buffer.begin() + 63, buffer.end(), [](std::uint8_t b) { return b == 0; }));
    QCOMPARE(line.debug, Received({40, 23}));
    QCOMPARE(line.sleeps, (std::vector<unsigned>{2500, 200}));
    QCOMPARE(line.events.first(), QStringLiteral("sleep 2500 zeroed"));
    QCOMPARE(line.events.at(1), QStringLiteral("read 1024 1000"));
}

void TestExchange::gatherThreePhaseInThreePieces()
{
    const Bytes reply = ReadMeterReply(97);
    RecvBuffer buffer{};
    FakeLine line;
    line.pieces = {Piece(reply, 0, 50), Piece(reply, 50, 30), Piece(reply, 80, 17)};
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps([] { return 97; }, 300));
    QCOMPARE(result, std::optional<std::size_t>(97));
    QCOMPARE(Hex(std::span(buffer).first(97)), Hex(reply));
    QCOMPARE(line.debug, Received({50, 30, 17}));
    QCOMPARE(line.sleeps, (std::vector<unsigned>{2500, 300, 300}));
}

void TestExchange::gatherRetriesAfterEmptyRead()
{
    const Bytes reply = ReadMeterReply(63);
    RecvBuffer buffer{};
    FakeLine line;
    line.pieces = {QByteArray(), ToByteArray(reply)};
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps([] { return 63; }, 200));
    QCOMPARE(result, std::optional<std::size_t>(63));
    QCOMPARE(Hex(std::span(buffer).first(63)), Hex(reply));
    QCOMPARE(line.debug, QStringList{kFirstEmpty} + Received({63}));
    QCOMPARE(line.sleeps, (std::vector<unsigned>{2500, 2500}));
}

// What came before an empty read is dropped: the reply that follows lands at offset 0.
void TestExchange::gatherDropsPieceBeforeEmptyRead()
{
    const Bytes reply = ReadMeterReply(63);
    RecvBuffer buffer{};
    FakeLine line;
    line.pieces = {QByteArray(40, '\x77'), QByteArray(), ToByteArray(reply)};
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps([] { return 63; }, 200));
    QCOMPARE(result, std::optional<std::size_t>(63));
    QCOMPARE(Hex(std::span(buffer).first(63)), Hex(reply));
    QCOMPARE(line.debug, Received({40}) + QStringList{kFirstEmpty} + Received({63}));
    QCOMPARE(line.sleeps, (std::vector<unsigned>{2500, 200, 2500}));
}

void TestExchange::gatherEndsAfterTwoEmptyReads()
{
    RecvBuffer buffer{};
    FakeLine line;
    std::size_t gathered = 999;
    const auto result =
        GatherReply(line.link(), buffer, line.gatherSteps([] { return 63; }, 200), &gathered);
    QCOMPARE(result, std::nullopt);
    QCOMPARE(gathered, std::size_t{0});
    QCOMPARE(line.debug, (QStringList{kFirstEmpty, kSecondEmpty}));
    QCOMPARE(line.sleeps, (std::vector<unsigned>{2500, 2500}));
    QCOMPARE(line.reads, 2);
}

// The length test is for equality: 80 bytes never become 63, so only silence ends it.
void TestExchange::gatherGoesOnPastExpectedLength()
{
    RecvBuffer buffer{};
    FakeLine line;
    line.pieces = {QByteArray(40, '\x01'), QByteArray(40, '\x02')};
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps([] { return 63; }, 200));
    QCOMPARE(result, std::nullopt);
    QCOMPARE(line.debug, Received({40, 40}) + (QStringList{kFirstEmpty, kSecondEmpty}));
    QCOMPARE(line.sleeps, (std::vector<unsigned>{2500, 200, 200, 2500}));
}

void TestExchange::gatherThreePhaseNeverReachesLength()
{
    RecvBuffer buffer{};
    FakeLine line;
    line.pieces = {ToByteArray(ReadMeterReply(63))};
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps([] { return 97; }, 300));
    QCOMPARE(result, std::nullopt);
    QCOMPARE(line.debug, Received({63}) + (QStringList{kFirstEmpty, kSecondEmpty}));
    QCOMPARE(line.sleeps, (std::vector<unsigned>{2500, 300, 2500}));
}

void TestExchange::gatherEndlessStreamStaysInBuffer_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("reported");
    QTest::newRow("100-byte pieces") << 100 << 0;
    QTest::newRow("1023-byte pieces") << 1023 << 0;
    QTest::newRow("port claims more than the buffer holds") << 100 << 5000;
}

// A babbling device must neither push the gathering past the buffer nor keep it going
// forever.
void TestExchange::gatherEndlessStreamStaysInBuffer()
{
    QFETCH(int, pieceSize);
    QFETCH(int, reported);
    GuardedBuffer guarded;
    FakeLine line;
    line.endless = QByteArray(pieceSize, '\xA5');
    if (reported > 0) {
        line.reportedCount = static_cast<std::uint32_t>(reported);
    }
    std::size_t gathered = 0;
    const auto result = GatherReply(line.link(), guarded.buffer,
                                    line.gatherSteps([] { return 63; }, 200), &gathered);
    QCOMPARE(result, std::nullopt);
    QVERIFY(!line.runaway);
    QVERIFY2(line.reads <= 1 + static_cast<int>(kRecvBufferSize) / pieceSize,
             qPrintable(QStringLiteral("%1 reads").arg(line.reads)));
    QVERIFY(gathered <= kRecvBufferSize);
    QVERIFY(guarded.guardsIntact());
}

// Another device on the bus that sends a burst every few seconds: each silence drops what
// was gathered and the next burst starts it again, so neither the length test nor the buffer
// bound ever ends the gathering, and the window would hang for as long as the bus talks.
void TestExchange::gatherEndsWhenSilencesKeepCuttingTheReply()
{
    RecvBuffer buffer{};
    FakeLine line;
    for (int i = 0; i < 2000; ++i) {
        line.pieces.push_back(QByteArray(10, '\x33'));
        line.pieces.push_back(QByteArray());
    }
    line.endless = QByteArray(10, '\x33');
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps([] { return 63; }, 200));
    QCOMPARE(result, std::nullopt);
    QVERIFY2(!line.runaway && line.reads <= 50,
             qPrintable(QStringLiteral("still gathering after %1 reads").arg(line.reads)));
}

void TestExchange::gatherWithoutExpectedLengthLeavesAtOnce()
{
    RecvBuffer buffer{};
    FakeLine line;
    line.pieces = {QByteArray(10, '\x42'), ToByteArray(ReadMeterReply(63))};
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps([] { return 0; }, 200));
    QCOMPARE(result, std::optional<std::size_t>(10));
    QCOMPARE(line.reads, 1);
    QCOMPARE(line.sleeps, std::vector<unsigned>{2500});
}

// The meter type is read again at each pass, so the length expected can change under way.
void TestExchange::gatherReadsExpectedLengthEachPass()
{
    const Bytes reply = ReadMeterReply(63);
    RecvBuffer buffer{};
    FakeLine line;
    line.pieces = {Piece(reply, 0, 40), Piece(reply, 40, 23)};
    int asked = 0;
    const auto expected = [&asked]() -> std::size_t { return ++asked == 1 ? 97 : 63; };
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps(expected, 300));
    QCOMPARE(result, std::optional<std::size_t>(63));
    QCOMPARE(asked, 2);
}

QTEST_GUILESS_MAIN(TestExchange)
#include "test_exchange.moc"
