#include "meterbench.h"

#include <QTest>

#include <array>

using metersim::MeterKind;
using metersim::MeterState;

// What the operator may type into the window's free-text fields: the address, the serial
// number and the password, from nothing to thousands of characters, in any script. Every
// text is either refused with its message before anything is sent, or sent exactly as the
// packing rules say.
namespace {

constexpr int kSingle = 0;
constexpr int kThree = 1;
constexpr std::uint8_t kMeterAddress = 7;
const QString kUntouched = QStringLiteral("untouched");
const QString kAddressRefused = QStringLiteral("address Between 0~255");
const QString kSuccess = QStringLiteral("success!");



QString HexText(const QByteArray& bytes)
{
    QString text;
    for (const char c : bytes) {
        text += QString::asprintf("%02X ", static_cast<unsigned>(static_cast<std::uint8_t>(c)));
    }
    return text;
}

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int value : values) {
        bytes.append(static_cast<char>(value));
    }
    return bytes;
}

// The packing rule, character by character (a character outside the BMP is one): groups of
// characters 1-2, 3-4, 5-6 and the last two, each the first's digit in the high nibble and
// the second's in the low; a non-digit or a missing character counts 0.
QByteArray PackedByRule(const QString& text, std::initializer_list<qsizetype> groupStarts)
{
    const QList<uint> characters = text.toUcs4();
    const auto digit = [&](qsizetype i) -> int {
        if (i < 0 || i >= characters.size()) {
            return 0;
        }
        const uint c = characters.at(i);
        return c >= '0' && c <= '9' ? static_cast<int>(c - '0') : 0;
    };
    QByteArray packed;
    for (qsizetype first : groupStarts) {
        packed.append(static_cast<char>(digit(first) << 4 | digit(first + 1)));
    }
    return packed;
}

QByteArray SerialByRule(const QString& text)
{
    const qsizetype lastTwo = std::max<qsizetype>(text.toUcs4().size() - 2, 0);
    return PackedByRule(text, {0, 2, 4, lastTwo});
}

QString Digits(int length)
{
    QString text;
    for (int i = 0; i < length; ++i) {
        text += QChar(u'0' + (i + 1) % 10);
    }
    return text;
}

QString Letters(int length)
{
    QString text;
    for (int i = 0; i < length; ++i) {
        text += QChar(u'a' + i % 26);
    }
    return text;
}

// A meter at address 7 that behaves.
struct Bench : MeterBench
{
    explicit Bench(int type)
    {
        meter->updateState([](MeterState& m) { m.address = kMeterAddress; });
        window->select(IDC_COMBO_METER_TYPE, type);
        window->setText(IDC_EDIT_ADDRESS, QString::number(kMeterAddress));
        window->setText(IDC_EDIT_SEND, kUntouched);
    }
};

} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT

private slots:
    void addressTexts_data();
    void addressTexts();
    void serialNumbers_data();
    void serialNumbers();
    void passwords_data();
    void passwords();
    void longTexts_data();
    void longTexts();
    void longTextsInTheOtherEdits();
};

void TestBadInput::addressTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("address"); // -1: refused
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("letters") << QStringLiteral("abc") << 0;
    QTest::newRow("-1") << QStringLiteral("-1") << -1;
    QTest::newRow("255") << QStringLiteral("255") << -1;
    QTest::newRow("254") << QStringLiteral("254") << 254;
    QTest::newRow("0") << QStringLiteral("0") << 0;
    QTest::newRow("-0") << QStringLiteral("-0") << 0;
    QTest::newRow("1e3 is not a number") << QStringLiteral("1e3") << 0;
    QTest::newRow("digits then letters") << QStringLiteral("12abc") << 0;
    QTest::newRow("plus sign") << QStringLiteral("+7") << 0;
    QTest::newRow("full-width digit") << QStringLiteral("７") << 0;
    QTest::newRow("blanks around") << QStringLiteral(" 7 ") << 7;
    QTest::newRow("largest int") << QStringLiteral("2147483647") << -1;
    QTest::newRow("one past the largest int") << QStringLiteral("2147483648") << -1;
    QTest::newRow("smallest int") << QStringLiteral("-2147483648") << -1;
    QTest::newRow("20 digits") << QStringLiteral("99999999999999999999") << -1;
    QTest::newRow("1000 nines") << QString(1000, u'9') << -1;
    QTest::newRow("1000 letters") << Letters(1000) << 0;
}

void TestBadInput::addressTexts()
{
    QFETCH(QString, text);
    QFETCH(int, address);
    Bench bench(kSingle);
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_DISPLAY_TIME, 2);
    w.setText(IDC_EDIT_ADDRESS, text);
    const bool refused = address < 0;

    // Each command that reads the field, the one that changes the meter's address last.
    struct Use
    {
        int button;
        QByteArray request;
        bool acceptsZero;
        QString success; // the message of an answered request
    };
    const auto byte = [](int value) { return QByteArray(1, static_cast<char>(value)); };
    const std::array<Use, 4> uses{{
        {IDC_BTN_READ_SN, WithCrc("00 04 00 14 00 02"), true, QString()},
        {IDC_BTN_SET_DISPLAY_TIME,
         WithCrc(byte(address) + QByteArray::fromHex("10 00 19 00 01 02 00 03")), true, kSuccess},
        {IDC_BTN_CLEAR_ZERO,
         QByteArray::fromHex("68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33 88 16"), true,
         QStringLiteral("clear zero success")},
        {IDC_BTN_SET_ADDRESS,
         WithCrc(QByteArray::fromHex("00 10 00 18 00 01 02 00") + byte(address)), false, kSuccess},
    }};
    for (const Use& use : uses) {
        w.messages.clear();
        w.setText(IDC_EDIT_SEND, kUntouched);
        const std::uint64_t requests = bench.meter->requestsSeen();
        w.click(use.button);
        const bool refusedHere = refused || (address == 0 && !use.acceptsZero);
        if (refusedHere) {
            QCOMPARE(w.messages, QStringList{kAddressRefused});
            QCOMPARE(w.text(IDC_EDIT_SEND), kUntouched);
            QCOMPARE(bench.meter->requestsSeen(), requests);
            continue;
        }
        QCOMPARE(w.text(IDC_EDIT_SEND), HexText(use.request));
        // The meter answers its own address and 0; a request to another meter goes unanswered.
        const bool answered =
            use.button != IDC_BTN_SET_DISPLAY_TIME || address == 0 || address == kMeterAddress;
        QCOMPARE(w.messages,
                 answered && !use.success.isEmpty() ? QStringList{use.success} : QStringList{});
    }
    // The field keeps what was typed: only a read address writes it.
    QCOMPARE(w.text(IDC_EDIT_ADDRESS), text);
    if (!refused && address != 0) {
        QCOMPARE(int(bench.state().address), address);
    }
}

void TestBadInput::serialNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("packed");
    for (int length = 0; length <= 20; ++length) {
        const QString text = Digits(length);
        QTest::addRow("%d digits", length) << text << SerialByRule(text);
    }
    // Worked by hand; each says which characters make which byte.
    QTest::newRow("8 digits") << QStringLiteral("12345678") << Bytes({0x12, 0x34, 0x56, 0x78});
    QTest::newRow("3 digits overlap") << QStringLiteral("123") << Bytes({0x12, 0x30, 0x00, 0x23});
    QTest::newRow("1 digit") << QStringLiteral("9") << Bytes({0x90, 0x00, 0x00, 0x90});
    QTest::newRow("empty") << QString() << Bytes({0x00, 0x00, 0x00, 0x00});
    QTest::newRow("10 digits skip the middle")
        << QStringLiteral("1234567890") << Bytes({0x12, 0x34, 0x56, 0x90});
    QTest::newRow("letters count 0")
        << QStringLiteral("12a4b6c8") << Bytes({0x12, 0x04, 0x06, 0x08});
    QTest::newRow("blanks count 0")
        << QStringLiteral(" 2 4 6 8") << Bytes({0x02, 0x04, 0x06, 0x08});
    QTest::newRow("minus sign counts 0")
        << QStringLiteral("-1234567") << Bytes({0x01, 0x23, 0x45, 0x67});
    QTest::newRow("Chinese first")
        << QStringLiteral("序列号12345678") << Bytes({0x00, 0x01, 0x23, 0x78});
    QTest::newRow("full-width digits count 0")
        << QStringLiteral("１２３４５６７８") << Bytes({0x00, 0x00, 0x00, 0x00});
    // An emoji is one character, not the two UTF-16 halves it is stored as.
    QTest::newRow("emoji first") << QStringLiteral("😀2345678") << Bytes({0x02, 0x34, 0x56, 0x78});
    QTest::newRow("emoji last") << QStringLiteral("12345678😀") << Bytes({0x12, 0x34, 0x56, 0x80});
    QTest::newRow("emoji alone") << QStringLiteral("😀") << Bytes({0x00, 0x00, 0x00, 0x00});
    QTest::newRow("eight emoji") << QString(QStringLiteral("😀")).repeated(8)
                                 << Bytes({0x00, 0x00, 0x00, 0x00});
}

void TestBadInput::serialNumbers()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, packed);
    QCOMPARE(SerialByRule(text), packed);
    Bench bench(kSingle);
    WindowFixture& w = bench.w();
    w.setText(IDC_EDIT_SN, text);
    w.click(IDC_BTN_SET_SN);
    QCOMPARE(w.text(IDC_EDIT_SEND),
             HexText(WithCrc(QByteArray::fromHex("07 10 00 14 00 02 04") + packed)));
    QCOMPARE(w.messages, QStringList{kSuccess});
    const std::array<std::uint8_t, 4> stored = bench.state().serialNumber;
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(stored.data()), 4), packed);
    QCOMPARE(w.text(IDC_EDIT_SN), text);
}

void TestBadInput::passwords_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("packed"); // empty: refused for its length
    for (int type : {kSingle, kThree}) {
        const char* meter = type == kSingle ? "single" : "three";
        for (int length = 0; length <= 10; ++length) {
            const QString text = Digits(length);
            const QByteArray packed = length == 4 ? PackedByRule(text, {0, 2}) : QByteArray();
            QTest::addRow("%s, %d digits", meter, length) << type << text << packed;
        }
    }
    QTest::newRow("4 digits") << kThree << QStringLiteral("4321") << Bytes({0x43, 0x21});
    QTest::newRow("letters count 0") << kThree << QStringLiteral("a1b2") << Bytes({0x01, 0x02});
    QTest::newRow("Chinese") << kThree << QStringLiteral("密码密码") << Bytes({0x00, 0x00});
    QTest::newRow("full-width digits")
        << kThree << QStringLiteral("１２３４") << Bytes({0x00, 0x00});
    // Lengths in characters: an emoji is one, though UTF-16 stores it as two.
    QTest::newRow("emoji among digits") << kThree << QStringLiteral("12😀4") << Bytes({0x12, 0x04});
    QTest::newRow("four emoji") << kThree << QString(QStringLiteral("😀")).repeated(4)
                                << Bytes({0x00, 0x00});
    QTest::newRow("three characters, four UTF-16 units")
        << kThree << QStringLiteral("😀12") << QByteArray();
    QTest::newRow("two characters, four UTF-16 units")
        << kThree << QStringLiteral("😀😀") << QByteArray();
    QTest::newRow("five characters, eight UTF-16 units")
        << kThree << QString(QStringLiteral("😀")).repeated(3) + QStringLiteral("12")
        << QByteArray();
}

void TestBadInput::passwords()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(QByteArray, packed);
    Bench bench(type);
    WindowFixture& w = bench.w();
    w.setText(IDC_EDIT_PASSWORD, text);
    const std::uint64_t requests = bench.meter->requestsSeen();
    w.click(IDC_BTN_SET_PASSWORD);
    if (packed.isEmpty()) {
        // The length comes first, whatever the meter type.
        QCOMPARE(w.messages, QStringList{QStringLiteral("length is 4")});
    } else if (type == kSingle) {
        QCOMPARE(w.messages, QStringList{QStringLiteral("single is not password")});
    } else {
        QCOMPARE(w.text(IDC_EDIT_SEND),
                 HexText(WithCrc(QByteArray::fromHex("07 10 00 46 00 01 02") + packed)));
        QCOMPARE(w.messages, QStringList{kSuccess});
        const std::array<std::uint8_t, 2> stored = bench.state().password;
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(stored.data()), 2), packed);
        return;
    }
    QCOMPARE(w.text(IDC_EDIT_SEND), kUntouched);
    QCOMPARE(bench.meter->requestsSeen(), requests);
}

void TestBadInput::longTexts_data()
{
    QTest::addColumn<int>("edit");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("sent"); // empty: refused, the send area untouched
    QTest::addColumn<QStringList>("messages");
    const QString digits = Digits(10000);
    const QString letters = Letters(10000);
    const QString blanks(5000, u' ');
    const QStringList refused{kAddressRefused};
    for (int button :
         {IDC_BTN_SET_BAUD, IDC_BTN_SET_ADDRESS, IDC_BTN_SET_DISPLAY_TIME, IDC_BTN_SET_SCREEN,
          IDC_BTN_SET_DECIMAL, IDC_BTN_SET_SN, IDC_BTN_SET_PASSWORD, IDC_BTN_SET_CT,
          IDC_BTN_SET_PARITY, IDC_BTN_CLEAR_ZERO, IDC_BTN_READ_SN}) {
        QTest::addRow("address of 10000 digits, button %d", button)
            << int(IDC_EDIT_ADDRESS) << digits << button << QString() << refused;
    }
    QTest::newRow("address of 10000 letters reads 0")
        << int(IDC_EDIT_ADDRESS) << letters << int(IDC_BTN_SET_DISPLAY_TIME)
        << HexText(WithCrc("00 10 00 31 00 01 02 00 01")) << QStringList{kSuccess};
    QTest::newRow("address of 10000 letters, set address")
        << int(IDC_EDIT_ADDRESS) << letters << int(IDC_BTN_SET_ADDRESS) << QString() << refused;
    QTest::newRow("address amid 10000 blanks")
        << int(IDC_EDIT_ADDRESS) << blanks + QStringLiteral("7") + blanks << int(IDC_BTN_SET_SCREEN)
        << HexText(WithCrc("07 10 00 30 00 01 02 00 03")) << QStringList{kSuccess};
    QTest::newRow("serial number of 10000 digits")
        << int(IDC_EDIT_SN) << digits << int(IDC_BTN_SET_SN)
        << HexText(WithCrc("07 10 00 33 00 02 04 12 34 56 90")) << QStringList{kSuccess};
    QTest::newRow("serial number of 10000 Chinese characters")
        << int(IDC_EDIT_SN) << QString(10000, u'号') << int(IDC_BTN_SET_SN)
        << HexText(WithCrc("07 10 00 33 00 02 04 00 00 00 00")) << QStringList{kSuccess};
    QTest::newRow("serial number of 5000 emoji")
        << int(IDC_EDIT_SN) << QString(QStringLiteral("😀")).repeated(5000) + QStringLiteral("42")
        << int(IDC_BTN_SET_SN) << HexText(WithCrc("07 10 00 33 00 02 04 00 00 00 42"))
        << QStringList{kSuccess};
    QTest::newRow("password of 10000 digits")
        << int(IDC_EDIT_PASSWORD) << digits << int(IDC_BTN_SET_PASSWORD) << QString()
        << QStringList{QStringLiteral("length is 4")};
    QTest::newRow("password of 10000 emoji")
        << int(IDC_EDIT_PASSWORD) << QString(QStringLiteral("😀")).repeated(10000)
        << int(IDC_BTN_SET_PASSWORD) << QString() << QStringList{QStringLiteral("length is 4")};
}

void TestBadInput::longTexts()
{
    QFETCH(int, edit);
    QFETCH(QString, text);
    QFETCH(int, button);
    QFETCH(QString, sent);
    QFETCH(QStringList, messages);
    Bench bench(kThree);
    WindowFixture& w = bench.w();
    w.setText(edit, text);
    QCOMPARE(w.text(edit), text);
    w.click(button);
    QCOMPARE(w.text(IDC_EDIT_SEND), sent.isEmpty() ? kUntouched : sent);
    QCOMPARE(w.messages, messages);
    QCOMPARE(w.text(edit), text);
}

void TestBadInput::longTextsInTheOtherEdits()
{
    // The traffic areas and the value edits are written by the commands, never read: long
    // texts there are simply replaced.
    MeterBench bench;
    WindowFixture& w = bench.w();
    const QString filler = Letters(10000);
    for (const ControlTemplate& control : w.dlg->Template().controls) {
        if (control.kind == ControlKind::Edit && control.id != IDC_EDIT_ADDRESS &&
            control.id != IDC_EDIT_SN && control.id != IDC_EDIT_PASSWORD) {
            w.setText(control.id, filler);
        }
    }
    w.click(IDC_BTN_READ_DECIMAL);
    QCOMPARE(w.text(IDC_EDIT_SEND), HexText(WithCrc("00 04 00 1B 00 01")));
    w.click(IDC_BTN_READ_METER);
    QCOMPARE(w.text(IDC_EDIT_SEND), QStringLiteral("00 04 00 00 00 1D 31 D2 "));
    QCOMPARE(w.text(IDC_EDIT_RECV).size(), 63 * 3);
    QCOMPARE(w.text(IDC_EDIT_SP_VOLTAGE_L1), QStringLiteral("230"));
    QCOMPARE(w.dlg->DanDataList().size(), 1);
    QVERIFY(w.messages.isEmpty());
}

QTEST_MAIN(TestBadInput)
#include "test_badinput.moc"
