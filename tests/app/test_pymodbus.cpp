// The window against a meter played by pymodbus (tests/peers/pymodbus_meter.py): someone
// else's Modbus RTU decides whether our requests are well formed and where they land, and
// our acceptance tests meet replies we did not build ourselves.

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

#include <memory>
#include <vector>

#ifndef PYMODBUS_METER
#error "PYMODBUS_METER must name the pymodbus meter script"
#endif

namespace {

constexpr int kSingle = 0;
constexpr int kThree = 1;

const QString kPython = QStringLiteral("/usr/bin/python3");

// pymodbus answers in about a millisecond once warm, its first reply within some 15 ms; half
// the real waits (100 ms and more) leave room for a Python process on a loaded machine.
constexpr double kSleepScale = 0.5;

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
struct MeterState
{
    int requests = -1;
    Registers registers; // non-zero registers only
};

// The pymodbus meter as a child process, the window on COM1 wired to it, the port open.
class PymodbusBench
{
public:
    explicit PymodbusBench(const QStringList& extraArguments = {}, double sleepScale = kSleepScale)
    {
        m_statePath = m_dir.filePath(QStringLiteral("state.json"));
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(kPython, QStringList{QStringLiteral(PYMODBUS_METER),
                                             QStringLiteral("--state"), m_statePath} +
                                     extraArguments);
        if (!m_process.waitForStarted(10000)) {
            return;
        }
        QElapsedTimer started;
        started.start();
        while (!m_process.canReadLine() && started.elapsed() < 15000 &&
               m_process.state() == QProcess::Running) {
            m_process.waitForReadyRead(500);
        }
        if (!m_process.canReadLine()) {
            return;
        }
        qputenv("QUORVEX_COM1", m_process.readLine().trimmed());
        SetSleepScale(sleepScale);
        m_window = std::make_unique<WindowFixture>();
        m_window->click(IDC_BTN_OPEN);
    }
    ~PymodbusBench()
    {
        m_window.reset();
        PortClose();
        SetSleepScale(1.0);
        qunsetenv("QUORVEX_COM1");
        // Closing its standard input is the meter's cue to stop.
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) {
                m_process.kill();
                m_process.waitForFinished(2000);
            }
        }
    }
    PymodbusBench(const PymodbusBench&) = delete;
    PymodbusBench& operator=(const PymodbusBench&) = delete;

    bool ready() const { return m_window && m_window->dlg->PortOpenFlag(); }
    WindowFixture& w() { return *m_window; }

    MeterState state() const
    {
        MeterState state;
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
    QTemporaryDir m_dir;
    QString m_statePath;
    QProcess m_process;
    std::unique_ptr<WindowFixture> m_window;
};

// Puts a value into an input control the way the operator would: picks the entry of a list,
// types into an edit.
bool Put(WindowFixture& w, int id, const QString& value)
{
    if (QComboBox* list = w.dlg->DlgItem<QComboBox>(id)) {
        const int index = list->findText(value);
        list->setCurrentIndex(index);
        return index >= 0;
    }
    w.setText(id, value);
    return true;
}

// Set a property, check where it landed in the meter, disturb the control, read the property
// back: the control must show what was set.
struct RoundTrip
{
    const char* name;
    int type;
    int setButton;
    int readButton;
    int control;       // the input the setting reads and the read fills
    int mirror;        // the port's own list that set and read also move, or 0
    QString value;     // what is set
    QString other;     // what the control shows before the read
    Registers written; // registers the setting must change, and to what
};

const std::vector<RoundTrip>& RoundTrips()
{
    // clang-format off
    static const std::vector<RoundTrip> rows{
        {"baud 2400, single", kSingle, IDC_BTN_SET_BAUD, IDC_BTN_READ_BAUD,
         IDC_COMBO_METER_BAUD, IDC_COMBO_BAUD, "2400", "1200", {{0x1D, 0x08}}},
        {"baud 4800, three", kThree, IDC_BTN_SET_BAUD, IDC_BTN_READ_BAUD,
         IDC_COMBO_METER_BAUD, IDC_COMBO_BAUD, "4800", "9600", {{0x2E, 0x10}}},
        {"address 5, single", kSingle, IDC_BTN_SET_ADDRESS, IDC_BTN_READ_ADDRESS,
         IDC_EDIT_ADDRESS, 0, "5", "9", {{0x18, 5}}},
        {"address 254, three", kThree, IDC_BTN_SET_ADDRESS, IDC_BTN_READ_ADDRESS,
         IDC_EDIT_ADDRESS, 0, "254", "9", {{0x2F, 254}}},
        {"display time 3, single", kSingle, IDC_BTN_SET_DISPLAY_TIME, IDC_BTN_READ_DISPLAY_TIME,
         IDC_COMBO_DISPLAY_TIME, 0, "3", "1", {{0x19, 3}}},
        {"display time 1, three", kThree, IDC_BTN_SET_DISPLAY_TIME, IDC_BTN_READ_DISPLAY_TIME,
         IDC_COMBO_DISPLAY_TIME, 0, "1", "4", {{0x31, 1}}},
        {"screen number 14, single", kSingle, IDC_BTN_SET_SCREEN, IDC_BTN_READ_SCREEN,
         IDC_COMBO_SCREEN, 0, "14", "3", {{0x1A, 14}}},
        {"screen number 3, three", kThree, IDC_BTN_SET_SCREEN, IDC_BTN_READ_SCREEN,
         IDC_COMBO_SCREEN, 0, "3", "9", {{0x30, 3}}},
        {"decimal 1, single", kSingle, IDC_BTN_SET_DECIMAL, IDC_BTN_READ_DECIMAL,
         IDC_COMBO_DECIMAL, 0, "1", "2", {{0x1B, 1}}},
        {"decimal 1, three", kThree, IDC_BTN_SET_DECIMAL, IDC_BTN_READ_DECIMAL,
         IDC_COMBO_DECIMAL, 0, "1", "2", {{0x32, 1}}},
        {"serial number, single", kSingle, IDC_BTN_SET_SN, IDC_BTN_READ_SN,
         IDC_EDIT_SN, 0, "87654321", "11111111", {{0x14, 0x8765}, {0x15, 0x4321}}},
        {"serial number, three", kThree, IDC_BTN_SET_SN, IDC_BTN_READ_SN,
         IDC_EDIT_SN, 0, "90817263", "", {{0x33, 0x9081}, {0x34, 0x7263}}},
        {"password, three", kThree, IDC_BTN_SET_PASSWORD, IDC_BTN_READ_PASSWORD,
         IDC_EDIT_PASSWORD, 0, "4321", "0000", {{0x46, 0x4321}}},
        {"CT ratio 100, three", kThree, IDC_BTN_SET_CT, IDC_BTN_READ_CT,
         IDC_COMBO_CT_RATIO, 0, "100", "1", {{0x44, 100}}},
        {"CT ratio 190, three", kThree, IDC_BTN_SET_CT, IDC_BTN_READ_CT,
         IDC_COMBO_CT_RATIO, 0, "190", "24", {{0x44, 190}}},
        {"parity even, single", kSingle, IDC_BTN_SET_PARITY, IDC_BTN_READ_PARITY,
         IDC_COMBO_METER_PARITY, IDC_COMBO_PARITY, "Even check", "None check", {{0x50, 0}}},
        {"parity odd, three", kThree, IDC_BTN_SET_PARITY, IDC_BTN_READ_PARITY,
         IDC_COMBO_METER_PARITY, IDC_COMBO_PARITY, "Odd check", "Even check", {{0x50, 1}}},
    };
    // clang-format on
    return rows;
}

Registers With(Registers registers, const Registers& changes)
{
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.value() == 0) {
            registers.remove(it.key());
        } else {
            registers.insert(it.key(), it.value());
        }
    }
    return registers;
}

QString Dump(const Registers& registers)
{
    QStringList parts;
    for (auto it = registers.cbegin(); it != registers.cend(); ++it) {
        parts << QStringLiteral("%1=%2")
                     .arg(it.key(), 2, 16, QLatin1Char('0'))
                     .arg(it.value(), 4, 16, QLatin1Char('0'));
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestPymodbus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void setThenRead_data();
    void setThenRead();
    void threePhaseReadAddressTakesDecimalsAndSerial();
    void singlePhaseOnlyRefusals();
    void settingRefusedByTheMeter();
    void readRefusedByTheMeter_data();
    void readRefusedByTheMeter();
    void realWaits();
};

void TestPymodbus::initTestCase()
{
    QProcess probe;
    probe.start(kPython, {QStringLiteral("-c"), QStringLiteral("import pymodbus, serial_asyncio")});
    if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0) {
        QSKIP("/usr/bin/python3 cannot import pymodbus and serial_asyncio "
              "(Debian: python3-pymodbus python3-serial-asyncio)");
    }
}

void TestPymodbus::setThenRead_data()
{
    QTest::addColumn<int>("row");
    for (std::size_t i = 0; i < RoundTrips().size(); ++i) {
        QTest::newRow(RoundTrips()[i].name) << int(i);
    }
}

void TestPymodbus::setThenRead()
{
    QFETCH(int, row);
    const RoundTrip& c = RoundTrips()[std::size_t(row)];
    PymodbusBench bench;
    QVERIFY2(bench.ready(), "the pymodbus meter did not come up or the port did not open");
    WindowFixture& w = bench.w();
    const MeterState before = bench.state();
    QCOMPARE(Dump(before.registers), Dump(InitialRegisters()));
    QCOMPARE(before.requests, 0);

    w.select(IDC_COMBO_METER_TYPE, c.type);
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    QVERIFY(Put(w, c.control, c.value));
    w.click(c.setButton);
    QCOMPARE(w.messages, QStringList{"success!"});

    // pymodbus echoes address, function, register and count of the request, then its CRC.
    const QString sent = w.text(IDC_EDIT_SEND);
    const QString received = w.text(IDC_EDIT_RECV);
    QCOMPARE(received.size(), 8 * 3);
    QCOMPARE(received.left(6 * 3), sent.left(6 * 3));

    const MeterState afterSet = bench.state();
    QCOMPARE(afterSet.requests, 1);
    QCOMPARE(Dump(afterSet.registers), Dump(With(InitialRegisters(), c.written)));
    if (c.mirror != 0) {
        QCOMPARE(w.text(c.mirror), c.value);
    }

    QVERIFY(Put(w, c.control, c.other));
    if (c.mirror != 0) {
        QVERIFY(Put(w, c.mirror, c.other));
    }
    w.setText(IDC_EDIT_RECV, QString());
    if (c.readButton == IDC_BTN_READ_PASSWORD) {
        // The window never enables this button; its handler still works.
        QVERIFY(!w.dlg->DlgItem<QAbstractButton>(IDC_BTN_READ_PASSWORD)->isEnabled());
        w.dlg->OnReadPassword();
    } else {
        w.click(c.readButton);
    }
    QCOMPARE(bench.state().requests, 2);
    QVERIFY2(!w.text(IDC_EDIT_RECV).isEmpty(), "no reply to the read");
    QCOMPARE(w.messages, QStringList{"success!"});
    QCOMPARE(w.text(c.control), c.value);
    if (c.mirror != 0) {
        QCOMPARE(w.text(c.mirror), c.value);
    }
    if (c.control == IDC_COMBO_DECIMAL) {
        QCOMPARE(w.dlg->DecimalMode(), c.value.toInt());
    }
    if (c.readButton == IDC_BTN_READ_SN) {
        const QString recorded =
            c.type == kSingle ? w.dlg->CurDanData().m_strSN : w.dlg->CurEnergy().m_strSN;
        QCOMPARE(recorded, c.value);
    }
    if (c.readButton == IDC_BTN_READ_ADDRESS) {
        const QString recorded =
            c.type == kSingle ? w.dlg->CurDanData().m_strAddress : w.dlg->CurEnergy().m_strAddress;
        QCOMPARE(recorded, c.value);
    }
}

void TestPymodbus::threePhaseReadAddressTakesDecimalsAndSerial()
{
    // Read address on a three-phase meter takes six registers in one go; what the other
    // setting commands wrote must come back out of that one reply at the right offsets.
    PymodbusBench bench;
    QVERIFY(bench.ready());
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_METER_TYPE, kThree);
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("7"));
    w.click(IDC_BTN_SET_ADDRESS);
    QVERIFY(Put(w, IDC_COMBO_SCREEN, QStringLiteral("12")));
    w.click(IDC_BTN_SET_SCREEN);
    QVERIFY(Put(w, IDC_COMBO_DISPLAY_TIME, QStringLiteral("2")));
    w.click(IDC_BTN_SET_DISPLAY_TIME);
    QVERIFY(Put(w, IDC_COMBO_DECIMAL, QStringLiteral("1")));
    w.click(IDC_BTN_SET_DECIMAL);
    w.setText(IDC_EDIT_SN, QStringLiteral("20240613"));
    w.click(IDC_BTN_SET_SN);
    QCOMPARE(w.messages, QStringList(5, QStringLiteral("success!")));
    QCOMPARE(
        Dump(bench.state().registers),
        Dump(With(InitialRegisters(),
                  {{0x2F, 7}, {0x30, 12}, {0x31, 2}, {0x32, 1}, {0x33, 0x2024}, {0x34, 0x0613}})));

    // The window forgets; the meter remembers.
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("99"));
    QVERIFY(Put(w, IDC_COMBO_DECIMAL, QStringLiteral("2")));
    w.setText(IDC_EDIT_SN, QStringLiteral("unchanged"));
    w.click(IDC_BTN_READ_ADDRESS);
    QCOMPARE(w.text(IDC_EDIT_SEND), QStringLiteral("00 04 00 2F 00 06 40 10 "));
    QCOMPARE(w.text(IDC_EDIT_RECV).left(3 * 15),
             QStringLiteral("00 04 0C 00 07 00 0C 00 02 00 01 20 24 06 13 "));
    QCOMPARE(w.text(IDC_EDIT_ADDRESS), QStringLiteral("7"));
    QCOMPARE(w.text(IDC_COMBO_DECIMAL), QStringLiteral("1"));
    QCOMPARE(w.dlg->DecimalMode(), 1);
    QCOMPARE(w.dlg->CurEnergy().m_strAddress, QStringLiteral("7"));
    QCOMPARE(w.dlg->CurEnergy().m_strSN, QStringLiteral("20240613"));
    QCOMPARE(w.text(IDC_EDIT_SN), QStringLiteral("unchanged"));
    QCOMPARE(w.messages.size(), 5);
}

void TestPymodbus::singlePhaseOnlyRefusals()
{
    // What a single-phase meter does not have is refused before the line is touched: the
    // meter sees no request at all.
    PymodbusBench bench;
    QVERIFY(bench.ready());
    WindowFixture& w = bench.w();
    w.select(IDC_COMBO_METER_TYPE, kSingle);
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    w.setText(IDC_EDIT_PASSWORD, QStringLiteral("1234"));
    w.click(IDC_BTN_SET_PASSWORD);
    w.click(IDC_BTN_SET_CT);
    w.click(IDC_BTN_READ_CT);
    w.dlg->OnReadPassword();
    QCOMPARE(w.messages, (QStringList{"single is not password", "single is not set ct",
                                      "single is not read", "single is not read"}));
    QCOMPARE(bench.state().requests, 0);
    QCOMPARE(Dump(bench.state().registers), Dump(InitialRegisters()));
}

void TestPymodbus::settingRefusedByTheMeter()
{
    // A meter without the register answers with its exception reply (0x90, code 2): that is
    // no success, and the window keeps its lists as they were.
    PymodbusBench bench({QStringLiteral("--missing"), QStringLiteral("0x50")});
    QVERIFY(bench.ready());
    WindowFixture& w = bench.w();
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    w.setText(IDC_EDIT_RECV, QStringLiteral("old"));
    QVERIFY(Put(w, IDC_COMBO_METER_PARITY, QStringLiteral("Odd check")));
    QVERIFY(Put(w, IDC_COMBO_PARITY, QStringLiteral("None check")));
    w.click(IDC_BTN_SET_PARITY);
    QCOMPARE(bench.state().requests, 1);
    QVERIFY(w.messages.isEmpty());
    QCOMPARE(w.text(IDC_EDIT_RECV), QStringLiteral("old"));
    QCOMPARE(w.text(IDC_COMBO_PARITY), QStringLiteral("None check"));

    // The registers the meter has still take settings.
    w.click(IDC_BTN_SET_DISPLAY_TIME);
    QCOMPARE(w.messages, QStringList{"success!"});
}

void TestPymodbus::readRefusedByTheMeter_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("control");
    QTest::addColumn<QString>("shown");

    // The exception reply to address 0 is always 00 84 02 93 01: byte 2, the exception code
    // 2, sits where a one-register reply has its byte count 2.
    QTest::newRow("address, single") << kSingle << "0x18" << int(IDC_BTN_READ_ADDRESS)
                                     << int(IDC_EDIT_ADDRESS) << "9";
    QTest::newRow("address, three") << kThree << "0x2f" << int(IDC_BTN_READ_ADDRESS)
                                    << int(IDC_EDIT_ADDRESS) << "9";
    QTest::newRow("serial number") << kThree << "0x33,0x34" << int(IDC_BTN_READ_SN)
                                   << int(IDC_EDIT_SN) << "11223344";
    QTest::newRow("screen number") << kSingle << "0x1a" << int(IDC_BTN_READ_SCREEN)
                                   << int(IDC_COMBO_SCREEN) << "8";
    QTest::newRow("decimal") << kSingle << "0x1b" << int(IDC_BTN_READ_DECIMAL)
                             << int(IDC_COMBO_DECIMAL) << "2";
    QTest::newRow("display time") << kThree << "0x31" << int(IDC_BTN_READ_DISPLAY_TIME)
                                  << int(IDC_COMBO_DISPLAY_TIME) << "4";
    QTest::newRow("baud rate") << kSingle << "0x1d" << int(IDC_BTN_READ_BAUD)
                               << int(IDC_COMBO_METER_BAUD) << "4800";
    QTest::newRow("password") << kThree << "0x46" << int(IDC_BTN_READ_PASSWORD)
                              << int(IDC_EDIT_PASSWORD) << "5678";
    QTest::newRow("CT ratio") << kThree << "0x44" << int(IDC_BTN_READ_CT) << int(IDC_COMBO_CT_RATIO)
                              << "40";
    QTest::newRow("parity") << kThree << "0x50" << int(IDC_BTN_READ_PARITY)
                            << int(IDC_COMBO_METER_PARITY) << "Odd check";
}

void TestPymodbus::readRefusedByTheMeter()
{
    // A meter without the register answers a read with its exception reply (0x84, code 2).
    // The reply is shown; nothing in the window may take a value from it.
    QFETCH(int, type);
    QFETCH(QString, missing);
    QFETCH(int, button);
    QFETCH(int, control);
    QFETCH(QString, shown);
    PymodbusBench bench({QStringLiteral("--missing"), missing});
    QVERIFY(bench.ready());
    WindowFixture& w = bench.w();

    // Decimals 2, set on the other meter type, whose register the meter has.
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    w.select(IDC_COMBO_METER_TYPE, type == kSingle ? kThree : kSingle);
    QVERIFY(Put(w, IDC_COMBO_DECIMAL, QStringLiteral("2")));
    w.click(IDC_BTN_SET_DECIMAL);
    QCOMPARE(w.dlg->DecimalMode(), 2);
    w.select(IDC_COMBO_METER_TYPE, type);
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("9"));
    QVERIFY(Put(w, control, shown));
    QVERIFY(Put(w, IDC_COMBO_BAUD, QStringLiteral("4800")));
    QVERIFY(Put(w, IDC_COMBO_PARITY, QStringLiteral("Odd check")));

    // What the window shows and keeps, in one text so that every part is compared at once.
    const auto window = [&w] {
        return QStringList{w.text(IDC_EDIT_ADDRESS),         w.text(IDC_EDIT_SN),
                           w.text(IDC_EDIT_PASSWORD),        w.text(IDC_COMBO_METER_BAUD),
                           w.text(IDC_COMBO_BAUD),           w.text(IDC_COMBO_METER_PARITY),
                           w.text(IDC_COMBO_PARITY),         w.text(IDC_COMBO_DECIMAL),
                           w.text(IDC_COMBO_DISPLAY_TIME),   w.text(IDC_COMBO_SCREEN),
                           w.text(IDC_COMBO_CT_RATIO),       QString::number(w.dlg->DecimalMode()),
                           w.dlg->CurDanData().m_strAddress, w.dlg->CurDanData().m_strSN,
                           w.dlg->CurEnergy().m_strAddress,  w.dlg->CurEnergy().m_strSN}
            .join(QStringLiteral(" | "));
    };
    const QString before = window();

    if (button == IDC_BTN_READ_PASSWORD) {
        w.dlg->OnReadPassword();
    } else {
        w.click(button);
    }
    QCOMPARE(bench.state().requests, 2);
    QCOMPARE(w.text(IDC_EDIT_RECV), QStringLiteral("00 84 02 93 01 "));
    QCOMPARE(w.messages, QStringList{"success!"});
    QCOMPARE(window(), before);
}

void TestPymodbus::realWaits()
{
    // One setting and one read at the real waits, timed; the meter answers well within them.
    PymodbusBench bench({}, 1.0);
    QVERIFY(bench.ready());
    WindowFixture& w = bench.w();
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    QVERIFY(Put(w, IDC_COMBO_DISPLAY_TIME, QStringLiteral("2")));
    QElapsedTimer timer;
    timer.start();
    w.click(IDC_BTN_SET_DISPLAY_TIME);
    const qint64 setMs = timer.restart();
    QVERIFY(Put(w, IDC_COMBO_DISPLAY_TIME, QStringLiteral("4")));
    w.click(IDC_BTN_READ_DISPLAY_TIME);
    const qint64 readMs = timer.restart();
    w.click(IDC_BTN_READ_BAUD);
    const qint64 baudMs = timer.elapsed();
    qInfo("set display time %lld ms (wait 300), read display time %lld ms (wait 800), "
          "read baud %lld ms (wait 200)",
          setMs, readMs, baudMs);
    QCOMPARE(w.messages, QStringList{"success!"});
    QCOMPARE(w.text(IDC_COMBO_DISPLAY_TIME), QStringLiteral("2"));
    QCOMPARE(w.text(IDC_COMBO_BAUD), QStringLiteral("9600"));
    QCOMPARE(bench.state().registers.value(0x19), 2);
    QVERIFY(setMs >= 300);
    QVERIFY(readMs >= 800);
    QVERIFY(baudMs >= 200);
}

QTEST_MAIN(TestPymodbus)
#include "test_pymodbus.moc"
