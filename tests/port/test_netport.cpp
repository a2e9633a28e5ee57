// The network ports against gateways: the simulator's own (in this process), and software we
// did not write: ser2net in front of a simulated meter's pseudo-terminal, pymodbus's Modbus
// TCP server, and mbpoll as a client of the simulator. Every server listens on 127.0.0.1 on
// a free port and is started once for the whole program.

#include "commands.h"
#include "frame.h"
#include "netport.h"
#include "netserver.h"
#include "port.h"
#include "portlink.h"
#include "simulator.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace metersim;

namespace {

std::uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::vector<MeterState> Meters(std::initializer_list<int> addresses)
{
    std::vector<MeterState> meters;
    for (const int address : addresses) {
        MeterState state;
        state.address = static_cast<std::uint8_t>(address);
        meters.push_back(state);
    }
    return meters;
}

// One simulated gateway pair (Modbus TCP and RTU over TCP) going wrong one way.
struct Gateways
{
    std::unique_ptr<NetServer> server;
    std::vector<std::string> urls; // tcp://, rtu+tcp://

    Gateways(NetFault fault, int delayMs = 0, std::uint16_t port = 0)
    {
        Misbehaviour misbehaviour;
        misbehaviour.delayMs = delayMs;
        server = std::make_unique<NetServer>(MeterKind::ThreePhase, Meters({1, 2}), misbehaviour,
                                             false, fault);
        std::string error;
        server->listen({NetFraming::ModbusTcp, "127.0.0.1", port}, &error);
        server->listen({NetFraming::RtuTcp, "127.0.0.1", 0}, &error);
        server->start(&error);
        urls = server->urls();
    }
};

struct Reading
{
    bool ok = false;
    std::string text; // the value, or the fault
};

Reading ReadAddress(LinePort& port, int address, unsigned timeoutMs = 1000)
{
    Session session;
    session.timing = Timing::WireSpeed;
    session.responseTimeoutMs = timeoutMs;
    session.link = LinkOver(port);
    const auto read = ReadProperty(session, MeterType::ThreePhase,
                                   static_cast<std::uint8_t>(address), MeterProperty::Address);
    return read ? Reading{true, read->value} : Reading{false, DescribeFault(read.fault())};
}

std::unique_ptr<NetPort> Open(const std::string& url, unsigned connectMs = 3000,
                              std::uint32_t baud = 9600)
{
    PortName name;
    ParsePortName(url, &name, nullptr);
    std::unique_ptr<NetPort> port = MakeNetPort(name.kind);
    port->setConnectTimeout(connectMs);
    SerialSettings settings;
    settings.baudRate = baud;
    port->open(url, settings);
    return port;
}

} // namespace

class TestNetPort : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<Gateways> m_good;
    std::unique_ptr<MeterSimulator> m_rawMeter;    // behind ser2net's raw port
    std::unique_ptr<MeterSimulator> m_telnetMeter; // behind its RFC 2217 port, at 4800 baud
    std::string m_ser2netRaw;
    std::string m_ser2netTelnet;
    QProcess m_ser2net;
    QProcess m_pymodbus;
    std::string m_pymodbusUrl;

    std::string urlOf(const QString& server) const
    {
        if (server == "sim-tcp") {
            return m_good->urls[0];
        }
        if (server == "sim-rtu") {
            return m_good->urls[1];
        }
        if (server == "ser2net-raw") {
            return m_ser2netRaw;
        }
        if (server == "ser2net-rfc2217") {
            return m_ser2netTelnet;
        }
        return m_pymodbusUrl;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_good = std::make_unique<Gateways>(NetFault::None);
        m_rawMeter = MeterSimulator::OnPseudoTerminal(MeterKind::ThreePhase);
        m_telnetMeter = MeterSimulator::OnPseudoTerminal(MeterKind::ThreePhase);
        QVERIFY(m_rawMeter && m_telnetMeter);
        m_telnetMeter->updateState([](MeterState& state) { state.baudCode = 0x10; });
        m_telnetMeter->setWireTime(true); // answers only at its own speed, 4800
        m_rawMeter->start();
        m_telnetMeter->start();

        const std::uint16_t raw = FreePort();
        const std::uint16_t telnet = FreePort();
        const QString config = m_dir.filePath("ser2net.yaml");
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("connection: &raw\n"
                                  "  accepter: tcp,127.0.0.1,%1\n"
                                  "  connector: serialdev,%2,9600n81,local\n"
                                  "connection: &telnet\n"
                                  "  accepter: telnet(rfc2217),tcp,127.0.0.1,%3\n"
                                  "  connector: serialdev,%4,9600n81,local\n")
                       .arg(raw)
                       .arg(QString::fromStdString(m_rawMeter->devicePath()))
                       .arg(telnet)
                       .arg(QString::fromStdString(m_telnetMeter->devicePath()))
                       .toUtf8());
        file.close();
        m_ser2net.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_ser2net.start("ser2net", {"-n", "-d", "-c", config});
        QVERIFY2(m_ser2net.waitForStarted(3000), "ser2net (Debian package ser2net) is needed");
        m_ser2netRaw = "rtu+tcp://127.0.0.1:" + std::to_string(raw);
        m_ser2netTelnet = "rfc2217://127.0.0.1:" + std::to_string(telnet);

        const std::uint16_t modbus = FreePort();
        m_pymodbus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_pymodbus.start("/usr/bin/python3", {PYMODBUS_TCP_METER, QString::number(modbus)});
        QVERIFY(m_pymodbus.waitForStarted(3000));
        QVERIFY2(m_pymodbus.waitForReadyRead(10000) &&
                     m_pymodbus.readLine().startsWith("listening"),
                 "pymodbus's TCP server did not start");
        m_pymodbusUrl = "tcp://127.0.0.1:" + std::to_string(modbus);
        // ser2net listens as soon as it has read its configuration.
        QTRY_VERIFY_WITH_TIMEOUT(Open(m_ser2netRaw)->isOpen(), 3000);
    }

    void cleanupTestCase()
    {
        for (QProcess* process : {&m_ser2net, &m_pymodbus}) {
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(1000);
            }
        }
    }

    // One place takes names apart: every fault named, every kind, IPv6 and host names.
    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind"); // -1: refused
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("fault");
        const int tcp = int(PortKind::ModbusTcp);
        QTest::newRow("device") << "/dev/ttyUSB0" << int(PortKind::Serial) << "" << 0 << "";
        QTest::newRow("tcp default") << "tcp://gw.plant" << tcp << "gw.plant" << 502 << "";
        QTest::newRow("tcp port") << "tcp://10.0.0.7:1502" << tcp << "10.0.0.7" << 1502 << "";
        QTest::newRow("ipv6") << "tcp://[fe80::1]:503" << tcp << "fe80::1" << 503 << "";
        QTest::newRow("ipv6 default") << "tcp://[::1]" << tcp << "::1" << 502 << "";
        QTest::newRow("rtu") << "rtu+tcp://gw:4001" << int(PortKind::RtuTcp) << "gw" << 4001 << "";
        QTest::newRow("rfc2217") << "rfc2217://gw:2217/" << int(PortKind::Rfc2217) << "gw" << 2217
                                 << "";
        QTest::newRow("scheme") << "udp://gw:502" << -1 << "" << 0 << "unknown scheme 'udp://'";
        QTest::newRow("no host") << "tcp://:502" << -1 << "" << 0 << "no host";
        QTest::newRow("port 0") << "tcp://gw:0" << -1 << "" << 0 << "1 to 65535";
        QTest::newRow("port 65536") << "tcp://gw:65536" << -1 << "" << 0 << "1 to 65535";
        QTest::newRow("port text") << "tcp://gw:http" << -1 << "" << 0 << "1 to 65535";
        QTest::newRow("rtu no port") << "rtu+tcp://gw" << -1 << "" << 0 << "no port given";
        QTest::newRow("rfc no port") << "rfc2217://gw" << -1 << "" << 0 << "no port given";
        QTest::newRow("bare ipv6") << "tcp://fe80::1" << -1 << "" << 0 << "in brackets";
        QTest::newRow("open bracket") << "tcp://[::1:502" << -1 << "" << 0 << "no ']'";
    }

    void names()
    {
        QFETCH(QString, name);
        QFETCH(int, kind);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, fault);
        PortName parsed;
        std::string error;
        QCOMPARE(ParsePortName(name.toStdString(), &parsed, &error), kind >= 0);
        if (kind < 0) {
            QVERIFY2(QString::fromStdString(error).startsWith(name + ": ") &&
                         QString::fromStdString(error).contains(fault),
                     error.c_str());
            return;
        }
        QCOMPARE(int(parsed.kind), kind);
        if (parsed.kind != PortKind::Serial) {
            QCOMPARE(QString::fromStdString(parsed.host), host);
            QCOMPARE(int(parsed.port), port);
        }
    }

    // Each kind of port, against each gateway that offers it.
    void kinds_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("address");
        QTest::addColumn<QString>("value");
        QTest::newRow("sim modbus tcp") << "sim-tcp" << 2 << "2";
        QTest::newRow("sim rtu over tcp") << "sim-rtu" << 2 << "2";
        QTest::newRow("ser2net raw") << "ser2net-raw" << 1 << "1";
        QTest::newRow("ser2net rfc2217 at 4800") << "ser2net-rfc2217" << 1 << "1";
        QTest::newRow("pymodbus modbus tcp") << "pymodbus" << 1 << "1";
    }

    void kinds()
    {
        QFETCH(QString, server);
        QFETCH(int, address);
        QFETCH(QString, value);
        const std::unique_ptr<NetPort> port = Open(urlOf(server), 3000, 4800);
        QVERIFY2(port->isOpen(), port->lastError().c_str());
        const Reading reading = ReadAddress(*port, address);
        QVERIFY2(reading.ok, reading.text.c_str());
        QCOMPARE(QString::fromStdString(reading.text), value);
        if (server == "ser2net-rfc2217") {
            // ser2net set the pseudo-terminal's speed as the port asked it to.
            QCOMPARE(m_telnetMeter->lineBaud(), 4800);
        }
    }

    // IAC (0xFF) bytes cross Telnet doubled and arrive single, both ways.
    void telnetEscapes()
    {
        const std::unique_ptr<NetPort> port = Open(m_ser2netTelnet, 3000, 4800);
        QVERIFY2(port->isOpen(), port->lastError().c_str());
        Misbehaviour canned;
        canned.cannedReply = {0x01, 0x04, 0x02, 0xFF, 0xFF, 0xB9, 0xB0};
        m_telnetMeter->setMisbehaviour(canned);
        const Frame request = BuildReadRequest(1, 0x00FF, 0x00FF);
        QCOMPARE(port->write(std::uint32_t(request.size()), request.data()),
                 std::uint32_t(request.size()));
        std::vector<std::uint8_t> reply;
        while (reply.size() < canned.cannedReply.size() && port->waitReadable(2000)) {
            std::uint8_t buffer[64];
            reply.insert(reply.end(), buffer, buffer + port->read(sizeof buffer, buffer, 0));
        }
        m_telnetMeter->setMisbehaviour({});
        QCOMPARE(m_telnetMeter->lastRequest(),
                 std::vector<std::uint8_t>(request.data(), request.data() + request.size()));
        QCOMPARE(reply, canned.cannedReply);
    }

    // Gateways gone wrong: a clear outcome each, within the time limits, and a late reply
    // never taken for the next one.
    void faults_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("url");        // 0 Modbus TCP, 1 RTU over TCP
        QTest::addColumn<QString>("first");  // the first read's value, or its fault
        QTest::addColumn<QString>("second"); // the next read (another meter)'s
        QTest::addColumn<QString>("lastError");
        QTest::addColumn<int>("lateReplies");
        QTest::addColumn<int>("connections");
        const QString noReply = "no reply";
        QTest::newRow("mute") << int(NetFault::Mute) << 0 << noReply << noReply << "" << 0 << 1;
        QTest::newRow("garbage") << int(NetFault::Garbage) << 0 << "reply with a bad CRC"
                                 << "reply with a bad CRC"
                                 << "protocol id" << 0 << 2;
        QTest::newRow("length 60000") << int(NetFault::HugeLength) << 0 << "reply with a bad CRC"
                                      << "reply with a bad CRC"
                                      << "length 60000" << 0 << 2;
        // The command the gateway hangs up on ends as disconnected; the next connects again.
        QTest::newRow("half then close tcp")
            << int(NetFault::HalfClose) << 0 << "disconnected" << "disconnected" << "connection lost" << 0 << 2;
        QTest::newRow("half then close rtu")
            << int(NetFault::HalfClose) << 1 << "disconnected" << "disconnected" << "connection lost" << 0 << 2;
        QTest::newRow("late tcp") << int(NetFault::LateFirst) << 0 << noReply << "2"
                                  << "" << 1 << 1;
        QTest::newRow("late rtu") << int(NetFault::LateFirst) << 1 << noReply << "2"
                                  << "" << 1 << 1;
        QTest::newRow("stale id") << int(NetFault::Stale) << 0 << "1"
                                  << "2"
                                  << "" << 1 << 1;
    }

    void faults()
    {
        QFETCH(int, fault);
        QFETCH(int, url);
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(QString, lastError);
        QFETCH(int, lateReplies);
        QFETCH(int, connections);
        const NetFault how = static_cast<NetFault>(fault);
        const Gateways gateways{how, how == NetFault::LateFirst ? 400 : 0};
        const std::unique_ptr<NetPort> port = Open(gateways.urls[url]);
        QVERIFY2(port->isOpen(), port->lastError().c_str());
        QElapsedTimer timer;
        timer.start();
        const Reading one = ReadAddress(*port, 1, 300);
        QVERIFY(timer.elapsed() < 700);
        const std::string error = port->lastError();
        const Reading two = ReadAddress(*port, 2, 300);
        QVERIFY2(QString::fromStdString(one.text).contains(first), one.text.c_str());
        QVERIFY2(QString::fromStdString(two.text).contains(second), two.text.c_str());
        QVERIFY2(QString::fromStdString(error).contains(lastError), error.c_str());
        QCOMPARE(int(port->lateReplies()), lateReplies);
        QCOMPARE(int(port->connections()), connections);
    }

    // No gateway, one that refuses, one that never takes the call: each its own reason, and
    // the wait no longer than asked.
    void connectFailures_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("errorNumber");
        QTest::newRow("unknown host") << "host"
                                      << "host 'nosuchhost.invalid' not found" << ENOENT;
        QTest::newRow("refused") << "refused"
                                 << "connection refused by 127.0.0.1:" << ECONNREFUSED;
        QTest::newRow("time-out") << "timeout"
                                  << "within 300 ms" << ETIMEDOUT;
    }

    void connectFailures()
    {
        QFETCH(QString, how);
        QFETCH(QString, reason);
        QFETCH(int, errorNumber);
        // A listener whose queue is full drops further connection attempts unanswered.
        const int full = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(full, 0);
        ::getsockname(full, reinterpret_cast<sockaddr*>(&address), &length);
        const std::string busy = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        std::vector<std::unique_ptr<NetPort>> queued;
        for (int i = 0; how == "timeout" && i < 2; ++i) {
            queued.push_back(Open(busy, 300));
        }
        const std::string url = how == "host"      ? "tcp://nosuchhost.invalid"
                                : how == "refused" ? "tcp://127.0.0.1:" + std::to_string(FreePort())
                                                   : busy;
        QElapsedTimer timer;
        timer.start();
        const std::unique_ptr<NetPort> port = Open(url, 300);
        const qint64 elapsed = timer.elapsed();
        ::close(full);
        QVERIFY(!port->isOpen());
        QVERIFY2(QString::fromStdString(port->lastError()).contains(reason),
                 port->lastError().c_str());
        QCOMPARE(port->lastErrorNumber(), errorNumber);
        QVERIFY(elapsed < 800);
        QCOMPARE(port->state(), LineState::Closed);
    }

    // RFC 2217 servers that do not go along: each refusal is an error naming what went wrong,
    // within the connect time-out. The server is played here, one connection per row.
    void telnetRefusals_data()
    {
        QTest::addColumn<int>("answer"); // 0 confirms 9600 for any baud, 1 DONT, 2 silent
        QTest::addColumn<QString>("reason");
        QTest::newRow("other baud confirmed") << 0 << "baud rate 4800 asked, 9600 confirmed";
        QTest::newRow("no COM port control") << 1 << "refuses COM port control";
        QTest::newRow("never confirms") << 2 << "did not confirm the baud rate within 400 ms";
    }

    void telnetRefusals()
    {
        QFETCH(int, answer);
        QFETCH(QString, reason);
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        std::thread server([listener, answer] {
            const int fd = ::accept(listener, nullptr, nullptr);
            const std::uint8_t agree[] = {255, answer == 1 ? std::uint8_t(254) : std::uint8_t(253),
                                          44};
            ::send(fd, agree, sizeof agree, MSG_NOSIGNAL);
            std::uint8_t in[256];
            ssize_t n = 0;
            while (answer == 0 && (n = ::recv(fd, in, sizeof in, 0)) > 0) {
                // Every SET-x (IAC SB 44 x ...) is answered with x + 100 and the value, but the
                // baud rate always comes back as 9600.
                for (ssize_t i = 0; i + 3 < n; ++i) {
                    if (in[i] == 255 && in[i + 1] == 250 && in[i + 2] == 44 && in[i + 3] <= 4) {
                        std::vector<std::uint8_t> out{255, 250, 44, std::uint8_t(in[i + 3] + 100)};
                        if (in[i + 3] == 1) {
                            out.insert(out.end(), {0, 0, 0x25, 0x80});
                        } else {
                            out.push_back(in[i + 4]);
                        }
                        out.insert(out.end(), {255, 240});
                        ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                    }
                }
            }
            while (answer != 0 && ::recv(fd, in, sizeof in, 0) > 0) {
            }
            ::close(fd);
        });
        QElapsedTimer timer;
        timer.start();
        const std::unique_ptr<NetPort> port =
            Open("rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), 400, 4800);
        const qint64 elapsed = timer.elapsed();
        const std::string error = port->lastError();
        port->close();
        server.join();
        ::close(listener);
        QVERIFY(!port->isOpen());
        QVERIFY2(QString::fromStdString(error).contains(reason), error.c_str());
        QVERIFY(elapsed < 1000);
    }

    // A gateway that restarts: the command after it went away says so, the next one is
    // served over a new connection.
    void gatewayRestarts()
    {
        const std::uint16_t fixed = FreePort();
        auto gateways = std::make_unique<Gateways>(NetFault::None, 0, fixed);
        const std::unique_ptr<NetPort> port = Open(gateways->urls[0]);
        QVERIFY(ReadAddress(*port, 1).ok);
        gateways.reset();
        QVERIFY(!ReadAddress(*port, 1).ok);
        QCOMPARE(port->state(), LineState::Disconnected);
        gateways = std::make_unique<Gateways>(NetFault::None, 0, fixed);
        const Reading again = ReadAddress(*port, 1);
        QVERIFY2(again.ok, port->lastError().c_str());
        QCOMPARE(port->state(), LineState::Usable);
        QCOMPARE(int(port->connections()), 2);
    }

    // The window's process-wide port takes a gateway as COM n.
    void windowPort()
    {
        qputenv("QUORVEX_COM7", QByteArray::fromStdString(m_good->urls[0]));
        std::FILE* quiet = std::fopen("/dev/null", "w");
        std::FILE* previous = PortSetDiagnosticStream(quiet);
        QVERIFY(PortOpen(7, 9600, 8, 0, 0, 4096, 4096, 1000));
        const Frame request = BuildReadRequest(2, 0x2F, 6);
        QCOMPARE(PortWrite(std::uint32_t(request.size()), request.data()),
                 std::uint32_t(request.size()));
        std::uint8_t reply[64] = {};
        std::uint32_t count = 0;
        QTRY_VERIFY_WITH_TIMEOUT((count += PortRead(sizeof reply - count, reply + count, 0)) >= 17,
                                 2000);
        QCOMPARE(int(reply[4]), 2); // the address register of meter 2
        PortClose();
        qputenv("QUORVEX_COM7", "tcp://127.0.0.1:" + QByteArray::number(FreePort()));
        QVERIFY(!PortOpen(7, 9600, 8, 0, 0, 4096, 4096, 1000));
        QVERIFY2(QString::fromStdString(PortLastError()).startsWith("COM7 → tcp://") &&
                     QString::fromStdString(PortLastError()).contains("refused"),
                 PortLastError().c_str());
        PortSetDiagnosticStream(previous);
        std::fclose(quiet);
        qunsetenv("QUORVEX_COM7");
    }

    // mbpoll, a Modbus TCP client we did not write, reads the simulator's 46 input registers
    // and gets what our port gets.
    void mbpollAgrees()
    {
        const Gateways still(NetFault::None);
        const QString port = QString::fromStdString(still.urls[0]).section(':', -1);
        QProcess mbpoll;
        mbpoll.start("mbpoll", {"-m", "tcp", "-p", port, "-a", "1", "-t", "3", "-r", "1", "-c",
                                "46", "-1", "127.0.0.1"});
        QVERIFY2(mbpoll.waitForFinished(5000) && mbpoll.exitCode() == 0, "mbpoll failed");
        QStringList theirs;
        const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+(-?\\d+)"),
                                      QRegularExpression::MultilineOption);
        for (auto match = line.globalMatch(mbpoll.readAllStandardOutput()); match.hasNext();) {
            theirs << QString::number(match.next().captured(2).toInt() & 0xFFFF);
        }
        QCOMPARE(theirs.size(), 46);

        const std::unique_ptr<NetPort> ours = Open(still.urls[0]);
        const Frame request = BuildReadRequest(1, 0, 46);
        ours->write(std::uint32_t(request.size()), request.data());
        std::vector<std::uint8_t> reply;
        while (reply.size() < 5 + 92 && ours->waitReadable(2000)) {
            std::uint8_t buffer[256];
            reply.insert(reply.end(), buffer, buffer + ours->read(sizeof buffer, buffer, 0));
        }
        QCOMPARE(int(reply.size()), 97);
        QStringList mine;
        for (int i = 0; i < 46; ++i) {
            mine << QString::number(reply[3 + 2 * i] << 8 | reply[4 + 2 * i]);
        }
        // The energies grow by one step with every reading of register 0: mbpoll read first.
        QCOMPARE(mine.mid(4), theirs.mid(4));
        QVERIFY(mine != theirs);
    }
};

QTEST_GUILESS_MAIN(TestNetPort)
#include "test_netport.moc"
