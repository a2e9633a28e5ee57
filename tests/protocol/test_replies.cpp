// The reply checks that name what is wrong with a reply, the expected reply length that lets a
// reader stop as soon as a reply is in, and the decoding of the address reply.

#include "testsupport.h"

#include "replies.h"

#include <QSet>
#include <QTest>

#include <cstdint>
#include <optional>
#include <utility>

using Outcome = std::optional<CommandFault>;
Q_DECLARE_METATYPE(Outcome)

// QCOMPARE prints an outcome in the words a technician would read.
char* toString(const Outcome& outcome)
{
    return qstrdup(outcome ? DescribeFault(*outcome).c_str() : "accepted");
}

namespace {

const Outcome kAccepted;

Outcome Failed(Fault fault, std::uint8_t code = 0)
{
    return CommandFault{fault, code};
}

// The hex bytes with their CRC, as a meter that behaves sends them.
QByteArray Crc(const char* hex)
{
    return ToByteArray(WithCrc(FromHex(hex)));
}

// The same with the CRC spoilt in the byte sent last.
QByteArray BadCrc(const char* hex)
{
    QByteArray bytes = Crc(hex);
    bytes[bytes.size() - 1] = static_cast<char>(bytes.back() ^ 0x01);
    return bytes;
}

// A DL/T 645 reply: wakeUps bytes 0xFE, the frame from its first 0x68 to its length byte and
// data, then its checksum (the byte sum from the first 0x68) and 0x16.
QByteArray Dlt(int wakeUps, const char* hex)
{
    const QByteArray frame = QByteArray::fromHex(hex);
    std::uint8_t sum = 0;
    for (const char byte : frame) {
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(byte));
    }
    return QByteArray(wakeUps, '\xFE') + frame + static_cast<char>(sum) + '\x16';
}

const char kNormalClearReply[] = "68 01 00 00 00 00 00 68 9A 00";
const char kRefusedClearReply[] = "68 01 00 00 00 00 00 68 DA 01 37";

// A read reply of byteCount data bytes (0, 1, 2, ...) with its CRC.
QByteArray ReadReply(std::uint8_t address, int byteCount)
{
    Bytes reply{address, 0x04, static_cast<std::uint8_t>(byteCount)};
    for (int i = 0; i < byteCount; ++i) {
        reply.push_back(static_cast<std::uint8_t>(i));
    }
    return ToByteArray(WithCrc(reply));
}

// The byte-count lists the commands pass: none (any count), one register, the address reply
// of either meter type, the serial number.
enum class Counts
{
    Any,
    One,
    Address,
    Serial,
};

Outcome CheckRead(const QByteArray& reply, Counts counts, std::uint8_t address)
{
    switch (counts) {
    case Counts::Any:
        return CheckReadReply(Span(reply), {}, address);
    case Counts::One:
        return CheckReadReply(Span(reply), {2}, address);
    case Counts::Address:
        return CheckReadReply(Span(reply), {12, 2}, address);
    case Counts::Serial:
        return CheckReadReply(Span(reply), {4}, address);
    }
    return Failed(Fault::BadValue);
}

} // namespace

Q_DECLARE_METATYPE(Counts)

class TestReplies : public QObject
{
    Q_OBJECT

private slots:
    void readReply_data();
    void readReply();
    void writeEcho_data();
    void writeEcho();
    void clearZeroReply_data();
    void clearZeroReply();
    void readMeterReply_data();
    void readMeterReply();
    void expectedLength_data();
    void expectedLength();
    void addressReply_data();
    void addressReply();
    void faultTexts();
};

// ---- read replies -------------------------------------------------------------------------

void TestReplies::readReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Counts>("counts");
    QTest::addColumn<int>("address");
    QTest::addColumn<Outcome>("expected");

    const char one[] = "01 04 02 00 05";
    QTest::newRow("one register") << Crc(one) << Counts::One << 0 << kAccepted;
    QTest::newRow("three-phase address reply")
        << Crc("01 04 0C 00 01 00 06 00 05 00 02 12 34 56 78") << Counts::Address << 0 << kAccepted;
    QTest::newRow("single-phase address reply") << Crc(one) << Counts::Address << 0 << kAccepted;
    QTest::newRow("no list takes any count") << ReadReply(1, 92) << Counts::Any << 0 << kAccepted;
    for (const std::uint8_t code : {0x01, 0x02, 0x0B}) {
        const QByteArray reply = ToByteArray(WithCrc({0x01, 0x84, code}));
        QTest::addRow("exception 0x%02X", code)
            << reply << Counts::One << 0 << Failed(Fault::Exception, code);
    }
    // Its code sits where a one-register reply has its byte count of 2.
    QTest::newRow("exception 0x02 from address 0")
        << Crc("00 84 02") << Counts::One << 0 << Failed(Fault::Exception, 0x02);
    QTest::newRow("exception with a bad CRC")
        << BadCrc("01 84 02") << Counts::One << 0 << Failed(Fault::BadCrc);
    QTest::newRow("exception of the write function")
        << Crc("01 90 02") << Counts::One << 0 << Failed(Fault::WrongFunction);
    QTest::newRow("bad CRC") << BadCrc(one) << Counts::One << 0 << Failed(Fault::BadCrc);
    QByteArray swapped = Crc(one);
    std::swap(swapped[5], swapped[6]);
    QTest::newRow("CRC high byte first") << swapped << Counts::One << 0 << Failed(Fault::BadCrc);
    QTest::newRow("function 0x03")
        << Crc("01 03 02 00 05") << Counts::One << 0 << Failed(Fault::WrongFunction);
    QTest::newRow("four bytes") << QByteArray::fromHex("01040200") << Counts::One << 0
                                << Failed(Fault::WrongLength);
    QTest::newRow("two bytes") << QByteArray::fromHex("0104") << Counts::One << 0
                               << Failed(Fault::WrongLength);
    // One or two zero bytes after a whole reply keep the CRC matching: the length must tell.
    QTest::newRow("two zero bytes after it")
        << Crc(one) + QByteArray(2, '\0') << Counts::One << 0 << Failed(Fault::WrongLength);
    QTest::newRow("one zero byte after it")
        << Crc(one) + QByteArray(1, '\0') << Counts::One << 0 << Failed(Fault::WrongLength);
    QTest::newRow("noise after it")
        << Crc(one) + QByteArray::fromHex("A55A") << Counts::One << 0 << Failed(Fault::WrongLength);
    QTest::newRow("byte count not listed")
        << Crc("01 04 04 00 01 00 02") << Counts::One << 0 << Failed(Fault::WrongLength);
    QTest::newRow("byte count beyond the bytes")
        << Crc("01 04 04 00 05") << Counts::Serial << 0 << Failed(Fault::WrongLength);
    QTest::newRow("byte count short of the bytes")
        << Crc("01 04 02 00 05 00 06") << Counts::Any << 0 << Failed(Fault::WrongLength);
    QTest::newRow("the meter asked") << Crc(one) << Counts::One << 1 << kAccepted;
    QTest::newRow("another meter")
        << Crc("02 04 02 00 05") << Counts::One << 1 << Failed(Fault::WrongAddress);
    QTest::newRow("any meter when none was asked")
        << Crc("02 04 02 00 05") << Counts::One << 0 << kAccepted;
    QTest::newRow("nothing") << QByteArray() << Counts::One << 0 << Failed(Fault::NoReply);
}

void TestReplies::readReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(Counts, counts);
    QFETCH(int, address);
    QFETCH(Outcome, expected);
    QCOMPARE(CheckRead(reply, counts, static_cast<std::uint8_t>(address)), expected);
}

// ---- write echoes -------------------------------------------------------------------------

void TestReplies::writeEcho_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Outcome>("expected");

    const QByteArray display = Crc("01 10 00 19 00 01 02 00 05");
    const QByteArray serial = Crc("01 10 00 14 00 02 04 12 34 56 78");
    const char echo[] = "01 10 00 19 00 01";
    QTest::newRow("echo") << display << Crc(echo) << kAccepted;
    QTest::newRow("echo of two registers") << serial << Crc("01 10 00 14 00 02") << kAccepted;
    // A new address goes to address 0 and the meter answers from its own.
    QTest::newRow("echo from another address") << display << Crc("25 10 00 19 00 01") << kAccepted;
    QTest::newRow("another register")
        << display << Crc("01 10 00 1A 00 01") << Failed(Fault::WrongRegister);
    QTest::newRow("register high byte")
        << display << Crc("01 10 01 19 00 01") << Failed(Fault::WrongRegister);
    QTest::newRow("another count")
        << display << Crc("01 10 00 19 00 02") << Failed(Fault::WrongRegister);
    QTest::newRow("one register of two")
        << serial << Crc("01 10 00 14 00 01") << Failed(Fault::WrongRegister);
    for (const std::uint8_t code : {0x02, 0x04}) {
        const QByteArray reply = ToByteArray(WithCrc({0x01, 0x90, code}));
        QTest::addRow("exception 0x%02X", code)
            << display << reply << Failed(Fault::Exception, code);
    }
    QTest::newRow("bad CRC") << display << BadCrc(echo) << Failed(Fault::BadCrc);
    QTest::newRow("bytes after a good echo")
        << display << Crc(echo) + QByteArray::fromHex("0000FF") << kAccepted;
    QTest::newRow("seven bytes") << display << Crc(echo).left(7) << Failed(Fault::BadCrc);
    QTest::newRow("seven bytes with their own CRC")
        << display << Crc("01 10 00 19 00") << Failed(Fault::WrongLength);
    QTest::newRow("ten bytes with their own CRC")
        << display << Crc("01 10 00 19 00 01 02 00") << Failed(Fault::WrongLength);
    QTest::newRow("a read reply") << display << Crc("01 04 02 00 05")
                                  << Failed(Fault::WrongFunction);
    QTest::newRow("exception of the read function")
        << display << Crc("01 84 02") << Failed(Fault::WrongFunction);
    QTest::newRow("nothing") << display << QByteArray() << Failed(Fault::NoReply);
}

void TestReplies::writeEcho()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(Outcome, expected);
    QCOMPARE(CheckWriteEcho(Span(reply), Span(request)), expected);
}

// ---- clear-to-zero replies ----------------------------------------------------------------

void TestReplies::clearZeroReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Outcome>("expected");

    QTest::newRow("normal, four wake-up bytes") << Dlt(4, kNormalClearReply) << kAccepted;
    QTest::newRow("normal, two wake-up bytes") << Dlt(2, kNormalClearReply) << kAccepted;
    QTest::newRow("normal with a data byte")
        << Dlt(4, "68 01 00 00 00 00 00 68 9A 01 33") << kAccepted;
    QTest::newRow("abnormal reply") << Dlt(4, kRefusedClearReply) << Failed(Fault::Refused);
    QTest::newRow("abnormal reply, two wake-up bytes")
        << Dlt(2, kRefusedClearReply) << Failed(Fault::Refused);
    QTest::newRow("no wake-up byte") << Dlt(0, kNormalClearReply) << Failed(Fault::WrongFunction);
    QTest::newRow("no end byte") << Dlt(4, kNormalClearReply).chopped(1)
                                 << Failed(Fault::WrongFunction);
    QTest::newRow("a Modbus echo") << Crc("01 10 00 19 00 01") << Failed(Fault::WrongFunction);
    QTest::newRow("one byte") << QByteArray("\xFE", 1) << Failed(Fault::WrongFunction);
    QTest::newRow("nothing") << QByteArray() << Failed(Fault::NoReply);
}

void TestReplies::clearZeroReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(Outcome, expected);
    const Outcome outcome = CheckClearZeroReply(Span(reply));
    // The refusal's code is the meter's error byte, which no one is told: only the kind counts.
    QCOMPARE(outcome.has_value(), expected.has_value());
    if (expected) {
        QCOMPARE(outcome->fault, expected->fault);
    }
}

// ---- read-meter replies -------------------------------------------------------------------

void TestReplies::readMeterReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Outcome>("expected");

    QTest::newRow("single phase") << ReadReply(1, 58) << kAccepted;
    QTest::newRow("three phase") << ReadReply(0, 92) << kAccepted;
    QByteArray bad = ReadReply(1, 92);
    bad[50] = static_cast<char>(bad[50] ^ 0x10);
    QTest::newRow("three phase, a value byte spoilt") << bad << Failed(Fault::BadCrc);
    QTest::newRow("exception 0x02") << Crc("01 84 02") << Failed(Fault::Exception, 0x02);
    QTest::newRow("exception with a bad CRC") << BadCrc("01 84 02") << Failed(Fault::WrongLength);
    QTest::newRow("zeros after it")
        << ReadReply(1, 58) + QByteArray(2, '\0') << Failed(Fault::WrongLength);
    QTest::newRow("byte count of neither type") << ReadReply(1, 60) << Failed(Fault::WrongLength);
    QTest::newRow("two bytes") << QByteArray::fromHex("0104") << Failed(Fault::WrongLength);
    QTest::newRow("one byte") << QByteArray::fromHex("01") << Failed(Fault::WrongLength);
    QTest::newRow("nothing") << QByteArray() << Failed(Fault::NoReply);
}

void TestReplies::readMeterReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(Outcome, expected);
    ReadMeterCrc crc;
    QCOMPARE(CheckReadMeterReply(Span(reply), &crc), expected);
    if (!expected || expected->fault == Fault::BadCrc) {
        // For the debug lines: the CRC of what came, and the one it carried, in wire order.
        const std::size_t n = static_cast<std::size_t>(reply.size());
        const std::uint16_t textbook = ReferenceCrc(Span(reply).first(n - 2));
        QCOMPARE(crc.computed, static_cast<std::uint16_t>((textbook & 0xFF) << 8 | textbook >> 8));
        QCOMPARE(crc.received,
                 static_cast<std::uint16_t>(Span(reply)[n - 2] << 8 | Span(reply)[n - 1]));
    }
}

// ---- expected reply length ----------------------------------------------------------------

void TestReplies::expectedLength_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("expected");

    const QByteArray read = Crc("01 04 00 19 00 01");
    const QByteArray write = Crc("01 10 00 19 00 01 02 00 05");
    const QByteArray clear = QByteArray::fromHex("68AAAAAAAAAAAA681A08353333333333333388"
                                                 "16");
    const auto hex = [](const char* text) { return QByteArray::fromHex(text); };

    QTest::newRow("read, nothing yet") << read << QByteArray() << 0;
    QTest::newRow("read, address only") << read << hex("01") << 0;
    QTest::newRow("read, no byte count yet") << read << hex("01 04") << 0;
    QTest::newRow("read, one register") << read << hex("01 04 02") << 7;
    QTest::newRow("read, three-phase reading") << read << hex("01 04 5C") << 97;
    QTest::newRow("read, largest byte count") << read << hex("01 04 FF") << 260;
    QTest::newRow("read, more bytes change nothing")
        << read << Crc("01 04 02 00 05") + hex("0000") << 7;
    QTest::newRow("read, exception") << read << hex("01 84") << 5;
    QTest::newRow("read, another function") << read << hex("01 03 02") << 7;
    QTest::newRow("read, another function, no count yet") << read << hex("01 03") << 0;
    QTest::newRow("write, address only") << write << hex("01") << 0;
    QTest::newRow("write, echo") << write << hex("01 10") << 8;
    QTest::newRow("write, exception") << write << hex("01 90") << 5;
    QTest::newRow("write, a read reply") << write << hex("01 04 02") << 7;
    for (int wakeUps = 0; wakeUps <= 4; ++wakeUps) {
        const QByteArray normal = Dlt(wakeUps, kNormalClearReply);
        QTest::addRow("clear, %d wake-up bytes", wakeUps) << clear << normal << wakeUps + 12;
        QTest::addRow("clear, %d wake-up bytes, refused", wakeUps)
            << clear << Dlt(wakeUps, kRefusedClearReply) << wakeUps + 13;
        // Everything before the length byte tells nothing.
        QTest::addRow("clear, %d wake-up bytes, no length yet", wakeUps)
            << clear << normal.left(wakeUps + 9) << 0;
        QTest::addRow("clear, %d wake-up bytes, up to the length", wakeUps)
            << clear << normal.left(wakeUps + 10) << wakeUps + 12;
    }
    QTest::newRow("clear, wake-up bytes only") << clear << QByteArray(12, '\xFE') << 0;
    QTest::newRow("clear, nothing yet") << clear << QByteArray() << 0;
    QTest::newRow("clear sent with wake-up bytes")
        << QByteArray(4, '\xFE') + clear << Dlt(4, kNormalClearReply) << 16;
}

void TestReplies::expectedLength()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, received);
    QFETCH(int, expected);
    QCOMPARE(ExpectedReplyLength(Span(request), Span(received)),
             static_cast<std::size_t>(expected));
}

// ---- the address reply --------------------------------------------------------------------

void TestReplies::addressReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("decimals");   // -1: absent
    QTest::addColumn<QString>("serial"); // null: absent

    const char three[] = "01 04 0C 00 25 00 06 00 05 00 02 12 34 56 78";
    QTest::newRow("three phase, 17 bytes") << Crc(three) << 37 << 2 << "12345678";
    QTest::newRow("one register, 7 bytes") << Crc("01 04 02 00 07") << 7 << -1 << QString();
    // The bytes of a longer buffer beyond the reply's own count are not the reply's.
    QTest::newRow("one register, zeros after it")
        << Crc("01 04 02 00 07") + QByteArray(10, '\0') << 7 << -1 << QString();
    QTest::newRow("cut after the decimals")
        << QByteArray::fromHex(three).left(11) << 37 << 2 << QString();
    QTest::newRow("cut inside the decimals")
        << QByteArray::fromHex(three).left(10) << 37 << -1 << QString();
    QTest::newRow("cut inside the serial number")
        << QByteArray::fromHex(three).left(14) << 37 << 2 << QString();
    QTest::newRow("serial number of BCD digits and letters")
        << Crc("01 04 0C 01 02 00 06 00 05 00 01 98 76 AB CD") << 258 << 1 << "9876abcd";
    QTest::newRow("nothing") << QByteArray() << 0 << -1 << QString();
}

void TestReplies::addressReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, decimals);
    QFETCH(QString, serial);
    const AddressReply decoded = DecodeAddressReply(Span(reply));
    QTEST(decoded.address, "address");
    QCOMPARE(decoded.decimalsRegister,
             decimals < 0 ? std::optional<int>() : std::optional<int>(decimals));
    QCOMPARE(decoded.serialNumber.has_value(), !serial.isNull());
    if (decoded.serialNumber) {
        QCOMPARE(QString::fromStdString(*decoded.serialNumber), serial);
    }
}

// ---- the words for each fault -------------------------------------------------------------

// Each fault says what went wrong in its own words; an exception and an unknown value name
// their code.
void TestReplies::faultTexts()
{
    QSet<QString> seen;
    for (int f = 0; f <= static_cast<int>(Fault::BadValue); ++f) {
        const QString text = QString::fromStdString(DescribeFault({static_cast<Fault>(f), 0x2A}));
        QVERIFY2(!text.isEmpty() && text != QStringLiteral("unknown fault"),
                 qPrintable(QString::number(f)));
        QVERIFY2(!seen.contains(text), qPrintable(text));
        seen.insert(text);
    }
    QCOMPARE(DescribeFault({Fault::NoReply}), std::string("no reply"));
    QCOMPARE(DescribeFault({Fault::Exception, 0x02}),
             std::string("Modbus exception 0x02 (illegal data address)"));
    QCOMPARE(DescribeFault({Fault::Exception, 0x0B}),
             std::string("Modbus exception 0x0B (gateway target device failed to respond)"));
    QCOMPARE(DescribeFault({Fault::Exception, 0xE1}),
             std::string("Modbus exception 0xE1 (unknown exception)"));
    QCOMPARE(DescribeFault({Fault::UnknownValue, 0x40}),
             std::string("the meter reported an unknown code 0x40"));
}

QTEST_GUILESS_MAIN(TestReplies)
#include "test_replies.moc"
