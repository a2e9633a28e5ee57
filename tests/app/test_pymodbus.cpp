// The window against a meter played by pymodbus (tests/peers/pymodbus_meter.py): someone
// else's Modbus RTU decides whether our requests are well formed and where they land, and
// our acceptance tests meet replies we did not build ourselves.

#include "portwaits.h"
#include "windowfixture.h"

#include "port.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>
#include <vector>

#ifndef PYMODBUS_METER
#error "PYMODBUS_METER must name the pymodbus meter script"
#endif

namespace {

constexpr int kSingle = 0;
constexpr int kThree = 1;

const QString kPython = QStringLiteral("/usr/bin/python3");

// How long the meter may take to come up, to reset or to answer on a loaded machine before
// the test fails.
constexpr int kBackstopMs = 15000;

using Registers = QMap<int, int>;

// The non-zero registers the meter starts with; the password (0x46) starts as 0000.
Registers InitialRegisters()
{
    return {
        {0x14, 0x1234}, {0x15, 0x5678}, {0x18, 1}, {0x19, 5}, {0x1A, 6}, {0x1B, 2},
        {0x1D, 0x20},   {0x2E, 0x20},   {0x2F, 1}, {0x30, 6}, {0x31, 5}, {0x32, 2},
        {0x33, 0x1234}, {0x34, 0x5678}, {0x44, 1}, {0x50, 2},
    };
}

// What the meter's register file holds, as the script last wrote it.
struct PeerState
{
    int requests = -1;
    Registers registers; // non-zero registers only
};

// The pymodbus meter as a child process, started once and reset for every test: a Python
// process takes far longer to start than a test takes to run.
class PymodbusMeter
{
public:
    PymodbusMeter()
    {
        m_statePath = m_dir.filePath(QStringLiteral("state.json"));
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(kPython, QStringList{QStringLiteral(PYMODBUS_METER),
                                             QStringLiteral("--state"), m_statePath});
        m_devicePath = readLine();
    }
    ~PymodbusMeter()
    {
        // Closing its standard input is the meter's cue to stop.
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
    PymodbusMeter(const PymodbusMeter&) = delete;
    PymodbusMeter& operator=(const PymodbusMeter&) = delete;

    // Empty when the meter did not come up.
    QByteArray devicePath() const { return m_devicePath; }

    // Initial registers without the missing ones, no request answered; false when the meter
    // did not confirm.
    bool reset(const QStringList& missing)
    {
        m_process.write("reset " + missing.join(QLatin1Char(',')).toLatin1() + '\n');
        for (QByteArray line = readLine(); !line.isEmpty(); line = readLine()) {
            if (line == "reset") {
                return true;
            }
        }
        return false;
    }

    // The length of the next reply the meter sends; 0 when none is announced in time.
    std::uint32_t nextReplyLength()
    {
        for (QByteArray line = readLine(); !line.isEmpty(); line = readLine()) {
            if (line.startsWith("reply ")) {
                return line.mid(6).toUInt();
            }
        }
        return 0;
    }

    PeerState state() const
    {
        PeerState state;
        QFile file(m_statePath);
        if (!file.open(QIODevice::ReadOnly)) {
            return state;
        }
        const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        state.requests = root.value(QStringLiteral("requests")).toInt(-1);
        const QJsonArray registers = root.value(QStringLiteral("registers")).toArray();
        for (int i = 0; i < registers.size(); ++i) {
            if (const int value = registers.at(i).toInt(); value != 0) {
                state.registers.insert(i, value);
            }
        }
        return state;
    }

private:
    // One line of the meter's standard output, empty when none comes in time.
    QByteArray readLine()
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine() && timer.elapsed() < kBackstopMs &&
               m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(kBackstopMs - static_cast<int>(timer.elapsed()));
        }
        return m_process.canReadLine() ? m_process.readLine().trimmed() : QByteArray();
    }

    QTemporaryDir m_dir;
    QString m_statePath;
    QProcess m_process;
    QByteArray m_devicePath;
};

// The window on COM1 wired to the meter, freshly reset, the port open. Unless the test wants
// the real waits, each command's wait ends as soon as the reply the meter announced for its
// request has reached the port.
class PymodbusBench
{
public:
    PymodbusBench(PymodbusMeter& meter, const QStringList& missing = {}, Waits waits = Waits::OnTheMeter)
        : m_meter(meter)
    {
        if (meter.devicePath().isEmpty() || !meter.reset(missing)) {
            return;
        }
        qputenv("QUORVEX_COM1", meter.devicePath());
        SetSleepScale(1.0);
        if (waits == Waits::OnTheMeter) {
            m_previousSleep = SetSleepFunction([this](unsigned) { waitForReply(); });
        }
        m_window = std::make_unique<WindowFixture>();
        m_window->beforeCommand = [this] { m_commandStarted = true; };
        m_window->click(IDC_BTN_OPEN);
    }
    ~PymodbusBench()
    {
        m_window.reset();
        PortClose();
        SetSleepFunction(std::move(m_previousSleep));
        qunsetenv("QUORVEX_COM1");
    }
    PymodbusBench(const PymodbusBench&) = delete;
    PymodbusBench& operator=(const PymodbusBench&) = delete;

    bool ready() const { return m_window && m_window->dlg->PortOpenFlag(); }
    WindowFixture& w() { return *m_window; }
    PeerState state() const { return m_meter.state(); }

private:
    // Every command of these tests gets one reply and waits once for it.
    void waitForReply()
    {
        if (!std::exchange(m_commandStarted, false)) {
            return;
        }
        const std::uint32_t length = m_meter.nextReplyLength();
        if (length == 0 || !WaitForQueued(length)) {
            QTest::qFail("the meter's reply did not reach the port", __FILE__, __LINE__);
        }
    }

    PymodbusMeter& m_meter;
    SleepFunction m_previousSleep;
    std::unique_ptr<WindowFixture> m_window;
    bool m_commandStarted = false;
};

// Puts a value into an input control the way the operator would: picks the entry of a list,
// types into an edit.
bool Put(WindowFixture& w, int id, const QString& value)
{
    if (QComboBox* list = w.dlg->DlgItem<QComboBox>(id)) {
        list->setCurrentIndex(list->findText(value));
        return list->currentIndex() >= 0;
    }
    w.setText(id, value);
    return true;
}

// The non-zero registers, as text that shows which differ.
QString Dump(const Registers& registers)
{
    QStringList parts;
    for (auto it = registers.cbegin(); it != registers.cend(); ++it) {
        if (it.value() != 0) {
            parts << QStringLiteral("%1=%2")
                         .arg(it.key(), 2, 16, QLatin1Char('0'))
                         .arg(it.value(), 4, 16, QLatin1Char('0'));
        }
    }
    return parts.join(QLatin1Char(' '));
}

// Everything the window shows and keeps apart from the traffic areas, in one text so that
// every part is compared at once.
QString Shown(const WindowFixture& w)
{
    QStringList parts;
    for (const ControlTemplate& control : w.dlg->Template().controls) {
        const bool input =
            control.kind == ControlKind::Edit || control.kind == ControlKind::ComboBox;
        if (input && control.id != IDC_EDIT_SEND && control.id != IDC_EDIT_RECV) {
            parts << w.text(control.id);
        }
    }
    parts << QString::number(w.dlg->DecimalMode()) << w.dlg->CurDanData().m_strAddress
          << w.dlg->CurDanData().m_strSN << w.dlg->CurEnergy().m_strAddress
          << w.dlg->CurEnergy().m_strSN;
    return parts.join(QStringLiteral(" | "));
}

// A meter property as the window sets and reads it: its input control, the port's own list
// that set and read also move (0: none), its first register on each meter type (0: not on
// that type), a value to set, what the registers then hold, and a different value.
struct Property
{
    const char* name;
    int control;
    int setButton;
    int readButton;
    int mirror;
    std::array<int, 2> firstRegister;
    const char* value;
    std::vector<int> registerValues;
    const char* other;
};

// clang-format off
const std::vector<Property> kProperties{
    {"baud", IDC_COMBO_METER_BAUD, IDC_BTN_SET_BAUD, IDC_BTN_READ_BAUD, IDC_COMBO_BAUD, {0x1D, 0x2E}, "2400", {0x08}, "1200"},
    {"address", IDC_EDIT_ADDRESS, IDC_BTN_SET_ADDRESS, IDC_BTN_READ_ADDRESS, 0, {0x18, 0x2F}, "254", {254}, "9"},
    {"display time", IDC_COMBO_DISPLAY_TIME, IDC_BTN_SET_DISPLAY_TIME, IDC_BTN_READ_DISPLAY_TIME, 0, {0x19, 0x31}, "3", {3}, "1"},
    {"screen number", IDC_COMBO_SCREEN, IDC_BTN_SET_SCREEN, IDC_BTN_READ_SCREEN, 0, {0x1A, 0x30}, "14", {14}, "3"},
    {"decimal", IDC_COMBO_DECIMAL, IDC_BTN_SET_DECIMAL, IDC_BTN_READ_DECIMAL, 0, {0x1B, 0x32}, "1", {1}, "2"},
    {"serial number", IDC_EDIT_SN, IDC_BTN_SET_SN, IDC_BTN_READ_SN, 0, {0x14, 0x33}, "87654321", {0x8765, 0x4321}, "11111111"},
    {"password", IDC_EDIT_PASSWORD, IDC_BTN_SET_PASSWORD, IDC_BTN_READ_PASSWORD, 0, {0, 0x46}, "4321", {0x4321}, "0000"},
    {"CT ratio", IDC_COMBO_CT_RATIO, IDC_BTN_SET_CT, IDC_BTN_READ_CT, 0, {0, 0x44}, "190", {190}, "24"},
    {"parity", IDC_COMBO_METER_PARITY, IDC_BTN_SET_PARITY, IDC_BTN_READ_PARITY, IDC_COMBO_PARITY, {0x50, 0x50}, "Odd check", {1}, "Even check"},
};
// clang-format on

// A row for every property on every meter type that has it.
void AddPropertyRows()
{
    QTest::addColumn<int>("property");
    QTest::addColumn<int>("type");
    for (std::size_t i = 0; i < kProperties.size(); ++i) {
        for (const int type : {kSingle, kThree}) {
            if (kProperties[i].firstRegister[std::size_t(type)] != 0) {
                QTest::addRow("%s, %s", kProperties[i].name, type == kSingle ? "single" : "three")
                    << int(i) << type;
            }
        }
    }
}

} // namespace

class TestPymodbus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void setThenRead_data();
    void setThenRead();
    void readRefusedByTheMeter_data();
    void readRefusedByTheMeter();
    void realWaits();

private:
    std::unique_ptr<PymodbusMeter> m_meter;
};

void TestPymodbus::initTestCase()
{
    // The build found pymodbus (tests/app/CMakeLists.txt): a meter that does not come up is a
    // failure.
    m_meter = std::make_unique<PymodbusMeter>();
    QVERIFY2(!m_meter->devicePath().isEmpty(), "the pymodbus meter did not come up");
}

void TestPymodbus::cleanupTestCase()
{
    m_meter.reset();
}

void TestPymodbus::setThenRead_data()
{
    AddPropertyRows();
}

void TestPymodbus::setThenRead()
{
    // Set the property, check where it landed in the meter, disturb the controls, read the
    // property back.
    QFETCH(int, property);
    QFETCH(int, type);
    const Property& p = kProperties[std::size_t(property)];
    PymodbusBench bench(*m_meter);
    QVERIFY2(bench.ready(), "the pymodbus meter did not reset or the port did not open");
    WindowFixture& w = bench.w();
    QCOMPARE(Dump(bench.state().registers), Dump(InitialRegisters()));

    w.select(IDC_COMBO_METER_TYPE, type);
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    QVERIFY(Put(w, p.control, p.value));
    w.click(p.setButton);
    QCOMPARE(w.messages, QStringList{"success!"});
    // pymodbus echoes address, function, register and count of the request, then its CRC.
    QCOMPARE(w.text(IDC_EDIT_RECV).size(), 8 * 3);
    QCOMPARE(w.text(IDC_EDIT_RECV).left(6 * 3), w.text(IDC_EDIT_SEND).left(6 * 3));
    Registers expected = InitialRegisters();
    for (std::size_t i = 0; i < p.registerValues.size(); ++i) {
        expected.insert(p.firstRegister[std::size_t(type)] + int(i), p.registerValues[i]);
    }
    QCOMPARE(bench.state().requests, 1);
    QCOMPARE(Dump(bench.state().registers), Dump(expected));

    QVERIFY(Put(w, p.control, p.other));
    QVERIFY(p.mirror == 0 || Put(w, p.mirror, p.other));
    w.setText(IDC_EDIT_RECV, QString());
    w.press(p.readButton);
    QCOMPARE(bench.state().requests, 2);
    QVERIFY2(!w.text(IDC_EDIT_RECV).isEmpty(), "no reply to the read");
    QCOMPARE(w.messages, QStringList{"success!"});
    QCOMPARE(w.text(p.control), p.value);
    if (p.mirror != 0) {
        QCOMPARE(w.text(p.mirror), p.value);
    }
    if (p.control == IDC_COMBO_DECIMAL) {
        QCOMPARE(w.dlg->DecimalMode(), 1);
    }
}

void TestPymodbus::readRefusedByTheMeter_data()
{
    AddPropertyRows();
}

void TestPymodbus::readRefusedByTheMeter()
{
    // A meter without the register answers a read with its exception reply (0x84, code 2),
    // whose code sits where a one-register reply has its byte count 2. The reply is shown;
    // nothing in the window may take a value from it.
    QFETCH(int, property);
    QFETCH(int, type);
    const Property& p = kProperties[std::size_t(property)];
    QStringList missing;
    for (std::size_t i = 0; i < p.registerValues.size(); ++i) {
        missing << QString::number(p.firstRegister[std::size_t(type)] + int(i));
    }
    PymodbusBench bench(*m_meter, missing);
    QVERIFY(bench.ready());
    WindowFixture& w = bench.w();

    // Decimals 2, set on the other meter type, whose register the meter has; then values
    // that none of the reply's bytes stand for.
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    w.select(IDC_COMBO_METER_TYPE, type == kSingle ? kThree : kSingle);
    QVERIFY(Put(w, IDC_COMBO_DECIMAL, QStringLiteral("2")));
    w.click(IDC_BTN_SET_DECIMAL);
    QCOMPARE(w.dlg->DecimalMode(), 2);
    w.select(IDC_COMBO_METER_TYPE, type);
    QVERIFY(Put(w, p.control, p.value));
    QVERIFY(p.mirror == 0 || Put(w, p.mirror, p.value));
    const QString before = Shown(w);

    w.press(p.readButton);
    QCOMPARE(bench.state().requests, 2);
    QCOMPARE(w.text(IDC_EDIT_RECV), QStringLiteral("00 84 02 93 01 "));
    QCOMPARE(w.messages, QStringList{"success!"});
    QCOMPARE(Shown(w), before);
}

void TestPymodbus::realWaits()
{
    // A setting and a read at the real waits, timed; the meter answers well within them.
    PymodbusBench bench(*m_meter, {}, Waits::Real);
    QVERIFY(bench.ready());
    WindowFixture& w = bench.w();
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    QVERIFY(Put(w, IDC_COMBO_DISPLAY_TIME, QStringLiteral("2")));
    QElapsedTimer timer;
    timer.start();
    w.click(IDC_BTN_SET_DISPLAY_TIME);
    const qint64 setMs = timer.restart();
    w.select(IDC_COMBO_BAUD, 0);
    w.click(IDC_BTN_READ_BAUD);
    const qint64 readMs = timer.elapsed();
    QCOMPARE(w.messages, QStringList{"success!"});
    QCOMPARE(w.text(IDC_COMBO_BAUD), QStringLiteral("9600"));
    QCOMPARE(bench.state().registers.value(0x19), 2);
    QVERIFY2(setMs >= 300 && readMs >= 200,
             qPrintable(QStringLiteral("%1 and %2 ms").arg(setMs).arg(readMs)));
}

QTEST_MAIN(TestPymodbus)
#include "test_pymodbus.moc"
