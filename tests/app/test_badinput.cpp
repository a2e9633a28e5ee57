#include "meterbench.h"

#include <QTest>

#include <array>
#include <tuple>

using metersim::MeterState;

// What the operator may type into the window's free-text fields: the address, the serial
// number and the password, from nothing to ten thousand characters, in any script. Every
// text is either refused with its message before anything is sent, or sent packed as the
// rows spell out: digit pairs in packed BCD, a character that is not a digit as 0.
namespace {

constexpr int kSingle = 0;
constexpr int kThree = 1;
constexpr std::uint8_t kMeterAddress = 7;
const QString kUntouched = QStringLiteral("untouched");
const QString kAddressRefused = QStringLiteral("address Between 0~255");
const QString kSuccess = QStringLiteral("success!");
const QString kEmoji = QStringLiteral("😀");

QString HexText(const QByteArray& bytes)
{
    return bytes.isEmpty() ? QString() : QString::fromLatin1(bytes.toHex(' ').toUpper() + ' ');
}

// The send area without the request's CRC: the packing is what these rows are about, and the
// meter, which ignores a request whose CRC is wrong, vouches for the CRC by answering.
QString WithoutCrc(const QString& sent)
{
    return sent.size() >= 6 ? sent.chopped(6) : QStringLiteral("(too short) ") + sent;
}

QString Digits(int length)
{
    QString text;
    for (int i = 0; i < length; ++i) {
        text += QChar(u'0' + (i + 1) % 10);
    }
    return text;
}

// A meter at address 7 that behaves, the window showing its address.
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
};

void TestBadInput::addressTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("address"); // -1: refused
    const QString blanks(5000, u' ');
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("letters") << QStringLiteral("abc") << -1;
    QTest::newRow("-1") << QStringLiteral("-1") << -1;
    QTest::newRow("255") << QStringLiteral("255") << -1;
    QTest::newRow("254") << QStringLiteral("254") << 254;
    QTest::newRow("0") << QStringLiteral("0") << 0;
    QTest::newRow("1e3 is not a number") << QStringLiteral("1e3") << -1;
    QTest::newRow("12abc") << QStringLiteral("12abc") << -1;
    QTest::newRow("blanks only") << QStringLiteral("   ") << 0;
    QTest::newRow("blanks around") << QStringLiteral(" 7 ") << 7;
    // Cut to 32 bits it would be meter 7.
    QTest::newRow("2^32 + 7") << QStringLiteral("4294967303") << -1;
    QTest::newRow("full-width digit") << QStringLiteral("７") << -1;
    QTest::newRow("20 digits") << QStringLiteral("99999999999999999999") << -1;
    QTest::newRow("1000 nines") << QString(1000, u'9') << -1;
    QTest::newRow("1000 letters") << QString(1000, u'x') << -1;
    QTest::newRow("10000 digits") << Digits(10000) << -1;
    QTest::newRow("7 amid 10000 blanks") << blanks + QStringLiteral("7") + blanks << 7;
}

void TestBadInput::addressTexts()
{
    QFETCH(QString, text);
    QFETCH(int, address);
    Bench bench(kSingle);
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_DISPLAY_TIME, 2);
    w.setText(IDC_EDIT_ADDRESS, text);

    // Each kind of command that reads the field, the one that changes the meter's address
    // last; only that one refuses 0.
    const QByteArray to(1, static_cast<char>(address));
    const std::array<std::pair<int, QByteArray>, 4> uses{{
        {IDC_BTN_READ_SN, QByteArray::fromHex("00 04 00 14 00 02")},
        {IDC_BTN_SET_DISPLAY_TIME, to + QByteArray::fromHex("10 00 19 00 01 02 00 03")},
        {IDC_BTN_CLEAR_ZERO,
         QByteArray::fromHex("68 AA AA AA AA AA AA 68 1A 08 35 33 33 33 33 33 33 33")},
        {IDC_BTN_SET_ADDRESS, QByteArray::fromHex("00 10 00 18 00 01 02 00") + to},
    }};
    for (const auto& [button, request] : uses) {
        w.messages.clear();
        w.setText(IDC_EDIT_SEND, kUntouched);
        const std::uint64_t requests = bench.meter->requestsSeen();
        w.click(button);
        if (address < 0 || (address == 0 && button == IDC_BTN_SET_ADDRESS)) {
            QCOMPARE(w.messages, QStringList{kAddressRefused});
            QCOMPARE(w.text(IDC_EDIT_SEND), kUntouched);
            QCOMPARE(bench.meter->requestsSeen(), requests);
            continue;
        }
        // The clear frame's last two bytes are its checksum and end byte (88 16).
        QCOMPARE(WithoutCrc(w.text(IDC_EDIT_SEND)), HexText(request));
        // The meter answers its own address and 0; a request to another meter goes unanswered.
        const bool answered = address == 0 || address == kMeterAddress;
        QStringList told;
        if (button == IDC_BTN_CLEAR_ZERO) {
            told << QStringLiteral("clear zero success");
        } else if (button != IDC_BTN_READ_SN && (answered || button == IDC_BTN_SET_ADDRESS)) {
            told << kSuccess;
        }
        QCOMPARE(w.messages, told);
    }
    // The field keeps what was typed: only a read address writes it.
    QCOMPARE(w.text(IDC_EDIT_ADDRESS), text);
    if (address > 0) {
        QCOMPARE(int(bench.state().address), address);
    }
}

void TestBadInput::serialNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("packed");
    // Characters 1-2, 3-4 and 5-6, then the last two wherever they fall: a short text
    // overlaps the groups before, a long one skips the characters between.
    const char* const byLength[] = {
        "00000000", "10000010", "12000012", "12300023", "12340034", "12345045", "12345656",
        "12345667", "12345678", "12345689", "12345690", "12345601", "12345612", "12345623",
        "12345634", "12345645", "12345656", "12345667", "12345678", "12345689", "12345690",
    };
    for (int length = 0; length <= 20; ++length) {
        QTest::addRow("%d digits", length)
            << Digits(length) << QByteArray::fromHex(byLength[length]);
    }
    const std::tuple<const char*, QString, const char*> others[] = {
        {"letters count 0", QStringLiteral("12a4b6c8"), "12040608"},
        {"minus sign counts 0", QStringLiteral("-1234567"), "01234567"},
        {"Chinese first", QStringLiteral("序列号12345678"), "00012378"},
        {"full-width digits count 0", QStringLiteral("１２３４５６７８"), "00000000"},
        {"10000 digits", Digits(10000), "12345690"},
        {"10000 Chinese characters", QString(10000, u'号'), "00000000"},
    };
    for (const auto& [name, text, packed] : others) {
        QTest::newRow(name) << text << QByteArray::fromHex(packed);
    }
    // An emoji is one character, not the two UTF-16 halves it is stored as: it takes a digit's
    // place, and the last two characters are the last two the operator sees.
    QTest::newRow("emoji first") << kEmoji + QStringLiteral("2345678")
                                 << QByteArray::fromHex("02345678");
    QTest::newRow("emoji last") << QStringLiteral("12345678") + kEmoji
                                << QByteArray::fromHex("12345680");
    QTest::newRow("5000 emoji, then 42")
        << kEmoji.repeated(5000) + QStringLiteral("42") << QByteArray::fromHex("00000042");
}

void TestBadInput::serialNumbers()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, packed);
    Bench bench(kSingle);
    WindowFixture& w = bench.w();
    w.setText(IDC_EDIT_SN, text);
    w.click(IDC_BTN_SET_SN);
    QCOMPARE(WithoutCrc(w.text(IDC_EDIT_SEND)),
             HexText(QByteArray::fromHex("07 10 00 14 00 02 04") + packed));
    QCOMPARE(w.messages, QStringList{kSuccess});
    const std::array<std::uint8_t, 4> stored = bench.state().serialNumber;
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(stored.data()), 4), packed);
    QCOMPARE(w.text(IDC_EDIT_SN), text);
}

void TestBadInput::passwords_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("packed"); // empty: refused for its length
    for (int length = 0; length <= 10; ++length) {
        const QString text = Digits(length);
        QTest::addRow("%d digits", length)
            << text << (length == 4 ? QByteArray::fromHex("1234") : QByteArray());
    }
    // Lengths in characters: an emoji is one, though UTF-16 stores it as two.
    QTest::newRow("Chinese") << QStringLiteral("密码密码") << QByteArray::fromHex("0000");
    QTest::newRow("emoji among digits") << QStringLiteral("12😀4") << QByteArray::fromHex("1204");
    QTest::newRow("three characters, four UTF-16 units") << QStringLiteral("😀12") << QByteArray();
    QTest::newRow("two characters, four UTF-16 units") << kEmoji.repeated(2) << QByteArray();
    QTest::newRow("10000 digits") << Digits(10000) << QByteArray();
    QTest::newRow("10000 emoji") << kEmoji.repeated(10000) << QByteArray();
}

void TestBadInput::passwords()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, packed);
    Bench bench(kThree);
    WindowFixture& w = bench.w();
    w.setText(IDC_EDIT_PASSWORD, text);
    const std::uint64_t requests = bench.meter->requestsSeen();
    w.click(IDC_BTN_SET_PASSWORD);
    if (packed.isEmpty()) {
        QCOMPARE(w.messages, QStringList{QStringLiteral("length is 4")});
        QCOMPARE(w.text(IDC_EDIT_SEND), kUntouched);
        QCOMPARE(bench.meter->requestsSeen(), requests);
        return;
    }
    QCOMPARE(WithoutCrc(w.text(IDC_EDIT_SEND)),
             HexText(QByteArray::fromHex("07 10 00 46 00 01 02") + packed));
    QCOMPARE(w.messages, QStringList{kSuccess});
    const std::array<std::uint8_t, 2> stored = bench.state().password;
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(stored.data()), 2), packed);
    QCOMPARE(w.text(IDC_EDIT_PASSWORD), text);
}

QTEST_MAIN(TestBadInput)
#include "test_badinput.moc"
