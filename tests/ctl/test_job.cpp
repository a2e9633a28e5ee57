// quorvexctl job in the test's own process: the job file's checks, and whole jobs against
// simulated meters on pseudo-terminals, recording into a store kept in memory, judged by the
// results, what the store holds and what the meters hold afterwards.

#include "jobcommand.h"
#include "memorystore.h"
#include "simulator.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <memory>

using metersim::MeterKind;
using metersim::MeterSimulator;
using metersim::MeterState;
using metersim::Misbehaviour;

namespace {

struct Ran
{
    int status = -1;
    QList<QJsonObject> results;
    QString err;
};

QString Drain(std::FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    QByteArray bytes;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        bytes.append(buffer, static_cast<qsizetype>(got));
    }
    std::fclose(file);
    return QString::fromUtf8(bytes);
}

// The job's CSV with P0, P1, ... standing for the meters' pseudo-terminals.
Ran RunCsv(QString csv, const std::vector<MeterSimulator*>& lines, MemoryStore& store,
           const std::atomic<bool>& interrupted, bool resume = false)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        csv.replace(QStringLiteral("P%1").arg(i), QString::fromStdString(lines[i]->devicePath()));
    }
    Ran ran;
    std::string error;
    const QByteArray bytes = csv.toUtf8();
    const std::optional<ctl::JobFile> job =
        ctl::ParseJobFile(bytes.toStdString(), MeterType::SinglePhase, &error);
    if (!job) {
        ran.err = QString::fromStdString(error);
        return ran;
    }
    ctl::Options options;
    options.format = ctl::Format::Json;
    options.timeoutMs = 500; // a three-phase reading at 4800 baud takes 220 ms
    options.turnaroundMs = 30;
    options.resume = resume;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ran.status = ctl::RunJob({options, *job, "job.csv", store, out, err, interrupted, {}});
    for (const QString& line : Drain(out).split('\n', Qt::SkipEmptyParts)) {
        ran.results << QJsonDocument::fromJson(line.toUtf8()).object();
    }
    ran.err = Drain(err);
    return ran;
}

qint64 HeldSerial(const MeterState& state)
{
    qint64 value = 0;
    for (const std::uint8_t byte : state.serialNumber) {
        value = value << 8 | byte;
    }
    return value;
}

// Meters at the addresses given, the first at `baud`, the others at 9600, wire time on.
std::unique_ptr<MeterSimulator> Bus(MeterKind kind, std::vector<std::uint8_t> addresses,
                                    std::uint8_t baudCode = 0x20)
{
    auto line = MeterSimulator::OnPseudoTerminal(kind);
    if (!line) {
        return line;
    }
    MeterState state = line->state();
    state.energyStep = 0;
    state.address = addresses.front();
    state.baudCode = baudCode;
    line->setState(state);
    state.baudCode = 0x20;
    for (std::size_t i = 1; i < addresses.size(); ++i) {
        state.address = addresses[i];
        line->addMeter(state);
    }
    line->setWireTime(true);
    return line;
}

// clang-format off
struct Refusal { const char* name; const char* csv; const char* message; };
const Refusal kRefusals[]{
    {"unknown column", "port,colour\nP0,red\n", "header (line 1), column 'colour': unknown"},
    {"column twice", "port,baud,Baud\nP0,9600,4800\n", "column 'baud': given twice"},
    {"no port column", "address\n1\n", "no port column"},
    {"no rows", "port,sn\n\n", "lists no meters"},
    {"empty port", "port,sn\nP0,1\n,2\n", "row 2 (line 3), column port: empty"},
    {"baud not in the list", "port,baud\nP0,9600\nP0,19200\n", "row 2 (line 3), column baud: '19200' is not one of"},
    {"parity word", "port;parity\nP0;mark\n", "row 1 (line 2), column parity: 'mark'"},
    {"display time", "port,display_time\nP0,9\n", "column display_time: '9' is not one of 1, 2, 3, 4, 5"},
    {"ct on a single-phase row", "port,type,ct\nP0,single,40\n", "column ct: '40': three-phase meters only"},
    {"type", "port,type\nP0,double\n", "column type: 'double' is not single or three"},
    {"present address", "port,address\nP0,255\n", "column address: '255' is not a whole number"},
    {"new address twice on a bus", "port,new_address\nP0,7\nP1,7\nP0,7\n", "row 3 (line 4), column new_address: '7' is row 1's"},
    {"serial number twice", "port,sn\nP0,12345\nP1,00012345\n", "row 2 (line 3), column sn: '00012345' is row 1's"},
    {"more fields than columns", "port,sn\nP0,1,extra\n", "row 1 (line 2): 3 fields, the header names 2"},
    {"quote left open", "port,label\nP0,\"open\nP0,x\n", "line 2: a quote opened here is never closed"},
    {"text after a quote", "port,label\nP0,\"a\"b\n", "line 2: text after a closing quote"},
    {"not UTF-8", "port,label\nP0,caf\xE9\n", "line 2: not UTF-8"},
};
// clang-format on

// The rows of the 12-meter job: three buses run at once, rows interleaved in the file.
struct JobCase
{
    int line; // the simulated line
    std::size_t meter;
    bool ok;
    const char* error;   // contained in the result's error
    const char* address; // where the result says the meter answers now; "" none
    const char* baud;
    qint64 serial; // what the meter holds afterwards
};
const char* const kTwelve =
    "port,address,type,new_address,sn,baud,display_time,screen,ct,decimals,label\n"
    "P0,1,single,,00000101,,3,9,,,a1\n"
    "P1,5,three,,00000105,4800,,,40,1,b5\n"
    "P2,,single,21,00000117,9600,,,,,c17\n"
    "P0,2,single,,00000102,,3,9,,,\n"
    "P1,6,three,,00000106,,,,40,2,\n"
    "P2,11,single,,00000111,,2,,,,\n"
    "P0,3,single,,00000103,,3,9,,,refuses\n"
    "P1,8,three,,00000108,,,,40,,missing\n"
    "P2,12,single,,00000112,,2,,,,\n"
    "P0,4,single,,00000104,,3,9,,,\n"
    "P1,7,three,,00000107,,,,30,,\n"
    "P2,13,single,,00000113,,2,,,,\n";
// clang-format off
const JobCase kTwelveCases[]{
    {0, 0, true, "", "1", "9600", 0x101},
    {1, 0, true, "", "5", "4800", 0x105},           // left at its new speed
    {2, 0, true, "", "21", "9600", 0x117},          // found by a scan at 2400, renamed
    {0, 1, true, "", "2", "9600", 0x102},
    {1, 1, true, "", "6", "9600", 0x106},           // the port back at 9600 after row 2
    {2, 1, true, "", "11", "9600", 0x111},
    {0, 2, false, "sn 00000103 not written: Modbus exception 0x04", "3", "9600", 0x12345678},
    {1, 3, false, "no meter at address 8, 9600 none: no reply", "", "", 0},
    {2, 2, true, "", "12", "9600", 0x112},
    {0, 3, true, "", "4", "9600", 0x104},
    {1, 2, true, "", "7", "9600", 0x107},
    {2, 3, true, "", "13", "9600", 0x113},
};
// clang-format on

// One line, two meters; the job is stopped as the meter takes its Nth request.
const char* const kTwo = "port,address,type,new_address,baud,sn\n"
                         "P0,1,single,9,4800,00000201\n"
                         "P0,2,single,,,00000202\n";

// clang-format off
struct Read { const char* name; const char* csv; int rows; std::string label; int address; };
const Read kReads[]{
    {"commas, LF", "port,address,label\nCOM1,3,x\nCOM1,,\"a, b\"\n", 2, "a, b", -1},
    {"BOM, semicolons, CRLF", "\xEF\xBB\xBFport;label;address\r\nCOM1;\"two\r\nlines; \"\"q\"\"\";7\r\n\r\n", 1,
     "two\r\nlines; \"q\"", 7},
    {"short row, capitals, blank lines", "\nPORT,Address,Label\n\nCOM2\n,,\n", 1, "", -1},
};

// The job of kTwo stopped as the meter takes its request `at`: 3 is the new address of row 1,
// 4 its speed, 11 the read back of row 2's serial number.
struct Stop { const char* name; int at; bool firstPassed; std::string error; int baudCode; };
const Stop kStops[]{
    {"at the new address", 3, false, "interrupted; the meter now answers at address 9, 9600 baud, parity none", 0x20},
    {"at the speed", 4, false, "interrupted; the meter now answers at address 9, 4800 baud, parity none", 0x10},
    {"at the second row's read back", 11, true, "interrupted", 0x10},
};

// Row 2's serial number passed before; run: the rows that reach their meter.
struct Resume { const char* name; bool resume; bool sameFile; QList<int> run; };
const Resume kResumes[]{
    {"resumed", true, true, {1, 3}},
    {"passed in another file", true, false, {1, 2, 3}},
    {"without --resume", false, true, {1, 2, 3}},
};
// clang-format on

template <typename Cases> void AddIndexRows(const Cases& cases)
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(std::size(cases)); ++i) {
        QTest::newRow(cases[i].name) << i;
    }
}

} // namespace

class TestJob : public QObject
{
    Q_OBJECT

    std::vector<std::unique_ptr<MeterSimulator>> m_twelveLines;
    MemoryStore m_twelveStore;
    Ran m_twelve;
    bool m_twelveRan = false;

    // The 12-meter job, run once for all its rows.
    void runTwelve()
    {
        if (m_twelveRan) {
            return;
        }
        m_twelveRan = true;
        m_twelveLines.push_back(Bus(MeterKind::SinglePhase, {1, 2, 3, 4}));
        m_twelveLines.push_back(Bus(MeterKind::ThreePhase, {5, 6, 7}));
        // The first meter at settings nobody wrote down: 2400 baud, address 17.
        m_twelveLines.push_back(Bus(MeterKind::SinglePhase, {17, 11, 12, 13}, 0x08));
        for (const auto& line : m_twelveLines) {
            QVERIFY(line);
        }
        // The meter at address 3 refuses every write.
        MeterSimulator& bus = *m_twelveLines[0];
        bus.setTrafficLog(
            [&bus](MeterSimulator::Direction direction, std::span<const std::uint8_t> bytes) {
                if (direction == MeterSimulator::Direction::Request && bytes.size() > 2) {
                    Misbehaviour refusing;
                    if (bytes[0] == 3 && bytes[1] == 0x10) {
                        refusing.exceptionCode = 4;
                    }
                    bus.setMisbehaviour(refusing);
                }
            });
        for (const auto& line : m_twelveLines) {
            line->start();
        }
        const std::atomic<bool> never{false};
        m_twelve = RunCsv(kTwelve,
                          {m_twelveLines[0].get(), m_twelveLines[1].get(), m_twelveLines[2].get()},
                          m_twelveStore, never);
    }

private slots:
    // Refused with exit 2 before anything is sent, the message naming row, column and value.
    void refusals_data() { AddIndexRows(kRefusals); }
    void refusals()
    {
        QFETCH(int, index);
        const Refusal& c = kRefusals[index];
        QTemporaryDir dir;
        const QString path = dir.filePath("job.csv");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(c.csv).replace("P0", "/dev/null").replace("P1", "/dev/zero"));
        file.close();
        ctl::Options options;
        options.command = "job";
        options.arguments = {path.toStdString()};
        const std::atomic<bool> never{false};
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        QCOMPARE(ctl::RunJobCommand(options, out, err, never, {}), int(ctl::kBadUsage));
        QCOMPARE(Drain(out), QString());
        const QString message = Drain(err);
        QVERIFY2(message.contains(QString::fromUtf8(c.message)), qPrintable(message));
    }

    // What spreadsheets write: a byte-order mark, semicolons, CRLF, quoted separators and
    // line breaks, short rows, blank lines; and the hash is of the bytes as they are.
    void reads_data() { AddIndexRows(kReads); }
    void reads()
    {
        QFETCH(int, index);
        const Read& c = kReads[index];
        std::string error;
        const auto job = ctl::ParseJobFile(c.csv, MeterType::SinglePhase, &error);
        QVERIFY2(job, error.c_str());
        QCOMPARE(int(job->rows.size()), c.rows);
        const ctl::JobRow& last = job->rows.back();
        QCOMPARE(last.label, c.label);
        QCOMPARE(last.address.value_or(-1), c.address);
        const QByteArray bytes(c.csv);
        QCOMPARE(QByteArray::fromStdString(job->contentHash),
                 QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    }

    // Twelve meters on three lines at once: one missing, one refusing writes, one found by a
    // scan at settings nobody wrote down. Results in row order, the store holds every row.
    void twelve_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kTwelveCases)); ++i) {
            QTest::addRow("row %d", i + 1) << i + 1;
        }
    }
    void twelve()
    {
        QFETCH(int, row);
        runTwelve();
        const JobCase& c = kTwelveCases[row - 1];
        QCOMPARE(m_twelve.status, 1);
        QCOMPARE(m_twelve.results.size(), int(std::size(kTwelveCases)));
        const QJsonObject result = m_twelve.results[row - 1];
        QCOMPARE(result["row"].toString(), QString::number(row));
        QCOMPARE(result["port"].toString(),
                 QString::fromStdString(m_twelveLines[c.line]->devicePath()));
        QVERIFY2(result["ok"].toBool() == c.ok && result["error"].toString().contains(c.error),
                 qPrintable(result["error"].toString()));
        QCOMPARE(result["address"].toString(), c.address);
        QCOMPARE(result["baud"].toString(), c.baud);
        QCOMPARE(result.contains("active_kwh"), c.address[0] != '\0');
        QVERIFY2(m_twelve.err.contains(QStringLiteral("row %1/12 ").arg(row)),
                 qPrintable(m_twelve.err));
        if (c.serial != 0) {
            QCOMPARE(HeldSerial(m_twelveLines[c.line]->state(c.meter)), c.serial);
        }

        const std::vector<StoredResult> stored = m_twelveStore.results();
        QCOMPARE(stored.size(), std::size(kTwelveCases));
        const auto it = std::find_if(stored.begin(), stored.end(),
                                     [row](const StoredResult& r) { return r.row == row; });
        QVERIFY(it != stored.end());
        QCOMPARE(it->ok, c.ok);
        QCOMPARE(it->job, std::optional<std::int64_t>(1));
        QCOMPARE(it->reading.empty(), c.address[0] == '\0');
        for (const StoredProperty& property : it->properties) {
            QCOMPARE(property.verified, std::optional<bool>(c.ok));
        }
        const std::vector<StoredJob> jobs = m_twelveStore.jobs();
        QCOMPARE(jobs.size(), std::size_t(1));
        QCOMPARE(jobs[0].passed, 10);
        QCOMPARE(jobs[0].failed, 2);
        QVERIFY(jobs[0].ended);
    }

    // Stopped as the meter takes its Nth request: that command finishes, nothing follows it,
    // and every row started is recorded as far as it got.
    void interrupted_data() { AddIndexRows(kStops); }
    void interrupted()
    {
        QFETCH(int, index);
        const Stop& c = kStops[index];
        auto line = Bus(MeterKind::SinglePhase, {1, 2});
        QVERIFY(line);
        std::atomic<bool> stop{false};
        std::atomic<int> requests{0};
        line->setTrafficLog(
            [&](MeterSimulator::Direction direction, std::span<const std::uint8_t>) {
                if (direction == MeterSimulator::Direction::Request && ++requests == c.at) {
                    stop = true;
                }
            });
        line->start();
        MemoryStore store;
        const Ran ran = RunCsv(kTwo, {line.get()}, store, stop);
        QCOMPARE(ran.status, ctl::kInterrupted);
        QCOMPARE(int(line->requestsSeen()), c.at);
        QCOMPARE(ran.results.size(), 2);
        const std::vector<StoredResult> stored = store.results();
        QCOMPARE(int(stored.size()), c.firstPassed ? 2 : 1);
        QCOMPARE(stored.front().ok, c.firstPassed);
        QCOMPARE(ran.results[0]["ok"].toBool(), c.firstPassed);
        QCOMPARE(stored.back().error, c.error);
        QCOMPARE(ran.results[1]["error"].toString(),
                 c.firstPassed ? "interrupted" : "interrupted before it started");
        QCOMPARE(int(line->state().address), 9);
        QCOMPARE(int(line->state().baudCode), c.baudCode);
        QCOMPARE(store.jobs().front().failed, 1);
    }

    // --resume skips the serial numbers that passed in a job of the same file, and only those.
    void resume_data() { AddIndexRows(kResumes); }
    void resume()
    {
        QFETCH(int, index);
        const Resume& c = kResumes[index];
        const QString csv = "port,address,sn\nP0,1,00000301\nP0,2,00000302\nP0,3,00000303\n";
        auto line = Bus(MeterKind::SinglePhase, {1, 2, 3});
        QVERIFY(line);
        line->start();
        MemoryStore store;
        QString earlier = c.sameFile ? csv : csv + "\n";
        const QByteArray hashed =
            earlier.replace("P0", QString::fromStdString(line->devicePath())).toUtf8();
        StoredResult passed;
        passed.ok = true;
        passed.serialNumber = "00000302";
        passed.job = store.beginJob("job.csv", ctl::Sha256Hex(hashed.toStdString()));
        store.record(passed);

        const std::atomic<bool> never{false};
        const Ran ran = RunCsv(csv, {line.get()}, store, never, c.resume);
        QCOMPARE(ran.status, 0);
        QCOMPARE(ran.results.size(), 3);
        QList<int> reached;
        for (int row = 1; row <= 3; ++row) {
            const bool skipped = ran.results[row - 1].contains("skipped");
            QCOMPARE(ran.results[row - 1]["ok"].toBool(), true);
            const bool written = HeldSerial(line->state(std::size_t(row - 1))) == 0x300 + row;
            QCOMPARE(written, !skipped);
            if (written) {
                reached << row;
            }
        }
        QCOMPARE(reached, c.run);
        QCOMPARE(int(store.results().size()), 1 + c.run.size());
    }
};

QTEST_GUILESS_MAIN(TestJob)
#include "test_job.moc"
