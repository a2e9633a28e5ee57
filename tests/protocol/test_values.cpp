// The display texts of measured values: packed and signed BCD, decimal points, the energy
// rules of both meter types, and the decoders of the two read-meter replies.

#include "testsupport.h"

#include "bcd.h"
#include "meterdata.h"

#include <QScopeGuard>
#include <QTest>

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

// A complete single-phase reply (63 bytes) with the given decimal mode register and the CRC
// that goes with it. Registers 0-26: the three energies, voltage, current, active, reactive
// and apparent power, power factor, frequency, serial number and constant, two bytes each;
// then three registers not used, the mode (27) and the tariff number 4 (28).
Bytes SinglePhaseReply(const char* modeRegister, const char* crc)
{
    const QByteArray registers = "00012345 00022053 00000007 00002300 00005000 FFFFEDCC 00001230"
                                 "00011505 00000980 00005000 12AB56CD 00001600 FFFFFFFFFFFF";
    return FromHex(("01 04 3A" + registers + modeRegister + "0004" + crc).constData());
}

// The 23 values of a three-phase reply in reply order, four bytes each, high byte first, with
// their texts in decimal modes 1 and 2: each value's place and decimals, and the energy and
// signed-value rules with their extremes.
struct ThreePhaseRow
{
    const char* bytes;
    const char* mode1;
    const char* mode2;
};
constexpr ThreePhaseRow kThreePhaseRows[] = {
    {"0001E240", "1234.5", "1234.56"},            // active kWh 123456
    {"0001E243", "1234.5", "1234.59"},            // positive kWh 123459
    {"80000000", "-21474836.4", "-21474836.48"},  // reverse kWh, the most negative value
    {"FFFFFFFB", "0", "-0.05"},                   // reactive kWh -5: no minus sign on a zero
    {"000008FC", "230", "230"},                   // voltage L1 2300
    {"000008FD", "230.1", "230.1"},               // voltage L2 2301
    {"00005625", "2205.3", "2205.3"},             // voltage L3 22053
    {"000001F4", "5", "5"},                       // current L1 500
    {"FFFFFFFB", "-0.05", "-0.05"},               // current L2 -5
    {"000004D2", "12.34", "12.34"},               // current L3 1234
    {"000186A0", "1000", "1000"},                 // active power L1 100000
    {"FFFE1DC0", "-1234.56", "-1234.56"},         // active power L2 -123456
    {"00000000", "0", "0"},                       // active power L3
    {"7FFFFFFF", "21474836.47", "21474836.47"},   // reactive power L1, the largest value
    {"80000000", "-21474836.48", "-21474836.48"}, // reactive power L2, the most negative
    {"00000007", "0.07", "0.07"},                 // reactive power L3 7
    {"00000362", "0.866", "0.866"},               // power factor L1 866
    {"FFFFFC9E", "-0.866", "-0.866"},             // power factor L2 -866
    {"000003E8", "1", "1"},                       // power factor L3 1000
    {"0005464E", "3456.78", "3456.78"},           // total active power 345678
    {"FFFFFFFF", "-0.01", "-0.01"},               // total reactive power -1
    {"000003D4", "0.980", "0.980"},               // total power factor 980
    {"00001388", "50", "50"},                     // frequency 5000
};

// The complete reply (97 bytes) of the values above, with its CRC.
Bytes ThreePhaseReply()
{
    QByteArray hex = "01 04 5C";
    for (const ThreePhaseRow& row : kThreePhaseRows) {
        hex += row.bytes;
    }
    return FromHex((hex + "37 2F").constData());
}

QStringList ThreePhaseTexts(int mode)
{
    QStringList texts;
    for (const ThreePhaseRow& row : kThreePhaseRows) {
        texts << QString::fromLatin1(mode == 1 ? row.mode1 : row.mode2);
    }
    return texts;
}

} // namespace

Q_DECLARE_METATYPE(Rule)
Q_DECLARE_METATYPE(Bytes)

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
#ifdef QVX_COMMA_LOCALE_DIR
    // Built for this test: a locale that cannot be set is a fault of the build, not a reason to
    // skip.
    qputenv("LOCPATH", QVX_COMMA_LOCALE_DIR);
    const auto unset = qScopeGuard([] { qunsetenv("LOCPATH"); });
    QVERIFY2(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"),
             "the locale built for this test is missing");
    QCOMPARE(std::localeconv()->decimal_point[0], ',');
#else
    bool commaLocale = false;
    for (const char* name :
         {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) && std::localeconv()->decimal_point[0] == ',') {
            commaLocale = true;
            break;
        }
    }
    if (!commaLocale) {
        QSKIP("no locale with a decimal comma is available (Debian: locales)");
    }
#endif
    const Bytes value = FromHex("00 01 23 46");
    QCOMPARE(Text(SinglePhaseEnergyText(value.data(), 1)), QStringLiteral("123.5"));
    QCOMPARE(Text(SinglePhaseEnergyText(value.data(), 2)), QStringLiteral("123.46"));
    const SinglePhaseValues decoded = DecodeSinglePhase(SinglePhaseReply("0001", "ECBB"));
    QCOMPARE(Text(decoded.positiveKWh.value_or("absent")), QStringLiteral("220.5"));
}

// ---- decoders -----------------------------------------------------------------------------

// A reply cut short reads zeros where its bytes are missing, as the zero-filled buffer does.
void TestValues::decodeSinglePhase_data()
{
    QTest::addColumn<Bytes>("reply");
    QTest::addColumn<int>("modeRegister");
    QTest::addColumn<QStringList>("energies"); // active, positive, reverse; none when skipped
    QTest::addColumn<QStringList>("rest");     // voltage to tariff number
    const QStringList rest{"230",   "5",  "-123.4",   "123",  "1150.5",
                           "0.980", "50", "12ab56cd", "1600", "4"};
    const Bytes mode1 = SinglePhaseReply("0001", "ECBB");
    QTest::newRow("mode 1") << mode1 << 1 << QStringList{"123.4", "220.5", "0.1"} << rest;
    QTest::newRow("mode 2") << SinglePhaseReply("0002", "1CBB") << 2
                            << QStringList{"123.45", "220.53", "0.07"} << rest;
    QTest::newRow("mode 3: energies skipped")
        << SinglePhaseReply("0003", "4D7B") << 3 << QStringList() << rest;
    QTest::newRow("0x0101 is not 1")
        << SinglePhaseReply("0101", "ED47") << 0x0101 << QStringList() << rest;
    QTest::newRow("cut after register 11")
        << Bytes(mode1.begin(), mode1.begin() + 27) << 0 << QStringList()
        << QStringList{"230", "5", "-123.4", "0", "0", "0", "0", "00000000", "0", "0"};
    QTest::newRow("nothing") << Bytes() << 0 << QStringList()
                             << QStringList{"0", "0", "0",        "0", "0",
                                            "0", "0", "00000000", "0", "0"};
}

void TestValues::decodeSinglePhase()
{
    QFETCH(Bytes, reply);
    QFETCH(int, modeRegister);
    QFETCH(QStringList, energies);
    QFETCH(QStringList, rest);
    const SinglePhaseValues v = DecodeSinglePhase(reply);

    QCOMPARE(v.decimalModeRegister, modeRegister);
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
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("mode 1") << 1 << 97 << ThreePhaseTexts(1);
    QTest::newRow("mode 2") << 2 << 97 << ThreePhaseTexts(2);
    // Registers 0 to 9: the first five values whole, nothing of the others.
    QTest::newRow("cut after register 9")
        << 2 << 23
        << QStringList{"1234.56", "1234.59", "-21474836.48", "-0.05", "230"} + QStringList(18, "0");
    // A value whose last byte is missing reads it as 0: 00 01 E2 00 is 123392.
    QTest::newRow("cut inside the first value")
        << 2 << 6 << QStringList{"1233.92"} + QStringList(22, "0");
    QTest::newRow("nothing") << 1 << 0 << QStringList(23, "0");
}

void TestValues::decodeThreePhase()
{
    QFETCH(int, mode);
    QFETCH(int, length);
    QFETCH(QStringList, texts);
    const Bytes reply = ThreePhaseReply();
    QStringList decoded;
    for (const std::string& text : DecodeThreePhase(std::span(reply).first(length), mode)) {
        decoded << Text(text);
    }
    QCOMPARE(decoded, texts);
}

QTEST_GUILESS_MAIN(TestValues)
#include "test_values.moc"
