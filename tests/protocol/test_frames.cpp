// CRC, request frames, the register map and the packed BCD of serial numbers and passwords:
// everything that decides the bytes a command puts on the line.

#include "testsupport.h"

#include "bcd.h"
#include "crc.h"
#include "frame.h"
#include "meterdata.h"
#include "registermap.h"

#include <QTest>

#include <cstdint>
#include <optional>

Q_DECLARE_METATYPE(MeterProperty)

class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void replyCrc_data();
    void replyCrc();

    void requestFrames_data();
    void requestFrames();

    void registerMap_data();
    void registerMap();
    void codeLookups();

    void packing_data();
    void packing();
};

// ---- CRC ----------------------------------------------------------------------------------

// CalcCrc16 holds the byte sent first in its high half. A single byte b picks entry 0xFF ^ b
// of both tables, so the last four bytes give the first four entries of each published
// table (00 C1 81 40 and 00 C0 C1 01), against 0xFF in the byte sent first. The values come
// from the examples of the frame layout and from pymodbus's CRC; test_protocol_libmodbus
// checks every table entry against libmodbus.
void TestFrames::crc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("nothing") << QByteArray() << 0xFFFF;
    QTest::newRow("read holding 1, address 1") << QByteArray::fromHex("010300000001") << 0x840A;
    QTest::newRow("read meter, single") << QByteArray::fromHex("00040000001D") << 0x31D2;
    QTest::newRow("check string 123456789") << QByteArray("123456789") << 0x374B;
    QTest::newRow("00 to FF") << [] {
        QByteArray all;
        for (int b = 0; b < 256; ++b) {
            all.append(static_cast<char>(b));
        }
        return all;
    }() << 0x6CDE;
    QTest::newRow("00") << QByteArray::fromHex("00") << 0xBF40;
    QTest::newRow("7F") << QByteArray::fromHex("7F") << 0xFEA0;
    QTest::newRow("FC") << QByteArray::fromHex("FC") << 0xBF01;
    QTest::newRow("FD") << QByteArray::fromHex("FD") << 0x7EC1;
    QTest::newRow("FE") << QByteArray::fromHex("FE") << 0x3EC0;
    QTest::newRow("FF") << QByteArray::fromHex("FF") << 0xFF00;
}

void TestFrames::crc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int{CalcCrc16(Span(bytes).data(), static_cast<std::uint16_t>(bytes.size()))}, crc);
}

// The check values, and a reply's CRC read with the byte sent first as the high half.
void TestFrames::replyCrc_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("matches");
    QTest::newRow("read holding 1") << QByteArray::fromHex("010300000001840A") << true;
    QTest::newRow("read meter, single") << QByteArray::fromHex("00040000001D31D2") << true;
    QTest::newRow("write ack") << QByteArray::fromHex("0110001D000191CF") << true;
    QTest::newRow("crc bytes swapped") << QByteArray::fromHex("0110001D0001CF91") << false;
    QTest::newRow("one bit flipped") << QByteArray::fromHex("0110001D000391CF") << false;
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

// ---- request frames -----------------------------------------------------------------------

void TestFrames::requestFrames_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("expected");

    const auto single = MeterType::SinglePhase;
    const auto three = MeterType::ThreePhase;
    const auto address = MeterProperty::Address;
    const std::uint8_t baud9600[] = {0x00, BaudCode(9600)};
    const std::uint8_t address5[] = {0x00, 5};
    const auto serial = PackSerialNumber(U"12345678");
    const auto read = [](MeterProperty property, MeterType type) {
        return Hex(
            BuildReadRequest(0, RegisterOf(property, type), ReadCountOf(property, type)).bytes());
    };
    const auto write = [](std::uint8_t to, std::uint16_t reg, std::span<const std::uint8_t> data) {
        return Hex(BuildWriteRequest(to, reg, data).bytes());
    };

    QTest::newRow("set baud 9600, address 1, single")
        << write(1, RegisterOf(MeterProperty::BaudRate, single), baud9600)
        << "01 10 00 1D 00 01 02 00 20 A4 05";
    QTest::newRow("set address 5, single")
        << write(0, RegisterOf(address, single), address5) << "00 10 00 18 00 01 02 00 05 68 1B";
    QTest::newRow("set address 5, three")
        << write(0, RegisterOf(address, three), address5) << "00 10 00 2F 00 01 02 00 05 6C 5C";
    QTest::newRow("set serial 12345678, address 1, single")
        << write(1, RegisterOf(MeterProperty::SerialNumber, single), serial)
        << "01 10 00 14 00 02 04 12 34 56 78 88 64";
    QTest::newRow("read address, three") << read(address, three) << "00 04 00 2F 00 06 40 10";
    QTest::newRow("read address, single") << read(address, single) << "00 04 00 18 00 01 B0 1C";
    QTest::newRow("read meter, single")
        << Hex(BuildReadRequest(0, 0, kSinglePhaseRegisters).bytes()) << "00 04 00 00 00 1D 31 D2";
    QTest::newRow("read meter, three")
        << Hex(BuildReadRequest(0, 0, kThreePhaseRegisters).bytes()) << "00 04 00 00 00 2E 71 C7";
}

void TestFrames::requestFrames()
{
    QFETCH(QString, built);
    QFETCH(QString, expected);
    QCOMPARE(built, expected);
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

// A code or text that no list holds must select nothing rather than a neighbour.
void TestFrames::codeLookups()
{
    QCOMPARE(int{BaudCode(19200)}, 0);
    QCOMPARE(BaudIndexFromCode(0x0C), std::optional<int>());
    QCOMPARE(ParityCodeFromText("even check"), std::optional<std::uint8_t>());
    QCOMPARE(ParityIndexFromCode(3), std::optional<int>());
}

// ---- packed BCD of serial numbers and passwords -------------------------------------------

void TestFrames::packing_data()
{
    QTest::addColumn<bool>("password");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("packed");
    QTest::newRow("serial, 8 digits") << false << "12345678" << QByteArray::fromHex("12345678");
    QTest::newRow("serial, 3 digits overlap") << false << "123" << QByteArray::fromHex("12300023");
    QTest::newRow("serial, empty") << false << "" << QByteArray::fromHex("00000000");
    QTest::newRow("serial, 10 digits skip the middle")
        << false << "1234567890" << QByteArray::fromHex("12345690");
    QTest::newRow("serial, letters count 0")
        << false << "1a3b5c7d" << QByteArray::fromHex("10305070");
    QTest::newRow("serial, full-width digits count 0")
        << false << QString::fromUtf8("１２３４５６７８") << QByteArray::fromHex("00000000");
    QTest::newRow("serial, chinese around digits")
        << false << QString::fromUtf8("序列12号34") << QByteArray::fromHex("00120334");
    QTest::newRow("password, 4 digits") << true << "1234" << QByteArray::fromHex("1234");
    QTest::newRow("password, chinese")
        << true << QString::fromUtf8("密码") << QByteArray::fromHex("0000");
    QTest::newRow("password, one char") << true << "9" << QByteArray::fromHex("9090");
    QTest::newRow("password, six chars") << true << "123456" << QByteArray::fromHex("1256");
}

void TestFrames::packing()
{
    QFETCH(bool, password);
    QFETCH(QString, text);
    QFETCH(QByteArray, packed);
    const std::u32string chars = text.toStdU32String();
    QCOMPARE(password ? Hex(PackPassword(chars)) : Hex(PackSerialNumber(chars)), Hex(Span(packed)));
}

QTEST_GUILESS_MAIN(TestFrames)
#include "test_frames.moc"
