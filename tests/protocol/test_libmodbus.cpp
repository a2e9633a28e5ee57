#include "frame.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTest>

#include <modbus.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

// Our request frames against libmodbus as the independent Modbus master: libmodbus writes
// its request to one side of a pseudo-terminal, the test reads it from the other side and
// compares it byte for byte, CRC included, with what our builders make.
class TestLibmodbus : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void readRequestsMatch();
    void writeRequestsMatch();

private:
    Bytes Captured();

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

Bytes TestLibmodbus::Captured()
{
    Bytes bytes;
    pollfd pfd{m_master, POLLIN, 0};
    while (::poll(&pfd, 1, 50) > 0 && (pfd.revents & POLLIN)) {
        std::uint8_t chunk[256];
        const ssize_t n = ::read(m_master, chunk, sizeof chunk);
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
        QCOMPARE(Hex(Captured()), Hex(ours.bytes()));
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
        QCOMPARE(Hex(Captured()), Hex(ours.bytes()));
    }
}

QTEST_GUILESS_MAIN(TestLibmodbus)
#include "test_libmodbus.moc"
