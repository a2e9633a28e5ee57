#include "crc.h"
#include "frame.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTest>

#include <algorithm>

#include <modbus.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

// Our request frames against libmodbus as the independent Modbus master: libmodbus writes
// its request to one side of a pseudo-terminal, the test reads it from the other side and
// compares it byte for byte, CRC included, with what our builders make. libmodbus computes
// its CRC with the two published tables, so it also vouches for every entry of ours.
class TestLibmodbus : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void readRequestsMatch();
    void writeRequestsMatch();
    void crcOfEveryTableEntryMatches();

private:
    Bytes Captured(std::size_t length);

    int m_master = -1;
    modbus_t* m_context = nullptr;
};

void TestLibmodbus::init()
{
    int slave = -1;
    char name[128] = {};
    QVERIFY(openpty(&m_master, &slave, name, nullptr, nullptr) == 0);
    m_context = modbus_new_rtu(name, 9600, 'N', 8, 1);
    QVERIFY(m_context);
    QCOMPARE(modbus_connect(m_context), 0);
    ::close(slave); // libmodbus holds its own descriptor
    // Nobody answers: the request is all this test wants, so give up on the reply at once.
    modbus_set_response_timeout(m_context, 0, 1000);
}

void TestLibmodbus::cleanup()
{
    if (m_context) {
        modbus_close(m_context);
        modbus_free(m_context);
        m_context = nullptr;
    }
    ::close(m_master);
}

// What libmodbus wrote, read until there are length bytes. More would show as the start of
// the next capture.
Bytes TestLibmodbus::Captured(std::size_t length)
{
    Bytes bytes;
    pollfd pfd{m_master, POLLIN, 0};
    while (bytes.size() < length && ::poll(&pfd, 1, 5000) > 0 && (pfd.revents & POLLIN)) {
        std::uint8_t chunk[256];
        const ssize_t n = ::read(m_master, chunk, std::min(sizeof chunk, length - bytes.size()));
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

void TestLibmodbus::readRequestsMatch()
{
    QRandomGenerator random(20261207);
    for (int i = 0; i < 40; ++i) {
        // Address 0 included: libmodbus sends it as a broadcast and waits for nothing.
        const auto address = static_cast<std::uint8_t>(i < 4 ? 0 : random.bounded(1, 248));
        const auto first = static_cast<std::uint16_t>(random.bounded(0, 0x10000));
        const auto count = static_cast<std::uint16_t>(random.bounded(1, 126));
        modbus_set_slave(m_context, address);
        std::uint16_t values[125];
        modbus_read_input_registers(m_context, first, count, values);
        const Frame ours = BuildReadRequest(address, first, count);
        QCOMPARE(Hex(Captured(ours.size())), Hex(ours.bytes()));
    }
}

void TestLibmodbus::writeRequestsMatch()
{
    QRandomGenerator random(7);
    for (int i = 0; i < 40; ++i) {
        const auto address = static_cast<std::uint8_t>(i < 4 ? 0 : random.bounded(1, 248));
        const auto first = static_cast<std::uint16_t>(random.bounded(0, 0x10000));
        // Our frames hold up to 11 registers; the commands write one or two.
        const int count = random.bounded(1, 12);
        std::uint16_t values[11];
        Bytes data;
        for (int r = 0; r < count; ++r) {
            values[r] = static_cast<std::uint16_t>(random.bounded(0, 0x10000));
            data.push_back(static_cast<std::uint8_t>(values[r] >> 8));
            data.push_back(static_cast<std::uint8_t>(values[r] & 0xFF));
        }
        modbus_set_slave(m_context, address);
        modbus_write_registers(m_context, first, count, values);
        const Frame ours = BuildWriteRequest(address, first, data);
        QCOMPARE(Hex(Captured(ours.size())), Hex(ours.bytes()));
    }
}

// The CRC starts from 0xFF in the byte sent first, so the first byte b of a frame picks table
// entry 0xFF ^ b: frames that start with each of the 256 bytes use every entry of both tables.
void TestLibmodbus::crcOfEveryTableEntryMatches()
{
    for (int first = 0; first < 256; ++first) {
        const std::uint8_t raw[] = {static_cast<std::uint8_t>(first), 0x04};
        QCOMPARE(modbus_send_raw_request(m_context, raw, 2), 4);
        const Bytes sent = Captured(4);
        QCOMPARE(sent.size(), std::size_t{4});
        const std::uint16_t ours = CalcCrc16(raw, 2);
        QCOMPARE(Hex(sent), Hex(Bytes{raw[0], raw[1], static_cast<std::uint8_t>(ours >> 8),
                                      static_cast<std::uint8_t>(ours & 0xFF)}));
    }
}

QTEST_GUILESS_MAIN(TestLibmodbus)
#include "test_libmodbus.moc"
