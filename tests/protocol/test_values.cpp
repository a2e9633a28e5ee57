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

// A text rule over bytes (or, for decimal points, digit text) and a decimals or mode number.
using Rule = std::string (*)(const QByteArray& input, int n);

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

// A complete single-phase reply (63 bytes) with the given decimal mode register. Registers 0-26:
// the three energies, voltage, current, active, reactive and apparent power, power factor,
// frequency, serial number and constant, two bytes each; then three registers not used.
Bytes SinglePhaseReply(std::uint16_t modeRegister)
{
    const QByteArray registers = "00012345 00022053 00000007 00002300 00005000 FFFFEDCC 00001230"
                                 "00011505 00000980 00005000 12AB56CD 00001600 FFFFFFFFFFFF";
    const QByteArray mode = QByteArray::number(modeRegister, 16).rightJustified(4, '0');
    return WithCrc(
        FromHex(("01 04 3A" + registers + mode + "0004").constData())); // 27 mode, 28 tariff 4
}

struct ThreePhaseRow
{
    ThreePhaseValue value;
    std::int32_t raw;
    const char* mode1;
    const char* mode2;
};

// One row per value of the three-phase reply, in reply order: each value's place and
// decimals, and the energy and signed-value rules with their extremes.
constexpr ThreePhaseRow kThreePhaseRows[] = {
    {TpActiveKWh, 123456, "1234.5", "1234.56"},
    {TpPositiveKWh, 123459, "1234.5", "1234.59"},
    {TpReverseKWh, INT32_MIN, "-21474836.4", "-21474836.48"},
    {TpReactiveKWh, -5, "0", "-0.05"}, // no minus sign on a zero
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
        for (int shift = 24; shift >= 0; shift -= 8) {
            reply.push_back(
                static_cast<std::uint8_t>(static_cast<std::uint32_t>(row.raw) >> shift));
        }
    }
    return WithCrc(reply);
}

} // namespace

Q_DECLARE_METATYPE(Rule)

class TestValues : public QObject
{
    Q_OBJECT

private slots:
    void textRules_data();
    void textRules();
    void invalidNibblesStayBounded();
    void singlePhaseEnergyIgnoresLocale();

    void decodeSinglePhase_data();
    void decodeSinglePhase();
    void decodeThreePhase_data();
    void decodeThreePhase();
};

// ---- BCD, decimal points and the single-phase energy rule ---------------------------------

void TestValues::textRules_data()
{
    QTest::addColumn<Rule>("rule");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("text");
    const Rule bcd = [](const QByteArray& in, int n) {
        return BcdToText(Span(in).data(), static_cast<int>(in.size()), n);
    };
    const Rule sbcd = [](const QByteArray& in, int) { return SignedBcdToText(Span(in).data()); };
    const Rule energy = [](const QByteArray& in, int n) {
        return SinglePhaseEnergyText(Span(in).data(), n);
    };
    const Rule point = [](const QByteArray& in, int n) {
        return InsertDecimalPoint(in.toStdString(), n);
    };
    const auto row = [point](const char* name, Rule rule, const char* input, int n,
                             const char* text) {
        const QByteArray bytes = rule == point ? QByteArray(input) : QByteArray::fromHex(input);
        QTest::newRow(name) << rule << bytes << n << QString::fromLatin1(text);
    };
    row("bcd 220.5", bcd, "00002205", 1, "220.5");
    row("bcd zero fraction dropped", bcd, "00002200", 1, "220");
    row("bcd 0.05", bcd, "00000005", 2, "0.05");
    row("bcd fraction keeps its zeros", bcd, "00000100", 3, "0.100");
    row("bcd no decimals", bcd, "00001234", 0, "1234");
    row("bcd zero", bcd, "00000000", 1, "0");
    row("bcd decimals beyond the digits", bcd, "00000005", 8, "0.00000005");
    row("bcd letter in the fraction reads 0", bcd, "0000123A", 1, "12");
    row("bcd all letters", bcd, "FFFFFFFF", 1, "0");

    row("signed -123.4", sbcd, "FFFFEDCC", 0, "-123.4");
    row("signed -0.5", sbcd, "FFFFFFFB", 0, "-0.5");
    row("signed magnitude 1230", sbcd, "FFFFEDD0", 0, "-123");
    row("signed most negative code", sbcd, "80000000", 0, "-8000000");

    row("energy 12345, mode 1", energy, "00012345", 1, "123.4");
    row("energy 22053, mode 1", energy, "00022053", 1, "220.5");
    row("energy 12346, mode 1 rounds up", energy, "00012346", 1, "123.5");
    row("energy 12300, mode 1 keeps .0", energy, "00012300", 1, "123.0");
    row("energy 12345, mode 2", energy, "00012345", 2, "123.45");
    row("energy 12300, mode 2", energy, "00012300", 2, "123");

    row("point, zero fraction dropped", point, "22050", 1, "2205");
    row("point 2205.3", point, "22053", 1, "2205.3");
    row("point, fraction padded", point, "5", 2, "0.05");
    row("point, whole number", point, "1000", 3, "1");
    row("point 0.866", point, "866", 3, "0.866");
    row("point, empty", point, "", 1, "0");
    row("point, trailing zero of a fraction kept", point, "50", 2, "0.50");
}

void TestValues::textRules()
{
    QFETCH(Rule, rule);
    QFETCH(QByteArray, input);
    QFETCH(int, n);
    QFETCH(QString, text);
    QCOMPARE(Text(rule(input, n)), text);
}

// A meter that sends nibbles A to F sends garbage: the text may be odd, but it stays within
// the digits it was given, whatever the bytes.
void TestValues::invalidNibblesStayBounded()
{
    for (int value = 0; value < 256; ++value) {
        const auto b = static_cast<std::uint8_t>(value);
        const std::uint8_t bytes[] = {b, static_cast<std::uint8_t>(~b), 0x9A, b};
        for (const std::string& text : {BcdToText(bytes, 4, 3), SignedBcdToText(bytes)}) {
            QVERIFY2(text.size() <= 11 &&
                         text.find_first_not_of("-0123456789ABCDEF.") == std::string::npos,
                     text.c_str());
        }
    }
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

// ---- decoders -----------------------------------------------------------------------------

// A reply cut short reads zeros where its bytes are missing, as the zero-filled buffer does.
void TestValues::decodeSinglePhase_data()
{
    QTest::addColumn<int>("modeRegister");
    QTest::addColumn<int>("length");
    QTest::addColumn<QStringList>("energies"); // active, positive, reverse; none when skipped
    QTest::addColumn<QStringList>("rest");     // voltage to tariff number
    const QStringList rest{"230",   "5",  "-123.4",   "123",  "1150.5",
                           "0.980", "50", "12ab56cd", "1600", "4"};
    QTest::newRow("mode 1") << 1 << 63 << QStringList{"123.4", "220.5", "0.1"} << rest;
    QTest::newRow("mode 2") << 2 << 63 << QStringList{"123.45", "220.53", "0.07"} << rest;
    QTest::newRow("mode 3: energies skipped") << 3 << 63 << QStringList() << rest;
    QTest::newRow("0x0101 is not 1") << 0x0101 << 63 << QStringList() << rest;
    QTest::newRow("cut after register 11")
        << 1 << 27 << QStringList()
        << QStringList{"230", "5", "-123.4", "0", "0", "0", "0", "00000000", "0", "0"};
    QTest::newRow("nothing") << 1 << 0 << QStringList()
                             << QStringList{"0", "0", "0",        "0", "0",
                                            "0", "0", "00000000", "0", "0"};
}

void TestValues::decodeSinglePhase()
{
    QFETCH(int, modeRegister);
    QFETCH(int, length);
    QFETCH(QStringList, energies);
    QFETCH(QStringList, rest);
    const Bytes reply = SinglePhaseReply(static_cast<std::uint16_t>(modeRegister));
    QCOMPARE(reply.size(), kSinglePhaseReplySize);
    const SinglePhaseValues v = DecodeSinglePhase(std::span(reply).first(length));

    QCOMPARE(v.decimalModeRegister, length == 63 ? modeRegister : 0);
    QStringList decoded;
    for (const auto& energy : {v.activeKWh, v.positiveKWh, v.reverseKWh}) {
        if (energy) {
            decoded << Text(*energy);
        }
    }
    QCOMPARE(decoded, energies);
    const QStringList others{Text(v.voltageL1),     Text(v.currentL1),     Text(v.activePower),
                             Text(v.reactivePower), Text(v.apparentPower), Text(v.powerFactor),
                             Text(v.frequency),     Text(v.serialNumber),  Text(v.constant),
                             Text(v.tariffNumber)};
    QCOMPARE(others, rest);
}

void TestValues::decodeThreePhase_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("length");
    QTest::newRow("mode 1") << 1 << 97;
    QTest::newRow("mode 2") << 2 << 97;
    QTest::newRow("cut after register 9") << 2 << 23;
    QTest::newRow("nothing") << 1 << 0;
}

void TestValues::decodeThreePhase()
{
    QFETCH(int, mode);
    QFETCH(int, length);
    const Bytes reply = ThreePhaseReply();
    QCOMPARE(reply.size(), kThreePhaseReplySize);
    QStringList decoded;
    QStringList expected;
    const auto texts = DecodeThreePhase(std::span(reply).first(length), mode);
    for (const ThreePhaseRow& row : kThreePhaseRows) {
        const bool present = 3 + 4 * (row.value + 1) <= length; // value i is registers 2i, 2i+1
        decoded << Text(texts[row.value]);
        expected << (present ? QString::fromLatin1(mode == 1 ? row.mode1 : row.mode2) : "0");
    }
    QCOMPARE(decoded, expected);
}

QTEST_GUILESS_MAIN(TestValues)
#include "test_values.moc"
