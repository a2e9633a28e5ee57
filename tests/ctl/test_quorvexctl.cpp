// quorvexctl as a script sees it: the program itself, run as a process against simulated
// meters on pseudo-terminals, judged by its output, its exit status and what the meters hold
// afterwards.

#include "netserver.h"
#include "simulator.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include <pty.h>
#include <unistd.h>

using metersim::MeterKind;
using metersim::MeterSimulator;
using metersim::MeterState;
using metersim::Misbehaviour;

Q_DECLARE_METATYPE(MeterKind)
Q_DECLARE_METATYPE(std::vector<std::uint8_t>)

namespace {

constexpr MeterKind kSingle = MeterKind::SinglePhase;
constexpr MeterKind kThree = MeterKind::ThreePhase;

// What one run of the program left behind; results are its standard output as JSON lines.
struct CtlRun
{
    int exitCode = -1; // -1: crashed or did not end in time
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> results;
    bool parsed = true; // every line of standard output is a JSON object
};

// Runs the program into `var`, which must end with `status` and write JSON lines.
#define RUN_CTL(var, status, ...)                                                                  \
    CtlRun var = run(__VA_ARGS__);                                                                 \
    QVERIFY2(                                                                                      \
        var.exitCode == (status),                                                                  \
        qPrintable(                                                                                \
            QStringLiteral("exit %1, not %2: %3").arg(var.exitCode).arg(status).arg(var.err)));    \
    QVERIFY2(var.parsed, var.out.constData())

std::uint8_t BaudCode(int baud)
{
    return baud == 1200 ? 0x04 : baud == 2400 ? 0x08 : baud == 4800 ? 0x10 : 0x20;
}

qint64 Packed(std::span<const std::uint8_t> bytes)
{
    qint64 value = 0;
    for (const std::uint8_t byte : bytes) {
        value = value << 8 | byte;
    }
    return value;
}

// A property as the meter holds it: the register, the meter's code of a baud rate or parity,
// the packed BCD of serial number and password.
qint64 Held(const MeterState& s, const QString& property)
{
    const QMap<QString, qint64> held{{"address", s.address},
                                     {"sn", Packed(s.serialNumber)},
                                     {"baud", s.baudCode},
                                     {"parity", s.parityCode},
                                     {"screen", s.screenNumber},
                                     {"decimals", s.decimals},
                                     {"display-time", s.displayTime},
                                     {"ct", s.ctRatio},
                                     {"password", Packed(s.password)}};
    return held.value(property, -1);
}

const char* TypeWord(MeterKind kind)
{
    return kind == kThree ? "three" : "single";
}

QString Hex(const std::vector<std::uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()))
        .toHex(' ')
        .toUpper();
}

struct MeterSetup
{
    MeterKind kind = kSingle;
    int baud = 9600;
    bool wireTime = false;
    bool noise = false;
    std::vector<std::uint8_t> addresses{1}; // a meter on the line for each
    std::function<void(MeterState&)> state{};
    Misbehaviour misbehaviour{};
    std::function<void(MeterSimulator&)> beforeStart{};
};

// Meters on a new pseudo-terminal, started. Their energies stand still, so that two runs read
// the same texts. Null when no terminal could be made.
std::unique_ptr<MeterSimulator> StartMeter(const MeterSetup& setup)
{
    auto meter = MeterSimulator::OnPseudoTerminal(setup.kind);
    if (!meter) {
        return meter;
    }
    MeterState state = meter->state();
    state.energyStep = 0;
    state.baudCode = BaudCode(setup.baud);
    state.address = setup.addresses.front();
    if (setup.state) {
        setup.state(state);
    }
    meter->setState(state);
    for (std::size_t i = 1; i < setup.addresses.size(); ++i) {
        state.address = setup.addresses[i];
        meter->addMeter(state);
    }
    meter->setMisbehaviour(setup.misbehaviour);
    meter->setWireTime(setup.wireTime);
    meter->setNoiseAtWrongSpeed(setup.noise);
    if (setup.beforeStart) {
        setup.beforeStart(*meter);
    }
    meter->start();
    return meter;
}

// Each result of a run's JSON lines in a word: "ok", or its error.
QStringList Outcomes(const QByteArray& out)
{
    QStringList outcomes;
    for (const QByteArray& line : out.split('\n')) {
        const QJsonObject result = QJsonDocument::fromJson(line).object();
        if (!result.isEmpty()) {
            outcomes << (result["ok"].toBool() ? "ok" : result["error"].toString());
        }
    }
    return outcomes;
}

QString PathOf(const MeterSimulator& meter)
{
    return QString::fromStdString(meter.devicePath());
}

// A pseudo-terminal with nothing behind it: whatever is sent goes unanswered.
struct DeadLine
{
    int master = -1;
    QString path;

    DeadLine()
    {
        int slave = -1;
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            ::close(slave);
            path = QString::fromLocal8Bit(name);
        }
    }
    ~DeadLine() { ::close(master); }
    DeadLine(const DeadLine&) = delete;
    DeadLine& operator=(const DeadLine&) = delete;
};

const QRegularExpression kIsoTime(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)");
const QStringList kFixedColumns{"time", "port", "command", "ok", "error"};

// The keys of a reading in the order of the record: what scripts rely on.
const QStringList kSingleKeys{
    "address",      "sn",         "active_kwh",   "positive_kwh",   "reverse_kwh",
    "voltage_l1",   "current_l1", "active_power", "reactive_power", "apparent_power",
    "power_factor", "frequency",  "constant",     "tariff_number"};
const QStringList kThreeKeys{
    "address",           "active_kwh",      "positive_kwh",      "reverse_kwh",
    "reactive_kwh",      "voltage_l1",      "voltage_l2",        "voltage_l3",
    "current_l1",        "current_l2",      "current_l3",        "active_power_l1",
    "active_power_l2",   "active_power_l3", "reactive_power_l1", "reactive_power_l2",
    "reactive_power_l3", "power_factor_l1", "power_factor_l2",   "power_factor_l3",
    "active_power",      "reactive_power",  "power_factor",      "frequency"};

struct PropertyCase
{
    const char* property;
    const char* value;
    qint64 held;
    const char* readBack;
    bool threePhaseOnly;
};
const PropertyCase kPropertyCases[]{
    {"address", "23", 23, "23", false},
    {"sn", "20261207", 0x20261207, "20261207", false},
    {"sn", "7", 0x00000007, "00000007", false}, // a short number means its leading zeros
    {"baud", "4800", 0x10, "4800", false},
    {"parity", "odd", 1, "Odd check", false},
    {"parity", "even", 0, "Even check", false},
    {"screen", "11", 11, "11", false},
    {"decimals", "1", 1, "1", false},
    {"display-time", "3", 3, "3", false},
    {"ct", "40", 40, "40", true},
    {"password", "4321", 0x4321, "4321", true},
};

struct UsageCase
{
    const char* name;
    QStringList args;
    const char* message;
};
// clang-format off
const UsageCase kUsageCases[]{
    {"address 12abc", {"--address", "12abc", "read", "sn"}, "--address: '12abc'"},
    {"address 255", {"--address", "255", "read", "sn"}, "--address: '255'"},
    {"baud 1234", {"--baud", "1234", "read", "sn"}, "--baud: '1234'"},
    {"parity mark", {"--parity", "mark", "read", "sn"}, "--parity: 'mark'"},
    {"format", {"--format", "xml", "read", "sn"}, "--format: 'xml'"},
    {"decimals 3", {"read-meter", "--decimals", "3"}, "--decimals: '3'"},
    {"interval nan", {"watch", "--interval", "nan"}, "--interval: 'nan'"},
    {"from above to", {"scan", "--sweep", "--from", "10", "--to", "5"}, "--from 10 is above --to 5"},
    {"value missing", {"read", "sn", "--timeout"}, "--timeout needs a value"},
    {"flag with a value", {"--yes=no", "clear-zero"}, "--yes takes no value"},
    {"unknown option", {"--speed", "9600", "read", "sn"}, "unknown option --speed"},
    {"unknown command", {"reset"}, "unknown command 'reset'"},
    {"no command", {}, "no command given"},
    {"unknown property", {"read", "colour"}, "unknown property 'colour'"},
    {"sn of 9 digits", {"set", "sn", "123456789"}, "sn: '123456789'"},
    {"password of 3", {"--type", "three", "set", "password", "123"}, "password: '123'"},
    {"ct on single phase", {"set", "ct", "5"}, "ct: three-phase meters only"},
    {"set address 0", {"set", "address", "0"}, "address: '0'"},
    {"clear-zero without --yes", {"clear-zero"}, "add --yes"},
    {"commission unknown key", {"commission", "colour=red"}, "'colour=red'"},
    {"commission twice", {"commission", "screen=3", "screen=6"}, "screen is given twice"},
    {"commission bad value last", {"commission", "screen=3", "baud=19200"}, "baud: '19200'"},
    {"job with --port", {"--port", "COM1", "job", "meters.csv"}, "job takes its ports from the file"},
    {"job without a file", {"job"}, "job takes 1 argument, not 0"},
    {"resume with a value", {"job", "--resume=yes", "meters.csv"}, "--resume takes no value"},
    {"log in a missing folder", {"--log", "/nonexistent/ctl.log", "read", "sn"}, "--log /nonexistent/ctl.log"},
    {"unknown scheme", {"--port", "udp://gw:502", "read", "sn"}, "unknown scheme 'udp://'"},
    {"rtu+tcp without port", {"--port", "rtu+tcp://gw", "read", "sn"}, "no port given"},
    {"clear-zero over tcp", {"--port", "tcp://127.0.0.1", "clear-zero", "--yes"}, "cannot carry"},
    {"scan over rtu+tcp", {"--port", "rtu+tcp://127.0.0.1:1", "scan"}, "belong to the gateway"},
    {"address range backwards", {"--address", "9-5", "read", "sn"}, "runs backwards"},
    {"address twice", {"--address", "1,2,1-3", "read", "sn"}, "1 is named twice"},
    {"connect-timeout 0", {"--connect-timeout", "0", "read", "sn"}, "--connect-timeout: '0'"},
};
// clang-format on

struct FailureCase
{
    const char* name;
    MeterKind kind;
    QStringList args;
    Misbehaviour misbehaviour;
    const char* error;
};
const std::vector<FailureCase>& FailureCases()
{
    const auto how = [](const std::function<void(Misbehaviour&)>& change) {
        Misbehaviour misbehaviour;
        change(misbehaviour);
        return misbehaviour;
    };
    // clang-format off
    static const std::vector<FailureCase> cases{
        {"silent, read", kSingle, {"--timeout", "100", "read", "address"},
         how([](Misbehaviour& m) { m.silent = true; }), "no reply"},
        {"silent, clear-zero", kSingle, {"--timeout", "100", "clear-zero", "--yes"},
         how([](Misbehaviour& m) { m.silent = true; }), "no reply"},
        {"exception, set", kThree, {"--type", "three", "set", "screen", "9"},
         how([](Misbehaviour& m) { m.exceptionCode = 2; }), "Modbus exception 0x02"},
        {"bad CRC, read-meter", kSingle, {"--decimals", "2", "read-meter"},
         how([](Misbehaviour& m) { m.corruptCrc = true; }), "bad CRC"},
        {"another address, read", kThree, {"--type", "three", "--address", "1", "read", "ct"},
         how([](Misbehaviour& m) { m.replyAddress = 9; }), "another address"},
        {"garbage first, watch", kSingle, {"--decimals", "2", "watch", "--count", "1"},
         how([](Misbehaviour& m) { m.garbagePrefix = {0x55, 0xAA}; }), "wrong length"},
        // The time runs out in the pause between the two halves of the reading.
        {"cut reply, read-meter", kThree, {"--type", "three", "--decimals", "2", "--timeout", "200", "read-meter"},
         how([](Misbehaviour& m) { m.splitPieces = 2; m.splitGapMs = 450; }), "incomplete reply (49 of 97 bytes)"},
    };
    // clang-format on
    return cases;
}

void AddIndexRows(const QList<QByteArray>& names)
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < names.size(); ++i) {
        QTest::newRow(names[i].constData()) << i;
    }
}

} // namespace

class TestQuorvexCtl : public QObject
{
    Q_OBJECT

private:
    CtlRun run(const QStringList& args,
               const QList<std::pair<QString, QString>>& environment = {}) const
    {
        QProcessEnvironment env = m_environment;
        for (const auto& [name, value] : environment) {
            env.insert(name, value);
        }
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUORVEXCTL), args);
        CtlRun result;
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
        } else if (process.exitStatus() == QProcess::NormalExit) {
            result.exitCode = process.exitCode();
        }
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        for (const QByteArray& line : result.out.split('\n')) {
            const QJsonDocument document = QJsonDocument::fromJson(line);
            result.parsed = result.parsed && (line.isEmpty() || document.isObject());
            if (document.isObject()) {
                result.results << document.object();
            }
        }
        return result;
    }

    QTemporaryDir m_lockDir;
    QProcessEnvironment m_environment;

private slots:
    void initTestCase()
    {
        QVERIFY(m_lockDir.isValid());
        // Nothing of the machine's own COM settings may lead a test's port elsewhere.
        m_environment = QProcessEnvironment::systemEnvironment();
        for (const QString& name : m_environment.keys()) {
            if (name.startsWith("QUORVEX_COM")) {
                m_environment.remove(name);
            }
        }
        m_environment.insert("QUORVEX_LOCK_DIR", m_lockDir.path());
    }

    // Every property written and read back on both meter types; the meter judges the write.
    void properties_data()
    {
        QTest::addColumn<MeterKind>("kind");
        QTest::addColumn<int>("index");
        for (const MeterKind kind : {kSingle, kThree}) {
            for (int i = 0; i < int(std::size(kPropertyCases)); ++i) {
                const PropertyCase& c = kPropertyCases[i];
                if (kind == kThree || !c.threePhaseOnly) {
                    QTest::addRow("%s, %s %s", TypeWord(kind), c.property, c.value) << kind << i;
                }
            }
        }
    }
    void properties()
    {
        QFETCH(MeterKind, kind);
        QFETCH(int, index);
        const PropertyCase& c = kPropertyCases[index];
        const auto meter = StartMeter({.kind = kind});
        QVERIFY(meter);
        const QStringList line{"--port", PathOf(*meter), "--type", TypeWord(kind)};

        RUN_CTL(set, 0, line + QStringList{"set", c.property, c.value});
        QCOMPARE(set.results.size(), 1);
        QCOMPARE(set.results[0].value("ok"), QJsonValue(true));
        QCOMPARE(set.results[0]["property"].toString(), c.property);
        QCOMPARE(Held(meter->state(), c.property), c.held);

        RUN_CTL(read, 0, line + QStringList{"read", c.property});
        QCOMPARE(read.results.size(), 1);
        QCOMPARE(read.results[0]["command"].toString(), "read");
        QCOMPARE(read.results[0]["value"].toString(), c.readBack);
    }

    // --store keeps what every port printed, and history gives it back in the same words; a
    // store that cannot be used stops the command before anything is sent.
    void store_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("store"); // FILE: a new file in the test's folder
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("query"); // history's, after the command
        QTest::newRow("read-meter, two ports") << QStringList{"read-meter"} << "FILE" << 0 << "--command=read-meter";
        QTest::newRow("commission") << QStringList{"commission", "sn=4711", "screen=9"} << "FILE" << 0
                                    << "--command=commission";
        QTest::newRow("silent meter") << QStringList{"--timeout", "100", "--address", "9", "read", "baud"} << "FILE"
                                      << 1 << "--failed";
        QTest::newRow("not a store") << QStringList{"set", "screen", "9"} << "mysql://x/y" << 2 << "";
    }
    void store()
    {
        QFETCH(QStringList, command);
        QFETCH(QString, store);
        QFETCH(int, status);
        QFETCH(QString, query);
        QTemporaryDir data;
        const QString url = store == "FILE" ? data.path() + "/bench.sqlite" : store;
        const QList<std::pair<QString, QString>> env{{"XDG_DATA_HOME", data.path()}};
        const auto first = StartMeter({});
        const auto second = StartMeter({});
        QVERIFY(first && second);
        const int screen = first->state().screenNumber;
        RUN_CTL(done, status,
                QStringList{"--port", PathOf(*first), "--port", PathOf(*second), "--store", url} + command, env);
        if (status == 2) {
            QVERIFY(done.results.isEmpty());
            QCOMPARE(first->state().screenNumber, screen);
            return;
        }
        RUN_CTL(kept, 0, QStringList{"--store", url, "history", query}, env);
        QCOMPARE(kept.results.size(), done.results.size());
        QVERIFY(!kept.results.isEmpty());
        // Both ports' results, each as printed: time, port, command, ok and every field.
        for (const QJsonObject& printed : done.results) {
            const auto same = std::find_if(kept.results.begin(), kept.results.end(), [&](const QJsonObject& k) {
                for (auto it = printed.begin(); it != printed.end(); ++it) {
                    if (it.key() != "read" && k.value(it.key()) != it.value()) {
                        return false;
                    }
                }
                return true;
            });
            QVERIFY2(same != kept.results.end(), QJsonDocument(printed).toJson().constData());
        }
        QVERIFY(!QDir(data.path() + "/quorvex").exists() || QDir(data.path() + "/quorvex").isEmpty());
    }

    // The decimals of the energies: given, or read from the meter with its address first.
    void readMeter_data()
    {
        QTest::addColumn<MeterKind>("kind");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("meterDecimals");
        QTest::addColumn<QString>("address"); // empty: not in the result
        QTest::addColumn<QString>("activeKwh");

        const QStringList none;
        // clang-format off
        QTest::newRow("single") << kSingle << none << 2 << "9" << "1234.56";
        QTest::newRow("three, --decimals 2") << kThree << QStringList{"--decimals", "2"} << 1 << "" << "1234.56";
        QTest::newRow("three, --decimals 1") << kThree << QStringList{"--decimals", "1"} << 2 << "" << "1234.5";
        QTest::newRow("three, meter's decimals 1") << kThree << none << 1 << "9" << "1234.5";
        // clang-format on
    }
    void readMeter()
    {
        QFETCH(MeterKind, kind);
        QFETCH(QStringList, args);
        QFETCH(int, meterDecimals);
        QFETCH(QString, address);
        QFETCH(QString, activeKwh);

        const auto meter = StartMeter({.kind = kind, .addresses = {9}, .state = [&](MeterState& s) {
                                           s.decimals = static_cast<std::uint16_t>(meterDecimals);
                                           s.voltage = {2301, 2302, 2303};
                                           s.frequency = 4998;
                                       }});
        QVERIFY(meter);
        RUN_CTL(reading, 0,
                QStringList{"--port", PathOf(*meter), "--type", TypeWord(kind), "read-meter"} +
                    args);
        QCOMPARE(reading.results.size(), 1);
        const QJsonObject result = reading.results[0];
        QCOMPARE(result["command"].toString(), "read-meter");
        QCOMPARE(result.contains("address"), !address.isEmpty());
        QCOMPARE(result["address"].toString(), address);
        QCOMPARE(result["active_kwh"].toString(), activeKwh);
        QCOMPARE(result["voltage_l1"].toString(), "230.1");
        QCOMPARE(result["voltage_l3"].toString(), kind == kThree ? "230.3" : "");
        QCOMPARE(result["frequency"].toString(), "49.98");
    }

    // One result in the three formats: a JSON line, CSV under its header, the text block.
    void formats_data()
    {
        QTest::addColumn<MeterKind>("kind");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QStringList>("keys");

        QTest::newRow("single") << kSingle << false << kSingleKeys;
        QTest::newRow("three") << kThree << false << kThreeKeys;
        QTest::newRow("three, refused") << kThree << true << kThreeKeys;
    }
    void formats()
    {
        QFETCH(MeterKind, kind);
        QFETCH(bool, refused);
        QFETCH(QStringList, keys);

        Misbehaviour refusal;
        if (refused) {
            refusal.exceptionCode = 4;
        }
        const auto meter = StartMeter({.kind = kind, .misbehaviour = refusal});
        QVERIFY(meter);
        const QStringList args{"--port",       PathOf(*meter), "--type",
                               TypeWord(kind), "read-meter",   "--format"};

        RUN_CTL(json, refused ? 1 : 0, args + QStringList{"json"});
        QCOMPARE(json.results.size(), 1);
        const QJsonObject result = json.results[0];
        QVERIFY2(kIsoTime.match(result["time"].toString()).hasMatch(),
                 qPrintable(result["time"].toString()));
        QCOMPARE(result["port"].toString(), PathOf(*meter));
        QCOMPARE(result["command"].toString(), "read-meter");
        QCOMPARE(result.value("ok"), QJsonValue(!refused));
        QCOMPARE(result.contains("error"), refused);
        QCOMPARE(result["error"].toString().contains("exception 0x04"), refused);
        QStringList fields = result.keys();
        fields.removeIf([&](const QString& key) { return kFixedColumns.contains(key); });
        QCOMPARE(fields.isEmpty(), refused);
        for (const QString& key : fields) {
            QVERIFY2(keys.contains(key), qPrintable(key));
        }

        const CtlRun csv = run(args + QStringList{"csv"});
        const QList<QByteArray> rows = csv.out.trimmed().split('\n');
        QCOMPARE(rows.size(), 2);
        const QStringList header = QString::fromUtf8(rows[0]).split(',');
        const QStringList row = QString::fromUtf8(rows[1]).split(',');
        QCOMPARE(header, kFixedColumns + keys);
        QCOMPARE(row.size(), header.size());
        QVERIFY(kIsoTime.match(row[0]).hasMatch());
        QCOMPARE(row.mid(1, 4),
                 QStringList({PathOf(*meter), "read-meter", refused ? "false" : "true",
                              result["error"].toString()}));
        for (int column = 5; column < header.size(); ++column) {
            QCOMPARE(row[column], result[header[column]].toString());
        }

        const CtlRun text = run(args + QStringList{"text"});
        QStringList lines = QString::fromUtf8(text.out).split('\n', Qt::SkipEmptyParts);
        QVERIFY(!lines.isEmpty());
        const QStringList title = lines.takeFirst().split("  ");
        QCOMPARE(title.size(), 4);
        QVERIFY(kIsoTime.match(title[0]).hasMatch());
        QCOMPARE(title.mid(1),
                 QStringList({PathOf(*meter), "read-meter",
                              refused ? "FAILED: " + result["error"].toString() : "ok"}));
        // Then a "  key  value" line per field, in the order of the columns.
        QStringList textKeys;
        for (const QString& line : lines) {
            QVERIFY2(line.startsWith("  "), qPrintable(line));
            textKeys << line.section(' ', 2, 2);
            QCOMPARE(line.mid(2 + textKeys.last().size()).trimmed(),
                     result[textKeys.last()].toString());
        }
        keys.removeIf([&](const QString& key) { return !result.contains(key); });
        QCOMPARE(textKeys, keys);
    }

    void clearZero_data()
    {
        QTest::addColumn<MeterKind>("kind");
        QTest::newRow("single") << kSingle;
        QTest::newRow("three") << kThree;
    }
    void clearZero()
    {
        QFETCH(MeterKind, kind);
        const auto meter = StartMeter({.kind = kind});
        QVERIFY(meter);
        QVERIFY(meter->state().activeEnergy != 0);
        RUN_CTL(cleared, 0,
                {"--port", PathOf(*meter), "--type", TypeWord(kind), "clear-zero", "--yes"});
        QCOMPARE(cleared.results.size(), 1);
        QCOMPARE(cleared.results[0]["command"].toString(), "clear-zero");
        QCOMPARE(cleared.results[0].value("ok"), QJsonValue(true));
        QCOMPARE(meter->state().activeEnergy, 0);
        QCOMPARE(meter->state().positiveEnergy, 0);
    }

    // Exit status 1: a meter is there but does not do what was asked.
    void meterFailures_data()
    {
        QList<QByteArray> names;
        for (const FailureCase& c : FailureCases()) {
            names << c.name;
        }
        AddIndexRows(names);
    }
    void meterFailures()
    {
        QFETCH(int, index);
        const FailureCase& c = FailureCases()[static_cast<std::size_t>(index)];
        const auto meter = StartMeter({.kind = c.kind, .misbehaviour = c.misbehaviour});
        QVERIFY(meter);
        RUN_CTL(failed, 1, QStringList{"--port", PathOf(*meter)} + c.args);
        QCOMPARE(failed.results.size(), 1);
        QCOMPARE(failed.results[0].value("ok"), QJsonValue(false));
        QVERIFY2(failed.results[0]["error"].toString().contains(c.error),
                 qPrintable(failed.results[0]["error"].toString()));
    }

    // Exit status 2: refused before anything reaches the line, the message naming the fault.
    void badUsage_data()
    {
        QList<QByteArray> names;
        for (const UsageCase& c : kUsageCases) {
            names << c.name;
        }
        AddIndexRows(names);
    }
    void badUsage()
    {
        QFETCH(int, index);
        const UsageCase& c = kUsageCases[index];
        const auto meter = StartMeter({});
        QVERIFY(meter);
        RUN_CTL(refused, 2, QStringList{"--port", PathOf(*meter)} + c.args);
        QVERIFY2(refused.err.startsWith("quorvexctl: ") && refused.err.contains(c.message),
                 refused.err.constData());
        QVERIFY(refused.out.isEmpty());
        QCOMPARE(meter->requestsSeen(), 0u);
    }

    // PORT as a device path or a COM name; exit status 3 where it leads nowhere. %1 stands for
    // the meter's device.
    void ports_data()
    {
        QTest::addColumn<QStringList>("portArgs");
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("port"); // of the result
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");

        const QString none = "/dev/ttyQVXnone";
        // clang-format off
        QTest::newRow("device path") << QStringList{"--port", "%1"} << "" << "" << "%1" << 0 << "";
        QTest::newRow("COM3 set") << QStringList{"--port", "COM3"} << "QUORVEX_COM3" << "%1" << "%1" << 0 << "";
        QTest::newRow("com3 set") << QStringList{"--port=com3"} << "QUORVEX_COM3" << "%1" << "%1" << 0 << "";
        QTest::newRow("COM1 by default") << QStringList{} << "QUORVEX_COM1" << "%1" << "%1" << 0 << "";
        QTest::newRow("COM3 to a missing device")
            << QStringList{"--port", "COM3"} << "QUORVEX_COM3" << none << none << 3 << "No such file";
        QTest::newRow("COM200 nowhere")
            << QStringList{"--port", "COM200"} << "" << "" << "COM200" << 3 << "QUORVEX_COM200";
        QTest::newRow("missing device") << QStringList{"--port", none} << "" << "" << none << 3 << "No such file";
        QTest::newRow("not a terminal")
            << QStringList{"--port", "/dev/null"} << "" << "" << "/dev/null" << 3 << "/dev/null";
        // clang-format on
    }
    void ports()
    {
        QFETCH(QStringList, portArgs);
        QFETCH(QString, variable);
        QFETCH(QString, value);
        QFETCH(QString, port);
        QFETCH(int, status);
        QFETCH(QString, error);

        const auto meter = StartMeter({});
        QVERIFY(meter);
        portArgs.replaceInStrings("%1", PathOf(*meter));
        value.replace("%1", PathOf(*meter));
        port.replace("%1", PathOf(*meter));
        QList<std::pair<QString, QString>> environment;
        if (!variable.isEmpty()) {
            environment.append({variable, value});
        }
        RUN_CTL(result, status, portArgs + QStringList{"read", "address"}, environment);
        QCOMPARE(result.results.size(), 1);
        QCOMPARE(result.results[0]["port"].toString(), port);
        QCOMPARE(result.results[0].value("ok"), QJsonValue(status == 0));
        QVERIFY(result.results[0]["error"].toString().contains(error));
        QVERIFY2(result.err.contains(error.toUtf8()), result.err.constData());
        QCOMPARE(meter->requestsSeen() > 0, status == 0);
    }

    // Three meters read at once, one result each, each its own meter's; the worst outcome sets
    // the exit status.
    void severalPorts_data()
    {
        QTest::addColumn<int>("silentMeter"); // -1: none
        QTest::addColumn<bool>("missingPort");
        QTest::addColumn<int>("status");

        QTest::newRow("all answer") << -1 << false << 0;
        QTest::newRow("one silent") << 1 << false << 1;
        QTest::newRow("one port missing") << -1 << true << 3;
        QTest::newRow("one silent, one missing") << 2 << true << 3;
    }
    void severalPorts()
    {
        QFETCH(int, silentMeter);
        QFETCH(bool, missingPort);
        QFETCH(int, status);

        // Each meter answers after a while, and notes when its request came and its reply went:
        // ports served at once are all asked before any answers.
        std::array<std::atomic<qint64>, 3> askedAt{}, answeredAt{};
        std::vector<std::unique_ptr<MeterSimulator>> meters;
        QStringList args;
        QMap<QString, QString> expected; // port -> display time; empty: fails
        for (int i = 0; i < 3; ++i) {
            Misbehaviour slow;
            slow.delayMs = 150;
            slow.silent = i == silentMeter;
            const auto note = [&, i](MeterSimulator::Direction direction,
                                     std::span<const std::uint8_t>) {
                const bool asked = direction == MeterSimulator::Direction::Request;
                (asked ? askedAt : answeredAt)[i] = QDateTime::currentMSecsSinceEpoch();
            };
            meters.push_back(
                StartMeter({.state = [i](MeterState& s) { s.displayTime = i + 1; },
                            .misbehaviour = slow,
                            .beforeStart = [&](MeterSimulator& m) { m.setTrafficLog(note); }}));
            QVERIFY(meters.back());
            args << "--port" << PathOf(*meters.back());
            expected[PathOf(*meters.back())] =
                i == silentMeter ? QString() : QString::number(i + 1);
        }
        if (missingPort) {
            args << "--port"
                 << "/dev/ttyQVXnone";
            expected["/dev/ttyQVXnone"] = QString();
        }
        RUN_CTL(result, status, args + QStringList{"--timeout", "200", "read", "display-time"});
        QCOMPARE(result.results.size(), expected.size());
        QSet<QString> seen;
        for (const QJsonObject& outcome : result.results) {
            const QString port = outcome["port"].toString();
            QVERIFY2(expected.contains(port) && !seen.contains(port), qPrintable(port));
            seen << port;
            QCOMPARE(outcome.value("ok"), QJsonValue(!expected[port].isEmpty()));
            QCOMPARE(outcome["value"].toString(), expected[port]);
        }
        const qint64 lastAsked =
            std::max({askedAt[0].load(), askedAt[1].load(), askedAt[2].load()});
        for (int i = 0; i < 3; ++i) {
            QVERIFY(askedAt[i] > 0);
            QVERIFY(i == silentMeter || answeredAt[i] > lastAsked);
        }
    }

    // --log: a line per frame, the request then its reply, tab-separated, saying what each means.
    void log_data()
    {
        QTest::addColumn<int>("exceptionCode"); // 0: none
        QTest::addColumn<bool>("corruptCrc");
        QTest::addColumn<bool>("toStandardError");
        QTest::addColumn<QString>("replyMeaning");

        QTest::newRow("good reply") << 0 << false << false << "0x0019 ×1: 0x0005, CRC good";
        QTest::newRow("bad CRC") << 0 << true << false << "CRC bad";
        QTest::newRow("exception") << 3 << false << false << "exception 0x03";
        QTest::newRow("standard error") << 0 << false << true << "CRC good";
    }
    void log()
    {
        QFETCH(int, exceptionCode);
        QFETCH(bool, corruptCrc);
        QFETCH(bool, toStandardError);
        QFETCH(QString, replyMeaning);

        Misbehaviour misbehaviour;
        misbehaviour.corruptCrc = corruptCrc;
        if (exceptionCode != 0) {
            misbehaviour.exceptionCode = static_cast<std::uint8_t>(exceptionCode);
        }
        const auto meter = StartMeter({.misbehaviour = misbehaviour});
        QVERIFY(meter);
        QTemporaryDir dir;
        QFile file(dir.filePath("traffic.log"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("an earlier run\n");
        file.close();

        // An offset of its own shows that times are local, with their offset.
        const QString target = toStandardError ? "-" : file.fileName();
        RUN_CTL(
            result, corruptCrc || exceptionCode ? 1 : 0,
            {"--port", PathOf(*meter), "--address", "1", "--log", target, "read", "display-time"},
            {{"TZ", "QVX-05:30"}});
        QCOMPARE(result.results.size(), 1);
        QVERIFY(result.results[0]["time"].toString().endsWith("+05:30"));

        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.takeFirst(), "an earlier run");
        if (toStandardError) {
            QVERIFY(lines.isEmpty());
            lines = QString::fromUtf8(result.err).split('\n', Qt::SkipEmptyParts);
        }
        QCOMPARE(lines.size(), 2);
        const QStringList request = lines[0].split('\t');
        const QStringList reply = lines[1].split('\t');
        QCOMPARE(request.size(), 5);
        QCOMPARE(reply.size(), 5);
        for (const QStringList& frame : {request, reply}) {
            QVERIFY2(kIsoTime.match(frame[0]).hasMatch() && frame[0].endsWith("+05:30"),
                     qPrintable(frame[0]));
            QCOMPARE(frame[1], PathOf(*meter));
            QVERIFY2(QRegularExpression("^[0-9A-F]{2}( [0-9A-F]{2})+$").match(frame[3]).hasMatch(),
                     qPrintable(frame[3]));
        }
        QCOMPARE(request[2], "TX");
        QCOMPARE(reply[2], "RX");
        QCOMPARE(request[3], Hex(meter->lastRequest()));
        QVERIFY2(request[4].contains("read input registers 0x0019 ×1 → address 1, CRC good"),
                 qPrintable(request[4]));
        QVERIFY2(reply[4].contains(replyMeaning), qPrintable(reply[4]));
    }

    // The meter's own properties first, the line settings last, following the meter to its new
    // address and speed to read each setting back. At wire time the meter answers at its own
    // speed only: a read that did not follow it would go unanswered.
    void commission_data()
    {
        QTest::addColumn<MeterKind>("kind");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QVariantMap>("held");

        // clang-format off
        QTest::newRow("three, new address and speed")
            << kThree << QStringList{"--address", "1", "commission", "baud=2400", "address=7", "display-time=3", "ct=40"}
            << QStringList{"display-time", "ct", "address", "baud"}
            << QVariantMap{{"baud", 0x08}, {"address", 7}, {"display-time", 3}, {"ct", 40}};
        QTest::newRow("single, at address 0")
            << kSingle << QStringList{"commission", "parity=even", "baud=4800", "sn=12345", "address=5", "screen=9"}
            << QStringList{"sn", "screen", "address", "parity", "baud"}
            << QVariantMap{{"parity", 0}, {"baud", 0x10}, {"sn", 0x00012345}, {"address", 5}, {"screen", 9}};
        // clang-format on
    }
    void commission()
    {
        QFETCH(MeterKind, kind);
        QFETCH(QStringList, args);
        QFETCH(QStringList, order);
        QFETCH(QVariantMap, held);

        const auto meter = StartMeter({.kind = kind, .wireTime = true});
        QVERIFY(meter);
        RUN_CTL(commissioned, 0,
                QStringList{"--port", PathOf(*meter), "--type", TypeWord(kind)} + args);
        QStringList properties;
        for (const QJsonObject& result : commissioned.results) {
            QCOMPARE(result["command"].toString(), "commission");
            QCOMPARE(result.value("ok"), QJsonValue(true));
            QCOMPARE(result["verified"].toString(), "true");
            QCOMPARE(result["read"].toString(),
                     result["property"] == "parity" ? "Even check" : result["value"].toString());
            properties << result["property"].toString();
        }
        QCOMPARE(properties, order);
        for (auto it = held.cbegin(); it != held.cend(); ++it) {
            QCOMPARE(Held(meter->state(), it.key()), it.value().toLongLong());
        }
    }

    // A meter that acknowledges every write and keeps its old values.
    void commissionNotVerified()
    {
        const auto meter = StartMeter({.beforeStart = [](MeterSimulator& m) {
            m.setTrafficLog([&m, before = m.state()](MeterSimulator::Direction direction,
                                                     std::span<const std::uint8_t> bytes) {
                if (direction == MeterSimulator::Direction::Reply && bytes.size() > 1 &&
                    bytes[1] == 0x10) {
                    m.setState(before);
                }
            });
        }});
        QVERIFY(meter);
        RUN_CTL(commissioned, 1,
                {"--port", PathOf(*meter), "commission", "display-time=3", "screen=9"});
        QCOMPARE(commissioned.results.size(), 2);
        for (const QJsonObject& result : commissioned.results) {
            QCOMPARE(result.value("ok"), QJsonValue(false));
            QCOMPARE(result["verified"].toString(), "false");
        }
        QCOMPARE(commissioned.results[0]["error"].toString(), "read back 5, not 3");
        QCOMPARE(commissioned.results[1]["error"].toString(), "read back 6, not 9");
    }

    void scanFinds_data()
    {
        QTest::addColumn<MeterKind>("kind");
        QTest::addColumn<int>("baud");
        QTest::addColumn<QString>("askedFirst");

        QTest::newRow("single at 9600") << kSingle << 9600 << "single";
        QTest::newRow("single at 9600, three asked first") << kSingle << 9600 << "three";
        QTest::newRow("three at 9600") << kThree << 9600 << "three";
        QTest::newRow("three at 9600, single asked first") << kThree << 9600 << "single";
        // Behind nine silent settings: about a second and a half.
        QTest::newRow("single at 1200") << kSingle << 1200 << "single";
    }
    void scanFinds()
    {
        QFETCH(MeterKind, kind);
        QFETCH(int, baud);
        QFETCH(QString, askedFirst);

        const auto meter =
            StartMeter({.kind = kind, .baud = baud, .wireTime = true, .addresses = {42}});
        QVERIFY(meter);
        // A meter with no delay of its own needs little turnaround; the silent settings before
        // 1200 then cost less of the suite's time.
        RUN_CTL(scan, 0, {"--port", PathOf(*meter), "--type", askedFirst, "scan", "--turnaround", "50"});
        QCOMPARE(scan.results.size(), 1);
        const QJsonObject found = scan.results[0];
        QCOMPARE(found["command"].toString(), "scan");
        QCOMPARE(found.value("ok"), QJsonValue(true));
        QCOMPARE(found["baud"].toString(), QString::number(baud));
        QCOMPARE(found["parity"].toString(), "none"); // a pseudo-terminal carries no parity
        // A three-phase meter answers the single-phase read of the address with one of its
        // measured values: the scan must not take that for a single-phase meter's address.
        QCOMPARE(found["address"].toString(), "42");
        QCOMPARE(found["type"].toString(), TypeWord(kind));
    }

    // Nothing behind the line: every setting tried, or every address asked, then exit 1.
    void scanNotFound_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("progress"); // the first two lines and the last

        // clang-format off
        QTest::newRow("scan") << QStringList{"scan", "--turnaround", "0"}
                              << QStringList{"trying 9600 none", "trying 9600 even", "trying 1200 even"};
        QTest::newRow("sweep") << QStringList{"scan", "--sweep", "--from", "1", "--to", "5"}
                               << QStringList{"address 1 of 1-5", "address 2 of 1-5", "address 5 of 1-5"};
        // clang-format on
    }
    void scanNotFound()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, progress);

        DeadLine line;
        QVERIFY(!line.path.isEmpty());
        RUN_CTL(scan, 1, QStringList{"--port", line.path} + args);
        QCOMPARE(scan.results.size(), 1);
        QCOMPARE(scan.results[0].value("ok"), QJsonValue(false));
        QVERIFY(scan.results[0]["error"].toString().startsWith("no meter answered"));
        // Standard error is no terminal here: a plain line per try.
        const QStringList lines = QString::fromUtf8(scan.err).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), args.contains("--sweep") ? 5 : 12);
        QVERIFY2(lines[0].endsWith(progress[0]) && lines[1].endsWith(progress[1]) &&
                     lines.last().endsWith(progress[2]),
                 scan.err.constData());
    }

    // A meter at 4800: the settings at 9600 bring noise, shown as such, and the search goes on.
    void scanThroughNoise()
    {
        const auto meter = StartMeter({.baud = 4800, .wireTime = true, .noise = true});
        QVERIFY(meter);
        RUN_CTL(scan, 0, {"--port", PathOf(*meter), "scan", "--turnaround", "30"});
        QStringList seen;
        for (const QJsonObject& result : scan.results) {
            seen << result["baud"].toString() + " " + result["parity"].toString() + " " +
                        (result["ok"].toBool() ? "found at " + result["address"].toString()
                                               : result["error"].toString());
        }
        QCOMPARE(seen, QStringList({"9600 none noise", "9600 even noise", "9600 odd noise",
                                    "4800 none found at 1"}));
    }

    // A meter slower than the sweep's wait answers while the next address is asked: it is
    // listed under its own address, and nothing as noise.
    void sweep_data()
    {
        QTest::addColumn<std::vector<std::uint8_t>>("addresses");
        QTest::addColumn<int>("turnaroundMs");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("prompt meters") << std::vector<std::uint8_t>{12, 3, 7} << 0 << QStringList{"3", "7", "12"};
        QTest::newRow("meters 30 ms late") << std::vector<std::uint8_t>{9, 3} << 30 << QStringList{"3", "9"};
    }
    void sweep()
    {
        QFETCH(std::vector<std::uint8_t>, addresses);
        QFETCH(int, turnaroundMs);
        QFETCH(QStringList, found);
        Misbehaviour late;
        late.delayMs = turnaroundMs;
        const auto meter =
            StartMeter({.kind = kThree, .wireTime = true, .addresses = addresses, .misbehaviour = late});
        QVERIFY(meter);
        RUN_CTL(sweep, 0,
                {"--port", PathOf(*meter), "--type", "three", "scan", "--sweep", "--from", "1",
                 "--to", "15"});
        QStringList listed;
        for (const QJsonObject& result : sweep.results) {
            QCOMPARE(result.value("ok"), QJsonValue(true));
            QCOMPARE(result["baud"].toString(), "9600");
            QCOMPARE(result["type"].toString(), "three");
            listed << result["address"].toString();
        }
        QCOMPARE(listed, found);
    }

    // At 1200 baud a three-phase reading is 875 ms on the wire: the default budget grows with
    // the line, so that a meter turning round in 200 ms is read.
    void readMeterOnASlowLine()
    {
        Misbehaviour slow;
        slow.delayMs = 200;
        const auto meter = StartMeter({.kind = kThree, .baud = 1200, .wireTime = true, .misbehaviour = slow});
        QVERIFY(meter);
        RUN_CTL(reading, 0,
                {"--port", PathOf(*meter), "--baud", "1200", "--type", "three", "--decimals", "2", "read-meter"});
        QCOMPARE(reading.results.size(), 1);
        QCOMPARE(reading.results[0]["active_kwh"].toString(), "1234.56");
    }

    // A new address goes to the meter named, not to every meter on the bus.
    void newAddressOnASharedBus()
    {
        // The meter named is not the one that answers address 0.
        const auto meter = StartMeter({.addresses = {9, 5}});
        QVERIFY(meter);
        RUN_CTL(set, 0, {"--port", PathOf(*meter), "--address", "5", "set", "address", "7"});
        QCOMPARE(meter->state(0).address, std::uint8_t{9});
        QCOMPARE(meter->state(1).address, std::uint8_t{7});
    }

    // One result per reading, none lost or doubled, each a new reading.
    void watch_data()
    {
        QTest::addColumn<MeterKind>("kind");
        QTest::addColumn<int>("spoilEvery");
        QTest::addColumn<QList<bool>>("ok");

        // clang-format off
        QTest::newRow("single") << kSingle << 0 << QList<bool>(5, true);
        QTest::newRow("three") << kThree << 0 << QList<bool>(5, true);
        QTest::newRow("three, every third spoiled") << kThree << 3 << QList<bool>{true, true, false, true, true, false, true};
        // clang-format on
    }
    void watch()
    {
        QFETCH(MeterKind, kind);
        QFETCH(int, spoilEvery);
        QFETCH(QList<bool>, ok);

        Misbehaviour spoiling;
        spoiling.spoilEvery = spoilEvery;
        const auto meter = StartMeter({.kind = kind,
                                       .state = [](MeterState& s) { s.energyStep = 1; },
                                       .misbehaviour = spoiling});
        QVERIFY(meter);
        RUN_CTL(watch, ok.contains(false) ? 1 : 0,
                {"--port", PathOf(*meter), "--type", TypeWord(kind), "--decimals", "2", "watch",
                 "--interval", "0", "--count", QString::number(ok.size())});
        QList<bool> seen;
        double lastKwh = 0;
        for (const QJsonObject& result : watch.results) {
            QCOMPARE(result["command"].toString(), "watch");
            seen << result["ok"].toBool();
            if (seen.last()) {
                QVERIFY2(result["active_kwh"].toString().toDouble() > lastKwh,
                         qPrintable(result["active_kwh"].toString()));
                lastKwh = result["active_kwh"].toString().toDouble();
            } else {
                QCOMPARE(result["error"].toString(), "reply with a bad CRC");
            }
        }
        QCOMPARE(seen, ok);
    }

    // A meter away when the watch starts: every reading of the count is reported, the
    // address is asked again until it answers, and readings that waited out their timeout
    // do not bunch up afterwards to catch up with the schedule.
    void watchWaitsForAnAbsentMeter()
    {
        Misbehaviour away;
        away.silent = true;
        // Every request as it reached the meter, and whether it was a reading (its own
        // register block, from 0) or a read of the address.
        std::mutex mutex;
        std::vector<std::pair<std::chrono::steady_clock::time_point, bool>> requests;
        const auto meter = StartMeter({.misbehaviour = away, .beforeStart = [&](MeterSimulator& m) {
                                           m.setTrafficLog([&](MeterSimulator::Direction direction,
                                                               std::span<const std::uint8_t> bytes) {
                                               if (direction == MeterSimulator::Direction::Request) {
                                                   const std::lock_guard lock(mutex);
                                                   requests.emplace_back(std::chrono::steady_clock::now(),
                                                                         bytes.size() == 8 && bytes[3] == 0);
                                               }
                                           });
                                       }});
        QVERIFY(meter);
        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.start(QStringLiteral(QUORVEXCTL), {"--port", PathOf(*meter), "--timeout", "250", "watch",
                                                   "--interval", "0.2", "--count", "5"});
        QTest::qWait(650);
        meter->setMisbehaviour({});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 1);
        const QStringList outcomes = Outcomes(process.readAllStandardOutput());
        QCOMPARE(outcomes.size(), 5);
        QCOMPARE(outcomes.first(), "no reply");
        QCOMPARE(outcomes.last(), "ok");
        // Each reading starts with its first request: the first one that worked with the read
        // of the address before it, the others with the reading itself.
        const std::lock_guard lock(mutex);
        const auto first = std::find_if(requests.begin(), requests.end(), [](const auto& r) { return r.second; });
        QVERIFY(first != requests.begin() && first != requests.end());
        std::vector<std::chrono::steady_clock::time_point> starts{std::prev(first)->first};
        for (auto r = std::next(first); r != requests.end(); ++r) {
            if (r->second) {
                starts.push_back(r->first);
            }
        }
        QCOMPARE(static_cast<qsizetype>(starts.size()), outcomes.count("ok"));
        for (std::size_t i = 1; i < starts.size(); ++i) {
            const auto apart = std::chrono::duration_cast<std::chrono::milliseconds>(starts[i] - starts[i - 1]);
            QVERIFY2(apart.count() >= 180, qPrintable(QString("%1 ms").arg(apart.count())));
        }
    }

    // The adapter pulled in the middle of a watch: each reading is reported as disconnected
    // until it is back at the same name, and the readings go on.
    void watchFollowsAVanishedAdapter()
    {
        const auto first = StartMeter({});
        QVERIFY(first);
        QTemporaryDir names;
        const QString adapter = names.filePath("usb-meter-adapter");
        QVERIFY(QFile::link(PathOf(*first), adapter));
        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.start(QStringLiteral(QUORVEXCTL),
                      {"--port", adapter, "--decimals", "2", "watch", "--interval", "0.15", "--count", "7"});
        QVERIFY(first->waitForReplies(2, std::chrono::seconds(5)));
        first->closeLine();
        QTest::qWait(400);
        const auto second = StartMeter({});
        QVERIFY(second);
        QFile::remove(adapter);
        QVERIFY(QFile::link(PathOf(*second), adapter));
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 1);
        const QStringList outcomes = Outcomes(process.readAllStandardOutput());
        QCOMPARE(outcomes.size(), 7);
        QCOMPARE(outcomes.first(), "ok");
        QVERIFY2(outcomes.contains("device disconnected"), qPrintable(outcomes.join(", ")));
        QCOMPARE(outcomes.last(), "ok");
    }

    // A reader that stops reading ends the run as a closed pipe does, with the port released.
    void closedOutputReleasesThePort()
    {
        const auto meter = StartMeter({});
        QVERIFY(meter);
        QProcess shell;
        shell.setProcessEnvironment(m_environment);
        shell.start("bash", {"-c", QStringLiteral("'%1' --port '%2' --decimals 2 watch --interval 0.05 | head -n 1 "
                                                  ">/dev/null; exit ${PIPESTATUS[0]}")
                                       .arg(QStringLiteral(QUORVEXCTL), PathOf(*meter))});
        QVERIFY(shell.waitForFinished(10000));
        QCOMPARE(shell.exitCode(), 141);
        QCOMPARE(QDir(m_lockDir.path()).entryList(QDir::Files).size(), 0);
    }

    // A signal ends an endless watch at once, without another reading, with what was read.
    // Gateways: every meter of an address list on every port in turn, one result each with
    // its address; a gateway that cannot be reached is a port failure with its reason.
    void gateways_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("results"); // "port address ok" per result, sorted
        QTest::newRow("address list, both kinds")
            << QStringList{"--port", "%tcp", "--port", "%rtu", "--address", "1,5-6"} << 1
            << QStringList{"%rtu 1 true", "%rtu 5 true", "%rtu 6 false",
                           "%tcp 1 true", "%tcp 5 true", "%tcp 6 false"};
        QTest::newRow("refused") << QStringList{"--port", "tcp://127.0.0.1:1", "--connect-timeout", "500"}
                                 << 3 << QStringList{"tcp://127.0.0.1:1  false"};
    }
    void gateways()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QStringList, results);
        std::vector<MeterState> meters(2);
        meters[1].address = 5;
        metersim::NetServer server(kThree, meters, {}, false, metersim::NetFault::None);
        std::string error;
        QVERIFY(server.listen({metersim::NetFraming::ModbusTcp, "127.0.0.1", 0}, &error));
        QVERIFY(server.listen({metersim::NetFraming::RtuTcp, "127.0.0.1", 0}, &error));
        QVERIFY(server.start(&error));
        const QString tcp = QString::fromStdString(server.urls()[0]);
        const QString rtu = QString::fromStdString(server.urls()[1]);
        args.replaceInStrings("%tcp", tcp).replaceInStrings("%rtu", rtu);
        results.replaceInStrings("%tcp", tcp).replaceInStrings("%rtu", rtu);
        RUN_CTL(result, status, args + QStringList{"--type", "three", "--timeout", "200", "read", "address"});
        QStringList seen;
        for (const QJsonObject& one : result.results) {
            seen << one["port"].toString() + " " + one["address"].toString() + " " +
                        (one["ok"].toBool() ? "true" : "false");
            if (one["ok"].toBool()) {
                QCOMPARE(one["value"].toString(), one["address"].toString());
            }
        }
        seen.sort();
        QCOMPARE(seen, results);
        QVERIFY2(status != 3 || result.err.contains("refused"), result.err.constData());
    }

    void watchEndsOnSignal()
    {
        const auto meter = StartMeter({});
        QVERIFY(meter);
        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.start(QStringLiteral(QUORVEXCTL),
                      {"--port", PathOf(*meter), "watch", "--interval", "30"});
        QVERIFY(process.waitForReadyRead(5000));
        QTest::qWait(200); // well into the interval
        QElapsedTimer timer;
        timer.start();
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString("%1 ms").arg(timer.elapsed())));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(process.readAllStandardOutput().count('\n'), 1);
        QCOMPARE(meter->requestsSeen(), 2u); // the address, then one reading
    }
};

QTEST_GUILESS_MAIN(TestQuorvexCtl)
#include "test_quorvexctl.moc"
