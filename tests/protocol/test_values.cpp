// The display texts of measured values: packed and signed BCD, decimal points, the energy
// rules of both meter types, and the decoders of the two read-meter replies.

#include "testsupport.h"

#include "bcd.h"
#include "meterdata.h"

#include <QScopeGuard>
#include <QTest>

#include <climits>
#include <clocale>
#include <cstdint>
#include <optional>
#include <string>

namespace {

const std::uint8_t* Data(const QByteArray& bytes)
{
    return reinterpret_cast<const std::uint8_t*>(bytes.constData());
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

void AppendInt32(Bytes& bytes, std::int32_t value)
{
    const auto u = static_cast<std::uint32_t>(value);
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(u >> shift));
    }
}

// A complete single-phase reply (63 bytes) with the given decimal mode register.
Bytes SinglePhaseReply(std::uint16_t modeRegister)
{
    Bytes reply{0x01, 0x04, 0x3A};
    const Bytes registers = FromHex("00 01 23 45"         // 0-1 active energy
                                    "00 02 20 53"         // 2-3 positive energy
                                    "00 00 00 07"         // 4-5 reverse energy
                                    "00 00 23 00"         // 6-7 voltage 230.0 V
                                    "00 00 50 00"         // 8-9 current 5.000 A
                                    "FF FF ED CC"         // 10-11 active power -123.4
                                    "00 00 12 30"         // 12-13 reactive power 123.0
                                    "00 01 15 05"         // 14-15 apparent power 1150.5
                                    "00 00 09 80"         // 16-17 power factor 0.980
                                    "00 00 50 00"         // 18-19 frequency 50.00 Hz
                                    "12 AB 56 CD"         // 20-21 serial number
                                    "00 00 16 00"         // 22-23 constant 1600
                                    "FF FF FF FF FF FF"); // 24-26 not used
    reply.insert(reply.end(), registers.begin(), registers.end());
    reply.push_back(static_cast<std::uint8_t>(modeRegister >> 8)); // 27 decimal mode
    reply.push_back(static_cast<std::uint8_t>(modeRegister & 0xFF));
    reply.push_back(0x00); // 28 tariff number 4
    reply.push_back(0x04);
    return WithCrc(reply);
}

struct ThreePhaseRow
{
    ThreePhaseValue value;
    std::int32_t raw;
    const char* mode1;
    const char* mode2;
};

// One row per value of the three-phase reply, in reply order.
constexpr ThreePhaseRow kThreePhaseRows[] = {
    {TpActiveKWh, 123456, "1234.5", "1234.56"},
    {TpPositiveKWh, 123459, "1234.5", "1234.59"},
    {TpReverseKWh, -123456, "-1234.5", "-1234.56"},
    {TpReactiveKWh, -5, "0", "-0.05"},
    {TpVoltageL1, 2300, "230", "230"},
    {TpVoltageL2, 2301, "230.1", "230.1"},
    {TpVoltageL3, 22053, "2205.3", "2205.3"},
    {TpCurrentL1, 500, "5", "5"},
    {TpCurrentL2, -5, "-0.05", "-0.05"},
    {TpCurrentL3, 1234, "12.34", "12.34"},
    {TpActivePowerL1, 100000, "1000", "1000"},
    {TpActivePowerL2, -123456, "-1234.56", "-1234.56"},
    {TpActivePowerL3, 0, "0", "0"},
    {TpReactivePowerL1, INT32_MAX, "21474836.47", "21474836.47"},
    {TpReactivePowerL2, INT32_MIN, "-21474836.48", "-21474836.48"},
    {TpReactivePowerL3, 7, "0.07", "0.07"},
    {TpPowerFactorL1, 866, "0.866", "0.866"},
    {TpPowerFactorL2, -866, "-0.866", "-0.866"},
    {TpPowerFactorL3, 1000, "1", "1"},
    {TpActivePower, 345678, "3456.78", "3456.78"},
    {TpReactivePower, -1, "-0.01", "-0.01"},
    {TpPowerFactor, 980, "0.980", "0.980"},
    {TpFrequency, 5000, "50", "50"},
};
static_assert(std::size(kThreePhaseRows) == TpValueCount);

Bytes ThreePhaseReply()
{
    Bytes reply{0x01, 0x04, 0x5C};
    for (const ThreePhaseRow& row : kThreePhaseRows) {
        AppendInt32(reply, row.raw);
    }
    return WithCrc(reply);
}

} // namespace

class TestValues : public QObject
{
    Q_OBJECT

private slots:
    void bcdToText_data();
    void bcdToText();
    void bcdToTextSurvivesInvalidNibbles();
    void insertDecimalPoint_data();
    void insertDecimalPoint();
    void signedBcdToText_data();
    void signedBcdToText();

    void singlePhaseEnergy_data();
    void singlePhaseEnergy();
    void singlePhaseEnergyIgnoresLocale();
    void threePhaseValue_data();
    void threePhaseValue();
    void threePhaseEnergy_data();
    void threePhaseEnergy();

    void decodeSinglePhase_data();
    void decodeSinglePhase();
    void decodeShortSinglePhaseReply();
    void decodeThreePhase_data();
    void decodeThreePhase();
    void decodeShortThreePhaseReply();
};

// ---- BCD and decimal points ---------------------------------------------------------------

void TestValues::bcdToText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("text");
    QTest::newRow("220.5") << QByteArray::fromHex("00002205") << 1 << "220.5";
    QTest::newRow("zero fraction dropped") << QByteArray::fromHex("00002200") << 1 << "220";
    QTest::newRow("leading zero before point") << QByteArray::fromHex("00000005") << 2 << "0.05";
    QTest::newRow("fraction keeps its zeros") << QByteArray::fromHex("00000100") << 3 << "0.100";
    QTest::newRow("no decimals") << QByteArray::fromHex("00001234") << 0 << "1234";
    QTest::newRow("zero") << QByteArray::fromHex("00000000") << 1 << "0";
    QTest::newRow("zero, no decimals") << QByteArray::fromHex("00000000") << 0 << "0";
    QTest::newRow("zero, 3 decimals") << QByteArray::fromHex("00000000") << 3 << "0";
    QTest::newRow("123.45") << QByteArray::fromHex("00012345") << 2 << "123.45";
    QTest::newRow("123.00") << QByteArray::fromHex("00012300") << 2 << "123";
    QTest::newRow("all nines") << QByteArray::fromHex("99999999") << 2 << "999999.99";
    QTest::newRow("8 digits, no decimals") << QByteArray::fromHex("12345678") << 0 << "12345678";
    QTest::newRow("two bytes") << QByteArray::fromHex("1234") << 0 << "1234";
    QTest::newRow("two bytes, small") << QByteArray::fromHex("0004") << 0 << "4";
    QTest::newRow("no bytes") << QByteArray() << 2 << "0";
    QTest::newRow("decimals beyond the digits")
        << QByteArray::fromHex("00000005") << 8 << "0.00000005";
}

void TestValues::bcdToText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, decimals);
    QFETCH(QString, text);
    QCOMPARE(Text(BcdToText(Data(bytes), static_cast<int>(bytes.size()), decimals)), text);
}

// A meter that sends nibbles A to F sends garbage: digits up to the first such nibble count,
// and a fraction is taken as sent. The text is odd but stays within the digits it was given.
void TestValues::bcdToTextSurvivesInvalidNibbles()
{
    for (int value = 0; value < 256; ++value) {
        const auto b = static_cast<std::uint8_t>(value);
        const std::uint8_t bytes[] = {b, static_cast<std::uint8_t>(~b), 0x9A, b};
        for (int decimals = 0; decimals <= 3; ++decimals) {
            const std::string text = BcdToText(bytes, 4, decimals);
            QVERIFY2(text.size() <= 10, text.c_str());
            QVERIFY2(text.find_first_not_of("0123456789ABCDEF.") == std::string::npos,
                     text.c_str());
        }
        const std::string signedText = SignedBcdToText(bytes);
        QVERIFY2(signedText.size() <= 11, signedText.c_str());
        QVERIFY2(signedText.find_first_not_of("-0123456789ABCDEF.") == std::string::npos,
                 signedText.c_str());
    }
    const std::uint8_t allF[] = {0xFF, 0xFF, 0xFF, 0xFF};
    QCOMPARE(Text(BcdToText(allF, 4, 1)), QStringLiteral("0"));
}

void TestValues::insertDecimalPoint_data()
{
    QTest::addColumn<QString>("digits");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero fraction dropped") << "22050" << 1 << "2205";
    QTest::newRow("2205.3") << "22053" << 1 << "2205.3";
    QTest::newRow("fraction padded") << "5" << 2 << "0.05";
    QTest::newRow("whole number") << "1000" << 3 << "1";
    QTest::newRow("0.866") << "866" << 3 << "0.866";
    QTest::newRow("empty") << "" << 1 << "0";
    QTest::newRow("zero") << "0" << 2 << "0";
    QTest::newRow("trailing zero of a fraction kept") << "50" << 2 << "0.50";
    QTest::newRow("inner zero") << "1001" << 3 << "1.001";
    QTest::newRow("no decimals") << "7" << 0 << "7";
    QTest::newRow("1234.56") << "123456" << 2 << "1234.56";
    QTest::newRow("int32 max") << "2147483647" << 2 << "21474836.47";
}

void TestValues::insertDecimalPoint()
{
    QFETCH(QString, digits);
    QFETCH(int, decimals);
    QFETCH(QString, text);
    QCOMPARE(Text(InsertDecimalPoint(digits.toStdString(), decimals)), text);
}

void TestValues::signedBcdToText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("positive") << QByteArray::fromHex("00001234") << "123.4";
    QTest::newRow("positive, zero fraction") << QByteArray::fromHex("00001230") << "123";
    QTest::newRow("zero") << QByteArray::fromHex("00000000") << "0";
    QTest::newRow("-123.4") << QByteArray::fromHex("FFFFEDCC") << "-123.4";
    QTest::newRow("-0.5") << QByteArray::fromHex("FFFFFFFB") << "-0.5";
    QTest::newRow("magnitude 1230") << QByteArray::fromHex("FFFFEDD0") << "-123";
    QTest::newRow("minus one") << QByteArray::fromHex("FFFFFFFF") << "-0.1";
    QTest::newRow("most negative code") << QByteArray::fromHex("80000000") << "-8000000";
}

void TestValues::signedBcdToText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(Text(SignedBcdToText(Data(bytes))), text);
}

// ---- energy and value rules ---------------------------------------------------------------

void TestValues::singlePhaseEnergy_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");
    QTest::newRow("12345, mode 1") << QByteArray::fromHex("00012345") << 1 << "123.4";
    QTest::newRow("12345, mode 2") << QByteArray::fromHex("00012345") << 2 << "123.45";
    QTest::newRow("12346, mode 1 rounds up") << QByteArray::fromHex("00012346") << 1 << "123.5";
    QTest::newRow("22053, mode 1") << QByteArray::fromHex("00022053") << 1 << "220.5";
    QTest::newRow("12300, mode 1") << QByteArray::fromHex("00012300") << 1 << "123.0";
    QTest::newRow("12300, mode 2") << QByteArray::fromHex("00012300") << 2 << "123";
    QTest::newRow("zero, mode 1") << QByteArray::fromHex("00000000") << 1 << "0.0";
    QTest::newRow("zero, mode 2") << QByteArray::fromHex("00000000") << 2 << "0";
    QTest::newRow("7, mode 2") << QByteArray::fromHex("00000007") << 2 << "0.07";
}

void TestValues::singlePhaseEnergy()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, mode);
    QFETCH(QString, text);
    QCOMPARE(Text(SinglePhaseEnergyText(Data(bytes), mode)), text);
}

// The window runs with the user's locale (Qt sets it from the environment at start-up). A
// locale with a decimal comma must change neither the value nor the point of an energy text.
void TestValues::singlePhaseEnergyIgnoresLocale()
{
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    const auto restore = qScopeGuard([&previous] { std::setlocale(LC_NUMERIC, previous.c_str()); });
    bool commaLocale = false;
    for (const char* name :
         {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) && std::localeconv()->decimal_point[0] == ',') {
            commaLocale = true;
            break;
        }
    }
    if (!commaLocale) {
        QSKIP("no locale with a decimal comma is available");
    }
    const Bytes value = FromHex("00 01 23 46");
    QCOMPARE(Text(SinglePhaseEnergyText(value.data(), 1)), QStringLiteral("123.5"));
    QCOMPARE(Text(SinglePhaseEnergyText(value.data(), 2)), QStringLiteral("123.46"));
    const SinglePhaseValues decoded = DecodeSinglePhase(SinglePhaseReply(1));
    QCOMPARE(Text(decoded.positiveKWh.value_or("absent")), QStringLiteral("220.5"));
}

void TestValues::threePhaseValue_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("text");
    QTest::newRow("0.866") << 866 << 3 << "0.866";
    QTest::newRow("-0.866") << -866 << 3 << "-0.866";
    QTest::newRow("230") << 2300 << 1 << "230";
    QTest::newRow("-0.05") << -5 << 2 << "-0.05";
    QTest::newRow("-1234.56") << -123456 << 2 << "-1234.56";
    QTest::newRow("-1") << -100 << 2 << "-1";
    QTest::newRow("zero") << 0 << 2 << "0";
    QTest::newRow("int32 min") << INT32_MIN << 2 << "-21474836.48";
    QTest::newRow("int32 max") << INT32_MAX << 3 << "2147483.647";
}

void TestValues::threePhaseValue()
{
    QFETCH(int, value);
    QFETCH(int, decimals);
    QFETCH(QString, text);
    QCOMPARE(Text(ThreePhaseValueText(value, decimals)), text);
}

void TestValues::threePhaseEnergy_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");
    QTest::newRow("123456, mode 1") << 123456 << 1 << "1234.5";
    QTest::newRow("123459, mode 1 truncates") << 123459 << 1 << "1234.5";
    QTest::newRow("123456, mode 2") << 123456 << 2 << "1234.56";
    QTest::newRow("-123456, mode 1") << -123456 << 1 << "-1234.5";
    QTest::newRow("-123456, mode 2") << -123456 << 2 << "-1234.56";
    QTest::newRow("12340, mode 1") << 12340 << 1 << "123.4";
    QTest::newRow("100, mode 1") << 100 << 1 << "1";
    QTest::newRow("5, mode 1") << 5 << 1 << "0";
    QTest::newRow("-5, mode 1: no minus on zero") << -5 << 1 << "0";
    QTest::newRow("-9, mode 1") << -9 << 1 << "0";
    QTest::newRow("-10, mode 1") << -10 << 1 << "-0.1";
    QTest::newRow("-5, mode 2") << -5 << 2 << "-0.05";
    QTest::newRow("zero, mode 1") << 0 << 1 << "0";
    QTest::newRow("zero, mode 2") << 0 << 2 << "0";
    QTest::newRow("int32 min, mode 1") << INT32_MIN << 1 << "-21474836.4";
    QTest::newRow("int32 max, mode 2") << INT32_MAX << 2 << "21474836.47";
}

void TestValues::threePhaseEnergy()
{
    QFETCH(int, value);
    QFETCH(int, mode);
    QFETCH(QString, text);
    QCOMPARE(Text(ThreePhaseEnergyText(value, mode)), text);
}

// ---- decoders -----------------------------------------------------------------------------

void TestValues::decodeSinglePhase_data()
{
    QTest::addColumn<int>("modeRegister");
    QTest::addColumn<bool>("energies");
    QTest::addColumn<QString>("active");
    QTest::addColumn<QString>("positive");
    QTest::addColumn<QString>("reverse");
    QTest::newRow("mode 1") << 1 << true << "123.4"
                            << "220.5"
                            << "0.1";
    QTest::newRow("mode 2") << 2 << true << "123.45"
                            << "220.53"
                            << "0.07";
    QTest::newRow("mode 3: energies skipped") << 3 << false << ""
                                              << ""
                                              << "";
    QTest::newRow("mode 0: energies skipped") << 0 << false << ""
                                              << ""
                                              << "";
    QTest::newRow("0x0101 is not 1") << 0x0101 << false << ""
                                     << ""
                                     << "";
}

void TestValues::decodeSinglePhase()
{
    QFETCH(int, modeRegister);
    QFETCH(bool, energies);
    QFETCH(QString, active);
    QFETCH(QString, positive);
    QFETCH(QString, reverse);

    const Bytes reply = SinglePhaseReply(static_cast<std::uint16_t>(modeRegister));
    QCOMPARE(reply.size(), kSinglePhaseReplySize);
    const SinglePhaseValues v = DecodeSinglePhase(reply);

    QCOMPARE(v.decimalModeRegister, modeRegister);
    QCOMPARE(v.activeKWh.has_value(), energies);
    QCOMPARE(v.positiveKWh.has_value(), energies);
    QCOMPARE(v.reverseKWh.has_value(), energies);
    if (energies) {
        QCOMPARE(Text(*v.activeKWh), active);
        QCOMPARE(Text(*v.positiveKWh), positive);
        QCOMPARE(Text(*v.reverseKWh), reverse);
    }
    QCOMPARE(Text(v.voltageL1), QStringLiteral("230"));
    QCOMPARE(Text(v.currentL1), QStringLiteral("5"));
    QCOMPARE(Text(v.activePower), QStringLiteral("-123.4"));
    QCOMPARE(Text(v.reactivePower), QStringLiteral("123"));
    QCOMPARE(Text(v.apparentPower), QStringLiteral("1150.5"));
    QCOMPARE(Text(v.powerFactor), QStringLiteral("0.980"));
    QCOMPARE(Text(v.frequency), QStringLiteral("50"));
    QCOMPARE(Text(v.serialNumber), QStringLiteral("12ab56cd"));
    QCOMPARE(Text(v.constant), QStringLiteral("1600"));
    QCOMPARE(Text(v.tariffNumber), QStringLiteral("4"));
}

// A reply cut short reads zeros where its bytes are missing, as the zero-filled buffer does.
void TestValues::decodeShortSinglePhaseReply()
{
    const Bytes full = SinglePhaseReply(1);
    const SinglePhaseValues cut = DecodeSinglePhase(std::span(full).first(27)); // up to register 11
    QCOMPARE(Text(cut.voltageL1), QStringLiteral("230"));
    QCOMPARE(Text(cut.activePower), QStringLiteral("-123.4"));
    QCOMPARE(Text(cut.reactivePower), QStringLiteral("0"));
    QCOMPARE(Text(cut.powerFactor), QStringLiteral("0"));
    QCOMPARE(Text(cut.serialNumber), QStringLiteral("00000000"));
    QCOMPARE(Text(cut.tariffNumber), QStringLiteral("0"));
    QCOMPARE(cut.decimalModeRegister, 0);
    QVERIFY(!cut.activeKWh.has_value());

    const SinglePhaseValues none = DecodeSinglePhase({});
    QCOMPARE(Text(none.voltageL1), QStringLiteral("0"));
    QCOMPARE(Text(none.activePower), QStringLiteral("0"));
    QCOMPARE(Text(none.serialNumber), QStringLiteral("00000000"));
    QVERIFY(!none.activeKWh.has_value());

    // Bytes beyond the reply's length are not looked at.
    Bytes longer = full;
    longer.resize(200, 0x99);
    QCOMPARE(Text(DecodeSinglePhase(longer).tariffNumber), QStringLiteral("4"));
}

void TestValues::decodeThreePhase_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("mode 1") << 1;
    QTest::newRow("mode 2") << 2;
}

void TestValues::decodeThreePhase()
{
    QFETCH(int, mode);
    const Bytes reply = ThreePhaseReply();
    QCOMPARE(reply.size(), kThreePhaseReplySize);
    const auto texts = DecodeThreePhase(reply, mode);
    for (const ThreePhaseRow& row : kThreePhaseRows) {
        const QString expected = QString::fromLatin1(mode == 1 ? row.mode1 : row.mode2);
        QVERIFY2(Text(texts[row.value]) == expected,
                 qPrintable(QStringLiteral("value %1: %2, expected %3")
                                .arg(row.value)
                                .arg(Text(texts[row.value]), expected)));
    }
}

void TestValues::decodeShortThreePhaseReply()
{
    const Bytes full = ThreePhaseReply();
    // Up to register 9 (L1 voltage): later values read zeros.
    const auto cut = DecodeThreePhase(std::span(full).first(23), 2);
    QCOMPARE(Text(cut[TpActiveKWh]), QStringLiteral("1234.56"));
    QCOMPARE(Text(cut[TpVoltageL1]), QStringLiteral("230"));
    QCOMPARE(Text(cut[TpVoltageL2]), QStringLiteral("0"));
    QCOMPARE(Text(cut[TpFrequency]), QStringLiteral("0"));
    for (const std::string& text : DecodeThreePhase({}, 1)) {
        QCOMPARE(Text(text), QStringLiteral("0"));
    }
}

QTEST_GUILESS_MAIN(TestValues)
#include "test_values.moc"
