// One request and its reply over a scripted line: the order of the steps, the reaction to
// each failure, the acceptance tests, and the gathering of the read-meter reply in pieces.

#include "guardedbuffer.h"
#include "testsupport.h"

#include "exchange.h"
#include "replies.h"
#include "frame.h"

#include <QStringList>
#include <QTest>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>

Q_DECLARE_METATYPE(ExchangeResult)
Q_DECLARE_METATYPE(ReplyShown)

namespace {

bool AllZero(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
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

    QStringList events;
    QList<int> sleeps;
    QStringList debug;
    int reads = 0;

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
                events << QStringLiteral("sleep %1").arg(ms);
                sleeps << static_cast<int>(ms);
            },
        };
    }

    Traffic traffic()
    {
        const auto area = [this](const char* name) {
            return [this, name](const std::string& text) {
                events << name + QString::fromStdString(text);
            };
        };
        return Traffic{area("send "), area("recv ")};
    }

    // The expected length asked at each pass; the last one holds from then on.
    GatherSteps gatherSteps(QList<int> expected)
    {
        return GatherSteps{
            2500,
            [expected, pass = 0]() mutable {
                return static_cast<std::size_t>(
                    expected.at(std::min<qsizetype>(pass++, expected.size() - 1)));
            },
            [] { return 200u; },
            [this](const std::string& line) { debug << QString::fromStdString(line); },
        };
    }

private:
    std::uint32_t read(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs)
    {
        events << QStringLiteral("read %1 %2").arg(capacity).arg(waitMs);
        // Far more reads than any gathering needs: end a loop under test that would not end.
        if (++reads > 5000) {
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


} // namespace

class TestExchange : public QObject
{
    Q_OBJECT

private slots:
    void runExchange_data();
    void runExchange();
    void replyChecks_data();
    void replyChecks();

    void gather_data();
    void gather();
    void gatherEndlessStreamStaysInBuffer_data();
    void gatherEndlessStreamStaysInBuffer();
    void gatherEndsWhenSilencesKeepCuttingTheReply();
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

    const QByteArray ack = QByteArray::fromHex("0110001D000191CF");
    const QByteArray exception = QByteArray::fromHex("01 90 02 CD C1");
    const QStringList sent{QStringLiteral("send 01 10 00 1D 00 01 02 00 20 A4 05 "),
                           QStringLiteral("isOpen"),
                           QStringLiteral("write 01 10 00 1D 00 01 02 00 20 A4 05")};
    const QStringList read = sent + QStringList{"sleep 300", "read 1024 1000"};
    const QStringList recvAck = read + QStringList{"recv 01 10 00 1D 00 01 91 CF "};
    const QStringList recvException = read + QStringList{"recv " + Hex(Span(exception)) + ' '};
    const auto before = ReplyShown::BeforeTest;
    const auto after = ReplyShown::AfterTest;

    QTest::newRow("port closed: shown, nothing written")
        << false << -1 << ack << before << ExchangeResult::PortClosed << sent.first(2);
    QTest::newRow("short write") << true << 10 << ack << before << ExchangeResult::ShortWrite
                                 << sent;
    QTest::newRow("no reply: receive area untouched")
        << true << -1 << QByteArray() << before << ExchangeResult::NoReply << read;
    QTest::newRow("rejected, shown before the test")
        << true << -1 << exception << before << ExchangeResult::Rejected << recvException;
    QTest::newRow("rejected, shown after the test")
        << true << -1 << exception << after << ExchangeResult::Rejected << read;
    QTest::newRow("accepted, shown before the test")
        << true << -1 << ack << before << ExchangeResult::Accepted << recvAck;
    QTest::newRow("accepted, shown after the test")
        << true << -1 << ack << after << ExchangeResult::Accepted << recvAck;
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

    const std::uint8_t baud9600[] = {0x00, 0x20};
    const Frame request = BuildWriteRequest(1, 0x001D, baud9600);
    std::size_t replyLength = 999;
    const auto echoes = [&request](const RecvBuffer& received, std::size_t count) {
        return !CheckWriteEcho({received.data(), count}, request.bytes());
    };
    const ExchangeSteps steps{request, 300, echoes, shown};
    QCOMPARE(RunExchange(line.link(), line.traffic(), buffer, steps, &replyLength), result);
    QCOMPARE(line.events, events);

    const bool replied = result == ExchangeResult::Rejected || result == ExchangeResult::Accepted;
    QCOMPARE(replyLength, replied ? static_cast<std::size_t>(reply.size()) : std::size_t{999});
    if (replied) {
        QCOMPARE(Hex(std::span(buffer).first(replyLength)), Hex(Span(reply)));
        QVERIFY(AllZero(std::span(buffer).subspan(replyLength)));
    }
}

// ---- acceptance tests ---------------------------------------------------------------------

// count -1 stands for the whole reply.
void TestExchange::replyChecks_data()
{
    QTest::addColumn<bool>("clearZero");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("accepted");
    const auto row = [](const char* name, bool clearZero, const QByteArray& reply, int count,
                        bool accepted) {
        QTest::newRow(name) << clearZero << reply << count << accepted;
    };
    const QByteArray ack = QByteArray::fromHex("0110001D000191CF");
    row("write ack", false, ack, -1, true);
    // The echo must be of the request's register and count; a new address goes to 0, so
    // the address is not compared.
    row("write ack from another address", false, QByteArray::fromHex("7F10001D00019BD1"), -1, true);
    row("write ack of another register", false, QByteArray::fromHex("7F 10 00 50 00 01 0B C6"), -1, false);
    row("write ack, register one off", false, QByteArray::fromHex("0110001E000161CF"), -1, false);
    row("write ack, other count", false, QByteArray::fromHex("0110001D0002D1CE"), -1, false);
    row("write exception 0x90", false, QByteArray::fromHex("01 90 02 CD C1"), -1, false);
    row("write ack, crc bytes swapped", false, QByteArray::fromHex("0110001D0001CF91"), -1, false);
    row("write ack, count one short", false, ack, 7, false);

    const QByteArray clearAck = QByteArray::fromHex("FEFEFEFE 68 AAAAAAAAAAAA 68 9A 00 F0 16");
    row("clear ack after wake-up bytes", true, clearAck, -1, true);
    row("clear ack, checksum ignored", true,
        QByteArray::fromHex("FEFE 68 AAAAAAAAAAAA 68 9A 00 00 16"), -1, true);
    row("clear ack without a frame", true, QByteArray::fromHex("FEFE16"), -1, true);
    row("clear refused: abnormal reply", true,
        QByteArray::fromHex("FEFE 68 AAAAAAAAAAAA 68 DA 01 37 5F 16"), -1, false);
    row("clear refused after more wake-up bytes", true,
        QByteArray::fromHex("FEFEFEFE 68 AAAAAAAAAAAA 68 DA 01 37 5F 16"), -1, false);
    row("clear ack, one wake-up byte only", true, clearAck.sliced(3), -1, false);
    row("clear ack, end marker beyond the count", true, clearAck, 15, false);
    row("clear, nothing", true, QByteArray(), -1, false);
}

void TestExchange::replyChecks()
{
    QFETCH(bool, clearZero);
    QFETCH(QByteArray, reply);
    QFETCH(int, count);
    QFETCH(bool, accepted);
    RecvBuffer buffer{};
    std::copy(reply.begin(), reply.end(), buffer.begin());
    const std::size_t n =
        count < 0 ? static_cast<std::size_t>(reply.size()) : static_cast<std::size_t>(count);
    // The request the write rows answer: 9600 baud to register 0x001D of meter 1.
    const std::uint8_t baud9600[] = {0x00, 0x20};
    const Frame request = BuildWriteRequest(1, 0x001D, baud9600);
    const Reply received{buffer.data(), n};
    QCOMPARE(!(clearZero ? CheckClearZeroReply(received) : CheckWriteEcho(received, request.bytes())), accepted);
}

// ---- gathering the read-meter reply -------------------------------------------------------

void TestExchange::gather_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<int>>("expected"); // asked at each pass, the last one holding
    QTest::addColumn<QByteArray>("gathered"); // null when the gathering fails
    QTest::addColumn<QStringList>("debug");
    QTest::addColumn<QList<int>>("sleeps");

    QByteArray reply(63, 0);
    for (qsizetype i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<char>(i * 7);
    }
    const QByteArray none;
    const QStringList twoEmpties{kFirstEmpty, kSecondEmpty};
    QTest::newRow("40 + 23 in two passes")
        << QList<QByteArray>{reply.first(40), reply.sliced(40)} << QList<int>{63} << reply
        << Received({40, 23}) << QList<int>{2500, 200};
    QTest::newRow("empty read, then the reply")
        << QList<QByteArray>{{}, reply} << QList<int>{63} << reply
        << QStringList{kFirstEmpty} + Received({63}) << QList<int>{2500, 2500};
    QTest::newRow("piece before an empty read dropped")
        << QList<QByteArray>{QByteArray(40, '\x77'), {}, reply} << QList<int>{63} << reply
        << Received({40}) + QStringList{kFirstEmpty} + Received({63})
        << QList<int>{2500, 200, 2500};
    QTest::newRow("two empty reads")
        << QList<QByteArray>{} << QList<int>{63} << none << twoEmpties << QList<int>{2500, 2500};
    QTest::newRow("more than expected never equals it")
        << QList<QByteArray>{QByteArray(40, '\x01'), QByteArray(40, '\x02')} << QList<int>{63}
        << none << Received({40, 40}) + twoEmpties << QList<int>{2500, 200, 200, 2500};
    QTest::newRow("63 bytes while 97 expected")
        << QList<QByteArray>{reply} << QList<int>{97} << none << Received({63}) + twoEmpties
        << QList<int>{2500, 200, 2500};
    QTest::newRow("length read again at each pass")
        << QList<QByteArray>{reply.first(40), reply.sliced(40)} << QList<int>{97, 63} << reply
        << Received({40, 23}) << QList<int>{2500, 200};
    QTest::newRow("expected length 0 leaves at once")
        << QList<QByteArray>{QByteArray(10, '\x42'), reply} << QList<int>{0}
        << QByteArray(10, '\x42') << Received({10}) << QList<int>{2500};
}

void TestExchange::gather()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<int>, expected);
    QFETCH(QByteArray, gathered);
    QFETCH(QStringList, debug);
    QFETCH(QList<int>, sleeps);

    RecvBuffer buffer;
    buffer.fill(0xEE);
    FakeLine line;
    line.pieces.assign(pieces.begin(), pieces.end());
    std::size_t count = 999;
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps(expected), &count);

    QCOMPARE(line.debug, debug);
    QCOMPARE(line.sleeps, sleeps);
    if (gathered.isNull()) {
        QCOMPARE(result, std::nullopt);
        QCOMPARE(count, std::size_t{0});
        return;
    }
    const auto n = static_cast<std::size_t>(gathered.size());
    QCOMPARE(result, std::optional<std::size_t>(n));
    QCOMPARE(count, n);
    QCOMPARE(Hex(std::span(buffer).first(n)), Hex(Span(gathered)));
    QVERIFY(AllZero(std::span(buffer).subspan(n)));
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
    guarded.before.fill(0x5A);
    guarded.buffer.fill(0xEE);
    guarded.after.fill(0x5A);
    FakeLine line;
    line.endless = QByteArray(pieceSize, '\xA5');
    if (reported > 0) {
        line.reportedCount = static_cast<std::uint32_t>(reported);
    }
    std::size_t gathered = 0;
    const auto result = GatherReply(line.link(), guarded.buffer, line.gatherSteps({63}), &gathered);
    QCOMPARE(result, std::nullopt);
    QVERIFY2(line.reads <= 1 + static_cast<int>(kRecvBufferSize) / pieceSize,
             qPrintable(QStringLiteral("%1 reads").arg(line.reads)));
    QVERIFY(gathered <= kRecvBufferSize);
    QCOMPARE(std::count(guarded.before.begin(), guarded.before.end(), 0x5A), 64);
    QCOMPARE(std::count(guarded.after.begin(), guarded.after.end(), 0x5A), 64);
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
    const auto result = GatherReply(line.link(), buffer, line.gatherSteps({63}));
    QCOMPARE(result, std::nullopt);
    QVERIFY2(line.reads <= 50,
             qPrintable(QStringLiteral("still gathering after %1 reads").arg(line.reads)));
}

QTEST_GUILESS_MAIN(TestExchange)
#include "test_exchange.moc"
