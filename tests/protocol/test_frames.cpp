// CRC, hex text, request frames, the register map and the packed BCD of serial numbers and
// passwords: everything that decides the bytes a command puts on the line.

#include "testsupport.h"

#include "bcd.h"
#include "crc.h"
#include "frame.h"
#include "hextext.h"
#include "meterdata.h"
#include "registermap.h"

#include <QRandomGenerator>
#include <QTest>

#include <climits>
#include <cstdint>
#include <optional>
#include <utility>

Q_DECLARE_METATYPE(MeterProperty)
Q_DECLARE_METATYPE(MeterType)
Q_DECLARE_METATYPE(std::optional<int>)

namespace {

std::span<const std::uint8_t> Span(const QByteArray& bytes)
{
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())};
}

// The wire-order value CalcCrc16 must give: the byte sent first in the high half.
std::uint16_t WireOrder(std::uint16_t textbook)
{
    return static_cast<std::uint16_t>((textbook & 0xFF) << 8 | textbook >> 8);
}

QString FrameHex(const Frame& frame)
{
    return Hex(frame.bytes());
}

} // namespace

class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void crcCheckValues_data();
    void crcCheckValues();
    void crcMatchesBitwiseForEverySingleByte();
    void crcMatchesBitwiseForRandomInputs();
    void crcTablesAreThePublishedOnes();
    void replyCrc_data();
    void replyCrc();

    void formatHexBytes_data();
    void formatHexBytes();
    void formatLowerHexDigits();
    void bytesToInt_data();
    void bytesToInt();

    void requestFrames_data();
    void requestFrames();
    void writeFramesCarryValidCrc();
    void clearZeroFrame();
    void frameNeverGrowsPastCapacity();

    void registerMap_data();
    void registerMap();
    void readCounts();
    void meterTypeFromIndex();
    void baudCodes();
    void parityCodes_data();
    void parityCodes();
    void parityIndexFromCode();

    void packSerialNumber_data();
    void packSerialNumber();
    void packPassword_data();
    void packPassword();
};

// ---- CRC ----------------------------------------------------------------------------------

void TestFrames::crcCheckValues_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("read holding 1")
        << QByteArray::fromHex("010300000001") << QByteArray::fromHex("840A");
    QTest::newRow("read meter, single")
        << QByteArray::fromHex("00040000001D") << QByteArray::fromHex("31D2");
    QTest::newRow("read meter, three")
        << QByteArray::fromHex("00040000002E") << QByteArray::fromHex("71C7");
    QTest::newRow("write ack") << QByteArray::fromHex("0110001D0001")
                               << QByteArray::fromHex("91CF");
}

void TestFrames::crcCheckValues()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, wire);
    const std::uint16_t crc = CalcCrc16(Span(data).data(), static_cast<std::uint16_t>(data.size()));
    QCOMPARE(crc >> 8, int{static_cast<std::uint8_t>(wire[0])});
    QCOMPARE(crc & 0xFF, int{static_cast<std::uint8_t>(wire[1])});
}

void TestFrames::crcMatchesBitwiseForEverySingleByte()
{
    const std::uint8_t unused = 0x5A;
    QCOMPARE(CalcCrc16(&unused, 0), std::uint16_t{0xFFFF});
    for (int value = 0; value < 256; ++value) {
        const std::uint8_t byte = static_cast<std::uint8_t>(value);
        QCOMPARE(CalcCrc16(&byte, 1), WireOrder(ReferenceCrc({&byte, 1})));
    }
}

void TestFrames::crcMatchesBitwiseForRandomInputs()
{
    QRandomGenerator random(20240611);
    for (int round = 0; round < 500; ++round) {
        Bytes data(random.bounded(0, 300));
        for (std::uint8_t& byte : data) {
            byte = static_cast<std::uint8_t>(random.bounded(256));
        }
        QCOMPARE(CalcCrc16(data.data(), static_cast<std::uint16_t>(data.size())),
                 WireOrder(ReferenceCrc(data)));
    }
}

// One byte b through the table loop from F = S = 0xFF gives F = 0xFF ^ first[0xFF ^ b] and
// S = second[0xFF ^ b], which lays the tables open without reaching into the code.
void TestFrames::crcTablesAreThePublishedOnes()
{
    const Bytes first = FromHex("00 C1 81 40 01 C0 80 41 01 C0 80 41 00 C1 81 40");
    const Bytes second = FromHex("00 C0 C1 01 C3 03 02 C2 C6 06 07 C7 05 C5 C4 04");
    const Bytes secondTail = FromHex("41 81 80 40");
    const auto tables = [](int index) {
        const std::uint8_t byte = static_cast<std::uint8_t>(index ^ 0xFF);
        const std::uint16_t crc = CalcCrc16(&byte, 1);
        return std::pair<int, int>{(crc >> 8) ^ 0xFF, crc & 0xFF};
    };
    for (int i = 0; i < 16; ++i) {
        QCOMPARE(tables(i).first, int{first[i]});
        QCOMPARE(tables(i).second, int{second[i]});
    }
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(tables(252 + i).second, int{secondTail[i]});
    }
}

void TestFrames::replyCrc_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("matches");
    QTest::newRow("write ack") << QByteArray::fromHex("0110001D000191CF") << true;
    QTest::newRow("crc bytes swapped") << QByteArray::fromHex("0110001D0001CF91") << false;
    QTest::newRow("one bit flipped") << QByteArray::fromHex("0110001D000391CF") << false;
    QTest::newRow("read address reply") << QByteArray::fromHex("0004020005 44F3") << true;
    QTest::newRow("crc of nothing") << QByteArray::fromHex("FFFF") << true;
    QTest::newRow("one byte") << QByteArray::fromHex("FF") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestFrames::replyCrc()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, matches);
    QCOMPARE(ReplyCrcMatches(Span(reply).data(), static_cast<std::size_t>(reply.size())), matches);
}

// ---- hex text and big-endian integers -----------------------------------------------------

void TestFrames::formatHexBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("one byte") << QByteArray::fromHex("0A") << QStringLiteral("0A ");
    QTest::newRow("read meter") << QByteArray::fromHex("00040000001D31D2")
                                << QStringLiteral("00 04 00 00 00 1D 31 D2 ");
    QTest::newRow("upper case, all nibbles")
        << QByteArray::fromHex("FFabCD10") << QStringLiteral("FF AB CD 10 ");
}

void TestFrames::formatHexBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(FormatHexBytes(Span(bytes).data(), Span(bytes).size())), text);
}

void TestFrames::formatLowerHexDigits()
{
    const Bytes sn = FromHex("12 34 56 78");
    QCOMPARE(FormatLowerHexDigits(sn.data(), sn.size()), std::string("12345678"));
    const Bytes mixed = FromHex("0A BC DE F0");
    QCOMPARE(FormatLowerHexDigits(mixed.data(), mixed.size()), std::string("0abcdef0"));
    QCOMPARE(FormatLowerHexDigits(mixed.data(), 0), std::string());
}

void TestFrames::bytesToInt_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("value");
    QTest::newRow("2 bytes, small") << QByteArray::fromHex("0005") << qint64{5};
    QTest::newRow("2 bytes, top bit") << QByteArray::fromHex("8000") << qint64{32768};
    QTest::newRow("2 bytes, max") << QByteArray::fromHex("FFFF") << qint64{65535};
    QTest::newRow("4 bytes") << QByteArray::fromHex("00012345") << qint64{0x12345};
    QTest::newRow("4 bytes, -4660") << QByteArray::fromHex("FFFFEDCC") << qint64{-4660};
    QTest::newRow("4 bytes, -1") << QByteArray::fromHex("FFFFFFFF") << qint64{-1};
    QTest::newRow("4 bytes, min") << QByteArray::fromHex("80000000") << qint64{INT32_MIN};
    QTest::newRow("4 bytes, max") << QByteArray::fromHex("7FFFFFFF") << qint64{INT32_MAX};
}

void TestFrames::bytesToInt()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, value);
    QCOMPARE(qint64{BytesToInt(Span(bytes).data(), static_cast<int>(bytes.size()))}, value);
}

// ---- request frames -----------------------------------------------------------------------

void TestFrames::requestFrames_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("expected");

    const auto single = MeterType::SinglePhase;
    const auto three = MeterType::ThreePhase;
    const std::uint8_t baud9600[] = {0x00, BaudCode(9600)};
    const std::uint8_t address5[] = {0x00, 5};
    const auto serial = PackSerialNumber(U"12345678");

    QTest::newRow("set baud 9600, address 1, single")
        << FrameHex(BuildWriteRequest(1, RegisterOf(MeterProperty::BaudRate, single), baud9600))
        << "01 10 00 1D 00 01 02 00 20 A4 05";
    QTest::newRow("set address 5, single")
        << FrameHex(BuildWriteRequest(0, RegisterOf(MeterProperty::Address, single), address5))
        << "00 10 00 18 00 01 02 00 05 68 1B";
    QTest::newRow("set address 5, three")
        << FrameHex(BuildWriteRequest(0, RegisterOf(MeterProperty::Address, three), address5))
        << "00 10 00 2F 00 01 02 00 05 6C 5C";
    QTest::newRow("set serial 12345678, address 1, single")
        << FrameHex(BuildWriteRequest(1, RegisterOf(MeterProperty::SerialNumber, single), serial))
        << "01 10 00 14 00 02 04 12 34 56 78 88 64";
    QTest::newRow("read address, three")
        << FrameHex(BuildReadRequest(0, RegisterOf(MeterProperty::Address, three),
                                     ReadCountOf(MeterProperty::Address, three)))
        << "00 04 00 2F 00 06 40 10";
    QTest::newRow("read address, single")
        << FrameHex(BuildReadRequest(0, RegisterOf(MeterProperty::Address, single),
                                     ReadCountOf(MeterProperty::Address, single)))
        << "00 04 00 18 00 01 B0 1C";
    QTest::newRow("read meter, single")
        << FrameHex(BuildReadRequest(0, 0, kSinglePhaseRegisters)) << "00 04 00 00 00 1D 31 D2";
    QTest::newRow("read meter, three")
        << FrameHex(BuildReadRequest(0, 0, kThreePhaseRegisters)) << "00 04 00 00 00 2E 71 C7";
}

void TestFrames::requestFrames()
{
    QFETCH(QString, built);
    QFETCH(QString, expected);
    QCOMPARE(built, expected);
}

// Frames not spelt out byte for byte anywhere: layout by field, CRC by the bitwise reference.
void TestFrames::writeFramesCarryValidCrc()
{
    struct Case
    {
        std::uint8_t address;
        MeterProperty property;
        MeterType type;
        Bytes data;
    };
    const Case cases[] = {
        {7,
         MeterProperty::Parity,
         MeterType::SinglePhase,
         {0x00, *ParityCodeFromText("Even check")}},
        {7,
         MeterProperty::Parity,
         MeterType::ThreePhase,
         {0x00, *ParityCodeFromText("Even check")}},
        {254, MeterProperty::CtRatio, MeterType::ThreePhase, {0x00, 100}},
        {0, MeterProperty::Password, MeterType::ThreePhase, {0x12, 0x34}},
    };
    for (const Case& c : cases) {
        const std::uint16_t reg = RegisterOf(c.property, c.type);
        const Frame frame = BuildWriteRequest(c.address, reg, c.data);
        Bytes expected{c.address,
                       0x10,
                       static_cast<std::uint8_t>(reg >> 8),
                       static_cast<std::uint8_t>(reg & 0xFF),
                       0x00,
                       static_cast<std::uint8_t>(c.data.size() / 2),
                       static_cast<std::uint8_t>(c.data.size())};
        expected.insert(expected.end(), c.data.begin(), c.data.end());
        QCOMPARE(FrameHex(frame), Hex(WithCrc(expected)));
    }
    // Parity lives at one register whatever the meter type; CT ratio 100 is 00 64.
    const std::uint8_t even[] = {0x00, 0x00};
    QCOMPARE(int{BuildWriteRequest(7, RegisterOf(MeterProperty::Parity, MeterType::SinglePhase),
                                   even)[3]},
             0x50);
    QCOMPARE(int{BuildWriteRequest(7, RegisterOf(MeterProperty::Parity, MeterType::ThreePhase),
                                   even)[3]},
             0x50);
}

void TestFrames::clearZeroFrame()
{
    const Frame frame = BuildClearZeroFrame();
    QCOMPARE(frame.size(), std::size_t{20});
    QCOMPARE(Hex(frame.bytes().first(10)), QStringLiteral("68 AA AA AA AA AA AA 68 1A 08"));
    unsigned sum = 0;
    for (std::size_t i = 0; i < 18; ++i) {
        sum += frame[i];
    }
    QCOMPARE(int{frame[18]}, static_cast<int>(sum % 256));
    QCOMPARE(int{frame[19]}, 0x16);
    // The frame is fixed: two builds give the same bytes.
    QCOMPARE(FrameHex(BuildClearZeroFrame()), FrameHex(frame));
}

void TestFrames::frameNeverGrowsPastCapacity()
{
    Frame frame;
    for (int i = 0; i < 100; ++i) {
        frame.push(static_cast<std::uint8_t>(i));
    }
    QCOMPARE(frame.size(), Frame::kCapacity);
    QCOMPARE(int{frame[Frame::kCapacity - 1]}, static_cast<int>(Frame::kCapacity - 1));
    frame.appendCrc();
    QCOMPARE(frame.size(), Frame::kCapacity);

    const Bytes tooMuch(200, 0x11);
    QVERIFY(BuildWriteRequest(1, 0x14, tooMuch).size() <= Frame::kCapacity);
}

// ---- register map and codes ---------------------------------------------------------------

void TestFrames::registerMap_data()
{
    QTest::addColumn<MeterProperty>("property");
    QTest::addColumn<int>("single");
    QTest::addColumn<int>("three");
    QTest::addColumn<int>("other");
    QTest::newRow("serial number") << MeterProperty::SerialNumber << 0x14 << 0x33 << 0;
    QTest::newRow("address") << MeterProperty::Address << 0x18 << 0x2F << 0;
    QTest::newRow("display time") << MeterProperty::DisplayTime << 0x19 << 0x31 << 0;
    QTest::newRow("screen number") << MeterProperty::ScreenNumber << 0x1A << 0x30 << 0;
    QTest::newRow("decimal places") << MeterProperty::DecimalPlaces << 0x1B << 0x32 << 0;
    QTest::newRow("baud rate") << MeterProperty::BaudRate << 0x1D << 0x2E << 0;
    QTest::newRow("ct ratio") << MeterProperty::CtRatio << 0 << 0x44 << 0;
    QTest::newRow("password") << MeterProperty::Password << 0 << 0x46 << 0;
    QTest::newRow("parity") << MeterProperty::Parity << 0x50 << 0x50 << 0x50;
}

void TestFrames::registerMap()
{
    QFETCH(MeterProperty, property);
    QFETCH(int, single);
    QFETCH(int, three);
    QFETCH(int, other);
    QCOMPARE(int{RegisterOf(property, MeterType::SinglePhase)}, single);
    QCOMPARE(int{RegisterOf(property, MeterType::ThreePhase)}, three);
    QCOMPARE(int{RegisterOf(property, MeterType::Other)}, other);
}

void TestFrames::readCounts()
{
    QCOMPARE(int{ReadCountOf(MeterProperty::Address, MeterType::SinglePhase)}, 1);
    QCOMPARE(int{ReadCountOf(MeterProperty::Address, MeterType::ThreePhase)}, 6);
    QCOMPARE(int{ReadCountOf(MeterProperty::SerialNumber, MeterType::SinglePhase)}, 2);
    QCOMPARE(int{ReadCountOf(MeterProperty::SerialNumber, MeterType::ThreePhase)}, 2);
    QCOMPARE(int{ReadCountOf(MeterProperty::Parity, MeterType::ThreePhase)}, 1);
    QCOMPARE(int{ReadCountOf(MeterProperty::CtRatio, MeterType::ThreePhase)}, 1);
}

void TestFrames::meterTypeFromIndex()
{
    QCOMPARE(MeterTypeFromIndex(0), MeterType::SinglePhase);
    QCOMPARE(MeterTypeFromIndex(1), MeterType::ThreePhase);
    QCOMPARE(MeterTypeFromIndex(2), MeterType::Other);
    QCOMPARE(MeterTypeFromIndex(-1), MeterType::Other);
}

void TestFrames::baudCodes()
{
    const int codes[] = {0x04, 0x08, 0x10, 0x20};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(int{BaudCode(kBaudRates[i])}, codes[i]);
        QCOMPARE(BaudIndexFromCode(static_cast<std::uint8_t>(codes[i])), std::optional<int>(i));
    }
    QCOMPARE(int{BaudCode(19200)}, 0);
    QCOMPARE(int{BaudCode(0)}, 0);
    for (int code : {0x00, 0x02, 0x0C, 0x40, 0x80, 0xFF}) {
        QCOMPARE(BaudIndexFromCode(static_cast<std::uint8_t>(code)), std::optional<int>());
    }
}

void TestFrames::parityCodes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<std::optional<int>>("code");
    QTest::newRow("even") << "Even check" << std::optional<int>(0);
    QTest::newRow("odd") << "Odd check" << std::optional<int>(1);
    QTest::newRow("none") << "None check" << std::optional<int>(2);
    QTest::newRow("lower case") << "even check" << std::optional<int>();
    QTest::newRow("trailing space") << "Odd check " << std::optional<int>();
    QTest::newRow("empty") << "" << std::optional<int>();
}

void TestFrames::parityCodes()
{
    QFETCH(QString, text);
    QFETCH(std::optional<int>, code);
    const std::optional<std::uint8_t> got = ParityCodeFromText(text.toStdString());
    QCOMPARE(got.has_value(), code.has_value());
    if (code) {
        QCOMPARE(int{*got}, *code);
    }
}

void TestFrames::parityIndexFromCode()
{
    // The window's lists run None, Odd, Even; the meter's codes run Even 0, Odd 1, None 2.
    QCOMPARE(ParityIndexFromCode(0), std::optional<int>(2));
    QCOMPARE(ParityIndexFromCode(1), std::optional<int>(1));
    QCOMPARE(ParityIndexFromCode(2), std::optional<int>(0));
    QCOMPARE(ParityIndexFromCode(3), std::optional<int>());
    QCOMPARE(ParityIndexFromCode(0xFF), std::optional<int>());
    for (std::size_t i = 0; i < kParityTexts.size(); ++i) {
        QCOMPARE(ParityIndexFromCode(*ParityCodeFromText(kParityTexts[i])),
                 std::optional<int>(static_cast<int>(i)));
    }
}

// ---- packed BCD of serial numbers and passwords -------------------------------------------

void TestFrames::packSerialNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("packed");
    QTest::newRow("8 digits") << "12345678" << QByteArray::fromHex("12345678");
    QTest::newRow("3 digits, last group overlaps") << "123" << QByteArray::fromHex("12300023");
    QTest::newRow("empty") << "" << QByteArray::fromHex("00000000");
    QTest::newRow("one digit") << "7" << QByteArray::fromHex("70000070");
    QTest::newRow("two digits") << "45" << QByteArray::fromHex("45000045");
    QTest::newRow("10 digits, middle skipped") << "1234567890" << QByteArray::fromHex("12345690");
    QTest::newRow("non-digits count 0") << "1a3b5c7d" << QByteArray::fromHex("10305070");
    QTest::newRow("full-width digits")
        << QString::fromUtf8("１２３４５６７８") << QByteArray::fromHex("00000000");
    QTest::newRow("chinese around digits")
        << QString::fromUtf8("序列12号34") << QByteArray::fromHex("00120334");
}

void TestFrames::packSerialNumber()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, packed);
    const auto bytes = PackSerialNumber(text.toStdU32String());
    QCOMPARE(Hex(bytes), Hex(Span(packed)));
}

void TestFrames::packPassword_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("packed");
    QTest::newRow("4 digits") << "1234" << QByteArray::fromHex("1234");
    QTest::newRow("zeros") << "0000" << QByteArray::fromHex("0000");
    QTest::newRow("non-digits") << "1x3y" << QByteArray::fromHex("1030");
    QTest::newRow("full-width digits")
        << QString::fromUtf8("１２３４") << QByteArray::fromHex("0000");
    QTest::newRow("chinese") << QString::fromUtf8("密码") << QByteArray::fromHex("0000");
    QTest::newRow("one char") << "9" << QByteArray::fromHex("9090");
    QTest::newRow("empty") << "" << QByteArray::fromHex("0000");
    QTest::newRow("six chars") << "123456" << QByteArray::fromHex("1256");
}

void TestFrames::packPassword()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, packed);
    const auto bytes = PackPassword(text.toStdU32String());
    QCOMPARE(Hex(bytes), Hex(Span(packed)));
}

QTEST_GUILESS_MAIN(TestFrames)
#include "test_frames.moc"
