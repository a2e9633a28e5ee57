// The serial port module on pseudo-terminals: the test holds the master side and plays the
// meter, the module opens the slave side through a QUORVEX_COM<n> override.

#include "comports.h"
#include "linesettings.h"
#include "port.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// One pseudo-terminal. The slave descriptor stays open so that the test can read the line
// settings the module applied; the module opens the slave by its path.
struct Pty
{
    int master = -1;
    int slave = -1;
    std::string path;

    Pty()
    {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = name;
            ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        }
    }
    ~Pty()
    {
        closeMaster();
        closeSlave();
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void closeMaster()
    {
        if (master >= 0) {
            ::close(master);
            master = -1;
        }
    }
    void closeSlave()
    {
        if (slave >= 0) {
            ::close(slave);
            slave = -1;
        }
    }

    // Writes everything to the master side, waiting for room as needed.
    bool send(const QByteArray& bytes) const
    {
        qsizetype done = 0;
        QElapsedTimer timer;
        timer.start();
        while (done < bytes.size() && timer.elapsed() < 2000) {
            const ssize_t n = ::write(master, bytes.constData() + done,
                                      static_cast<std::size_t>(bytes.size() - done));
            if (n > 0) {
                done += n;
            } else {
                pollfd entry{master, POLLOUT, 0};
                ::poll(&entry, 1, 50);
            }
        }
        return done == bytes.size();
    }

    // What the master side receives within the time given, up to wanted bytes.
    QByteArray receive(qsizetype wanted, int timeoutMs = 1000) const
    {
        QByteArray bytes;
        QElapsedTimer timer;
        timer.start();
        while (bytes.size() < wanted && timer.elapsed() < timeoutMs) {
            char chunk[4096];
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n > 0) {
                bytes.append(chunk, n);
            } else {
                pollfd entry{master, POLLIN, 0};
                ::poll(&entry, 1, 20);
            }
        }
        return bytes;
    }

    termios settings() const
    {
        termios t{};
        ::tcgetattr(slave, &t);
        return t;
    }
};

void MapCom(int n, const std::string& path)
{
    qputenv(QByteArray("QUORVEX_COM") + QByteArray::number(n), QByteArray::fromStdString(path));
}

QByteArray Pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return bytes;
}

bool OpenCom1()
{
    return PortOpen(1, 9600, 8, 0, 0, 4096, 4096, 1000);
}

// The read-back buffer of a test: filled with a marker so that bytes the module must not
// touch can be checked.
constexpr char kUntouched = static_cast<char>(0xA5);

// The line-error counters the probe reports; tests raise them to simulate a parity error.
std::uint64_t g_lineErrors = 0;
bool g_deviceHasCounters = true;

} // namespace

class TestPort : public QObject
{
    Q_OBJECT

  private slots:
    void init();
    void cleanup();

    void builtFramingHoldsWhatAPtyDrops_data();
    void builtFramingHoldsWhatAPtyDrops();

    void openAppliesRawSettingsAndCloseRestoresThem();
    void lineSettings_data();
    void lineSettings();
    void rejectedLineSettings_data();
    void rejectedLineSettings();
    void openFailures_data();
    void openFailures();
    void zeroQueueSizesFailAndClose();
    void openLocksTheDevice();
    void openFailsOnLockedDevice();
    void reopenClosesFirst();
    void closedPortDoesNothing();

    void readWithNothingQueuedReturnsAtOnce();
    void readTakesAtMostCapacityLessOne_data();
    void readTakesAtMostCapacityLessOne();
    void bytesPassUnchanged();
    void purgeDiscardsInput();
    void writeGivesUp_data();
    void writeGivesUp();
    void lineErrorBeforeRead_data();
    void lineErrorBeforeRead();
    void lineErrorBeforeWriteStillWrites();
    void vanishedDevice();
    void diagnosticsGoToStandardOutput();

    void serialDevicesInComOrder();
    void resolveComDevice_data();
    void resolveComDevice();
    void describeComPorts();

  private:
    QString diagnostics();
    QString firstDiagnosticLine() { return diagnostics().section('\n', 0, 0) + '\n'; }
    void makeFakeMachine(const QTemporaryDir& root);

    std::FILE* m_diagnostics = nullptr;
};

void TestPort::init()
{
    m_diagnostics = std::tmpfile();
    QVERIFY(m_diagnostics);
    PortSetDiagnosticStream(m_diagnostics);
    g_lineErrors = 0;
    g_deviceHasCounters = true;
    PortSetLineErrorProbe([](int, std::uint64_t& total) {
        total = g_lineErrors;
        return g_deviceHasCounters;
    });
}

void TestPort::cleanup()
{
    PortClose();
    PortSetLineErrorProbe({});
    PortSetDiagnosticStream(nullptr);
    std::fclose(m_diagnostics);
    m_diagnostics = nullptr;
    for (int n = 0; n <= 12; ++n) {
        qunsetenv((QByteArray("QUORVEX_COM") + QByteArray::number(n)).constData());
    }
}

QString TestPort::diagnostics()
{
    std::fflush(m_diagnostics);
    std::rewind(m_diagnostics);
    QByteArray text;
    char chunk[512];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, m_diagnostics)) > 0) {
        text.append(chunk, static_cast<qsizetype>(n));
    }
    std::fseek(m_diagnostics, 0, SEEK_END);
    return QString::fromUtf8(text);
}

void TestPort::openAppliesRawSettingsAndCloseRestoresThem()
{
    Pty pty;
    QVERIFY(!pty.path.empty());
    termios cooked = pty.settings();
    cfsetispeed(&cooked, B19200);
    cfsetospeed(&cooked, B19200);
    cooked.c_lflag |= ICANON | ECHO;
    cooked.c_iflag |= ICRNL | IXON;
    QCOMPARE(::tcsetattr(pty.slave, TCSANOW, &cooked), 0);
    MapCom(1, pty.path);

    QVERIFY(OpenCom1());
    QVERIFY(PortIsOpen());
    QCOMPARE(diagnostics(), QStringLiteral("成功开启端口 1.\n"));
    const termios raw = pty.settings();
    QCOMPARE(cfgetospeed(&raw), speed_t(B9600));
    QCOMPARE(raw.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    QCOMPARE(raw.c_iflag & (ICRNL | IXON | ISTRIP), tcflag_t(0));
    QCOMPARE(raw.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(raw.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));

    PortClose();
    QVERIFY(!PortIsOpen());
    const termios restored = pty.settings();
    QCOMPARE(cfgetospeed(&restored), speed_t(B19200));
    QCOMPARE(restored.c_lflag & (ICANON | ECHO), tcflag_t(ICANON | ECHO));
    QCOMPARE(restored.c_iflag & (ICRNL | IXON), tcflag_t(ICRNL | IXON));

    PortClose(); // a second close is harmless
    QVERIFY(!PortIsOpen());
}

// A pseudo-terminal keeps speed and stop bits but forces 8 data bits and no parity, so only
// the first two can be read back here; the others must still be accepted, or the simulated
// meter could not be reached with the parities the window offers.
void TestPort::lineSettings_data()
{
    QTest::addColumn<uint>("baud");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<uint>("speed");
    QTest::addColumn<bool>("twoStopBits");

    QTest::newRow("1200 8N1") << 1200u << 8 << 0 << 0 << uint(B1200) << false;
    QTest::newRow("2400 8N1") << 2400u << 8 << 0 << 0 << uint(B2400) << false;
    QTest::newRow("4800 8N1") << 4800u << 8 << 0 << 0 << uint(B4800) << false;
    QTest::newRow("9600 8N1") << 9600u << 8 << 0 << 0 << uint(B9600) << false;
    QTest::newRow("115200 8N1") << 115200u << 8 << 0 << 0 << uint(B115200) << false;
    QTest::newRow("9600 8O1") << 9600u << 8 << 1 << 0 << uint(B9600) << false;
    QTest::newRow("2400 8E1") << 2400u << 8 << 2 << 0 << uint(B2400) << false;
    QTest::newRow("mark") << 4800u << 8 << 3 << 0 << uint(B4800) << false;
    QTest::newRow("space") << 4800u << 8 << 4 << 0 << uint(B4800) << false;
    QTest::newRow("9600 7E2") << 9600u << 7 << 2 << 2 << uint(B9600) << true;
    QTest::newRow("one and a half sent as two") << 9600u << 8 << 0 << 1 << uint(B9600) << true;
}

void TestPort::lineSettings()
{
    QFETCH(uint, baud);
    QFETCH(int, dataBits);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(uint, speed);
    QFETCH(bool, twoStopBits);

    Pty pty;
    MapCom(3, pty.path);
    QVERIFY(PortOpen(3, baud, static_cast<std::uint8_t>(dataBits),
                     static_cast<std::uint8_t>(parity), static_cast<std::uint8_t>(stopBits), 4096,
                     4096, 1000));
    QCOMPARE(diagnostics(), QStringLiteral("成功开启端口 3.\n"));
    const termios applied = pty.settings();
    QCOMPARE(uint(cfgetispeed(&applied)), speed);
    QCOMPARE(uint(cfgetospeed(&applied)), speed);
    QCOMPARE((applied.c_cflag & CSTOPB) != 0, twoStopBits);

    // Changing the settings of the open port re-applies them.
    QVERIFY(PortSetState(2400, 8, 2, 0));
    const termios changed = pty.settings();
    QCOMPARE(cfgetospeed(&changed), speed_t(B2400));
    QCOMPARE(changed.c_cflag & CSTOPB, tcflag_t(0));
    QVERIFY(PortIsOpen());
}

void TestPort::rejectedLineSettings_data()
{
    QTest::addColumn<uint>("baud");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");

    QTest::newRow("baud 1234567") << 1234567u << 8 << 0 << 0;
    QTest::newRow("baud 9601") << 9601u << 8 << 0 << 0;
    QTest::newRow("baud 0") << 0u << 8 << 0 << 0;
    QTest::newRow("9 data bits") << 9600u << 9 << 0 << 0;
    QTest::newRow("4 data bits") << 9600u << 4 << 0 << 0;
    QTest::newRow("parity code 5") << 9600u << 8 << 5 << 0;
    QTest::newRow("stop-bits code 3") << 9600u << 8 << 0 << 3;
}

void TestPort::rejectedLineSettings()
{
    QFETCH(uint, baud);
    QFETCH(int, dataBits);
    QFETCH(int, parity);
    QFETCH(int, stopBits);

    Pty pty;
    const termios before = pty.settings();
    MapCom(2, pty.path);
    QVERIFY(!PortOpen(2, baud, static_cast<std::uint8_t>(dataBits),
                      static_cast<std::uint8_t>(parity), static_cast<std::uint8_t>(stopBits), 4096,
                      4096, 1000));
    QVERIFY(!PortIsOpen());
    QCOMPARE(firstDiagnosticLine(),
             QString::asprintf("错误: %d << 设置通讯端口参数失败.\n", EINVAL));
    QVERIFY(!diagnostics().contains(QStringLiteral("成功开启端口")));

    // Nothing of another rate was applied, and the device is free again.
    const termios after = pty.settings();
    QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
    QCOMPARE(after.c_lflag, before.c_lflag);
    const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

void TestPort::openFailures_data()
{
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<int>("error");

    QTest::newRow("number leads nowhere") << QByteArray() << ENOENT;
    QTest::newRow("missing device") << QByteArray("/dev/ttyQuorvexMissing") << ENOENT;
    QTest::newRow("not a terminal") << QByteArray("/dev/null") << ENOTTY;
    QTest::newRow("a directory") << QByteArray("/tmp") << EISDIR;
}

void TestPort::openFailures()
{
    QFETCH(QByteArray, device);
    QFETCH(int, error);

    // COM 97 has no device on any test machine unless it is mapped here.
    constexpr int kPort = 97;
    if (!device.isEmpty()) {
        MapCom(kPort, device.toStdString());
    } else {
        qunsetenv("QUORVEX_COM97");
    }
    QVERIFY(!PortOpen(kPort, 9600, 8, 0, 0, 4096, 4096, 1000));
    QVERIFY(!PortIsOpen());
    QCOMPARE(firstDiagnosticLine(),
             QString::asprintf("错误: %d << 打开通讯口失败,请检查是否已经安装串口设备.\n", error));
    // The second line names the device and the system's reason.
    const QString detail = diagnostics().section('\n', 1, 1);
    QVERIFY2(detail.startsWith(QStringLiteral("COM97 → ")), qPrintable(detail));
    QVERIFY2(detail.contains(QString::fromLocal8Bit(std::strerror(error))), qPrintable(detail));
    qunsetenv("QUORVEX_COM97");
}

void TestPort::zeroQueueSizesFailAndClose()
{
    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(!PortOpen(1, 9600, 8, 0, 0, 0, 4096, 1000));
    QVERIFY(!PortIsOpen());
    QCOMPARE(firstDiagnosticLine(),
             QString::asprintf("错误: %d << 设置通讯端口缓冲失败.\n", EINVAL));

    QVERIFY(OpenCom1());
    QVERIFY(PortSetBuffers(1, 1));
    QVERIFY(!PortSetBuffers(4096, 0));
    QVERIFY(!PortIsOpen());
}

void TestPort::openLocksTheDevice()
{
    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(OpenCom1());

    // A second opener is refused: by TIOCEXCL unless it runs as root, by the lock always.
    const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        QCOMPARE(errno, EBUSY);
    } else {
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), -1);
        QCOMPARE(errno, EWOULDBLOCK);
        ::close(fd);
    }

    PortClose();
    const int again = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(again >= 0);
    QCOMPARE(::flock(again, LOCK_EX | LOCK_NB), 0);
    ::close(again);
}

void TestPort::openFailsOnLockedDevice()
{
    Pty pty;
    MapCom(4, pty.path);
    const int holder = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);

    QVERIFY(!PortOpen(4, 9600, 8, 0, 0, 4096, 4096, 1000));
    QVERIFY(!PortIsOpen());
    QCOMPARE(
        firstDiagnosticLine(),
        QString::asprintf("错误: %d << 打开通讯口失败,请检查是否已经安装串口设备.\n", EWOULDBLOCK));

    ::close(holder);
    QVERIFY(PortOpen(4, 9600, 8, 0, 0, 4096, 4096, 1000));
}

void TestPort::reopenClosesFirst()
{
    Pty first;
    Pty second;
    MapCom(1, first.path);
    MapCom(2, second.path);
    const termios original = first.settings();
    const speed_t firstSpeed = cfgetospeed(&original);

    QVERIFY(OpenCom1());
    // The same device again: without closing first, the module would trip over its own lock.
    QVERIFY(PortOpen(1, 4800, 8, 0, 0, 4096, 4096, 1000));
    const termios reopened = first.settings();
    QCOMPARE(cfgetospeed(&reopened), speed_t(B4800));

    QVERIFY(PortOpen(2, 2400, 8, 0, 0, 4096, 4096, 1000));
    const termios released = first.settings();
    QCOMPARE(cfgetospeed(&released), firstSpeed);
    const int fd = ::open(first.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);

    // The port now talks to the second device only.
    const QByteArray frame("\x01\x04\x00\x00\x00\x1D\xF1\xC3", 8);
    QCOMPARE(PortWrite(8, reinterpret_cast<const std::uint8_t*>(frame.constData())), 8u);
    QCOMPARE(second.receive(8), frame);
    QCOMPARE(first.receive(1, 100), QByteArray());
}

void TestPort::closedPortDoesNothing()
{
    std::uint8_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), std::uint8_t(kUntouched));
    const std::uint8_t frame[4] = {1, 2, 3, 4};

    QVERIFY(!PortIsOpen());
    QCOMPARE(PortWrite(4, frame), 0u);
    QCOMPARE(PortRead(sizeof buffer, buffer, 1000), 0u);
    QVERIFY(!PortSetBuffers(4096, 4096));
    QVERIFY(!PortSetState(9600, 8, 0, 0));
    QVERIFY(!PortSetTimeouts(1000));
    PortPurge();
    QCOMPARE(PortInQueueCount(), 0u);
    QCOMPARE(PortOutQueueCount(), 0u);
    PortClose();
    PortClose();
    QVERIFY(!PortIsOpen());

    for (const std::uint8_t byte : buffer) {
        QCOMPARE(byte, std::uint8_t(kUntouched));
    }
    QCOMPARE(diagnostics(), QString());
}

void TestPort::readWithNothingQueuedReturnsAtOnce()
{
    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(OpenCom1());
    std::uint8_t buffer[1024];
    std::fill(std::begin(buffer), std::end(buffer), std::uint8_t(kUntouched));

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(PortRead(sizeof buffer, buffer, 1000), 0u);
    QVERIFY2(timer.elapsed() < 50, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(buffer[0], std::uint8_t(kUntouched));
}

void TestPort::readTakesAtMostCapacityLessOne_data()
{
    QTest::addColumn<int>("queued");
    QTest::addColumn<uint>("capacity");
    QTest::addColumn<uint>("firstRead");

    QTest::newRow("2000 queued, 1024 buffer") << 2000 << 1024u << 1023u;
    QTest::newRow("exactly capacity queued") << 1024 << 1024u << 1023u;
    QTest::newRow("fewer than capacity") << 63 << 1024u << 63u;
    QTest::newRow("capacity 2") << 10 << 2u << 1u;
    QTest::newRow("capacity 1") << 10 << 1u << 0u;
    QTest::newRow("capacity 0") << 10 << 0u << 0u;
}

void TestPort::readTakesAtMostCapacityLessOne()
{
    QFETCH(int, queued);
    QFETCH(uint, capacity);
    QFETCH(uint, firstRead);

    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(OpenCom1());
    const QByteArray sent = Pattern(queued);
    QVERIFY(pty.send(sent));
    QTRY_COMPARE_WITH_TIMEOUT(PortInQueueCount(), uint(queued), 2000);

    std::vector<std::uint8_t> buffer(capacity + 1, std::uint8_t(kUntouched));
    QCOMPARE(PortRead(capacity, buffer.data(), 1000), firstRead);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()), firstRead),
             sent.left(firstRead));
    for (std::size_t i = firstRead; i < buffer.size(); ++i) {
        QCOMPARE(buffer[i], std::uint8_t(kUntouched));
    }
    QCOMPARE(PortInQueueCount(), uint(queued) - firstRead);

    // The rest stays queued for the next read.
    std::vector<std::uint8_t> rest(4096);
    const std::uint32_t more = PortRead(4096, rest.data(), 1000);
    QCOMPARE(more, uint(queued) - firstRead);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(rest.data()), more), sent.mid(firstRead));
}

void TestPort::bytesPassUnchanged()
{
    // Binary frames carry every byte value, CR, LF, XON, XOFF and the control characters
    // included; none may be translated, swallowed or echoed.
    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(OpenCom1());
    QByteArray all(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<char>(i);
    }

    QCOMPARE(PortWrite(256, reinterpret_cast<const std::uint8_t*>(all.constData())), 256u);
    QCOMPARE(pty.receive(257, 300), all);

    QVERIFY(pty.send(all));
    QTRY_COMPARE_WITH_TIMEOUT(PortInQueueCount(), 256u, 2000);
    std::uint8_t buffer[1024];
    QCOMPARE(PortRead(sizeof buffer, buffer, 1000), 256u);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer), 256), all);
    QCOMPARE(pty.receive(1, 100), QByteArray());
}

void TestPort::purgeDiscardsInput()
{
    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(OpenCom1());
    QVERIFY(pty.send(Pattern(100)));
    QTRY_COMPARE_WITH_TIMEOUT(PortInQueueCount(), 100u, 2000);
    PortPurge();
    QCOMPARE(PortInQueueCount(), 0u);
    std::uint8_t buffer[16];
    QCOMPARE(PortRead(sizeof buffer, buffer, 0), 0u);
}

void TestPort::writeGivesUp_data()
{
    QTest::addColumn<uint>("writeTimeout");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::addColumn<bool>("partial");

    QTest::newRow("timeout 1000: nothing counts") << 1000u << 950 << 1500 << false;
    QTest::newRow("no driver limit") << 0u << 950 << 1500 << false;
    QTest::newRow("longer limit still 1000") << 5000u << 950 << 1500 << false;
    QTest::newRow("shorter limit ends short") << 200u << 180 << 700 << true;
}

void TestPort::writeGivesUp()
{
    QFETCH(uint, writeTimeout);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    QFETCH(bool, partial);

    // The other side never reads, so the device's queues fill and stay full.
    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(PortOpen(1, 9600, 8, 0, 0, 4096, 4096, writeTimeout));
    const QByteArray big = Pattern(4 * 1024 * 1024);

    QElapsedTimer timer;
    timer.start();
    const std::uint32_t written =
        PortWrite(big.size(), reinterpret_cast<const std::uint8_t*>(big.constData()));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= minMs && elapsed <= maxMs, qPrintable(QString::number(elapsed)));
    if (partial) {
        QVERIFY(written > 0);
        QVERIFY(written < uint(big.size()));
    } else {
        QCOMPARE(written, 0u);
    }
    QVERIFY(PortIsOpen());
}

void TestPort::lineErrorBeforeRead_data()
{
    QTest::addColumn<bool>("counters");
    QTest::addColumn<bool>("error");
    QTest::addColumn<bool>("countedFirst");
    QTest::addColumn<bool>("discarded");

    QTest::newRow("no error") << true << false << false << false;
    QTest::newRow("parity error") << true << true << false << true;
    // A queue count looks at the errors as a read does, so the read that follows finds none.
    QTest::newRow("error seen by a queue count") << true << true << true << false;
    QTest::newRow("device without counters") << false << true << false << false;
}

void TestPort::lineErrorBeforeRead()
{
    QFETCH(bool, counters);
    QFETCH(bool, error);
    QFETCH(bool, countedFirst);
    QFETCH(bool, discarded);

    g_deviceHasCounters = counters;
    g_lineErrors = 7; // whatever the device counted before the port was opened
    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(OpenCom1());
    const QByteArray damaged("\x01\x04\x3A\x00", 4);
    QVERIFY(pty.send(damaged));
    QTRY_COMPARE_WITH_TIMEOUT(PortInQueueCount(), 4u, 2000);

    if (error) {
        ++g_lineErrors;
    }
    if (countedFirst) {
        QCOMPARE(PortInQueueCount(), 4u);
    }
    std::uint8_t buffer[1024];
    if (discarded) {
        QCOMPARE(PortRead(sizeof buffer, buffer, 1000), 0u);
        QCOMPARE(PortInQueueCount(), 0u);
        // Only what arrives afterwards is read.
        const QByteArray later("\x01\x04\x02", 3);
        QVERIFY(pty.send(later));
        QTRY_COMPARE_WITH_TIMEOUT(PortInQueueCount(), 3u, 2000);
        QCOMPARE(PortRead(sizeof buffer, buffer, 1000), 3u);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer), 3), later);
    } else {
        QCOMPARE(PortRead(sizeof buffer, buffer, 1000), 4u);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer), 4), damaged);
    }
}

void TestPort::lineErrorBeforeWriteStillWrites()
{
    Pty pty;
    MapCom(1, pty.path);
    QVERIFY(OpenCom1());
    ++g_lineErrors;
    const QByteArray frame("\x00\x10\x00\x00\x00\x01\x02\x00\x05\x00\x00", 11);
    QCOMPARE(PortWrite(11, reinterpret_cast<const std::uint8_t*>(frame.constData())), 11u);
    QCOMPARE(pty.receive(11), frame);

    // The write took note of the error: the reply that follows is not thrown away for it.
    QVERIFY(pty.send(frame));
    QTRY_COMPARE_WITH_TIMEOUT(PortInQueueCount(), 11u, 2000);
    std::uint8_t buffer[64];
    QCOMPARE(PortRead(sizeof buffer, buffer, 1000), 11u);
}

void TestPort::vanishedDevice()
{
    {
        Pty pulled;
        MapCom(1, pulled.path);
        QVERIFY(OpenCom1());
        pulled.closeSlave();
        pulled.closeMaster(); // the adapter is pulled out

        const std::uint8_t frame[8] = {0x01, 0x04, 0x00, 0x00, 0x00, 0x1D, 0xF1, 0xC3};
        std::uint8_t buffer[1024];
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(PortWrite(sizeof frame, frame), 0u);
            QCOMPARE(PortRead(sizeof buffer, buffer, 1000), 0u);
            QCOMPARE(PortInQueueCount(), 0u);
        }
        QVERIFY2(timer.elapsed() < 200, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(PortIsOpen());
        PortClose();
        QVERIFY(!PortIsOpen());
    }

    // The adapter comes back under another name.
    Pty replacement;
    MapCom(1, replacement.path);
    QVERIFY(OpenCom1());
    const QByteArray frame("\x01\x04\x00\x00\x00\x1D\xF1\xC3", 8);
    QCOMPARE(PortWrite(8, reinterpret_cast<const std::uint8_t*>(frame.constData())), 8u);
    QCOMPARE(replacement.receive(8), frame);
}

void TestPort::diagnosticsGoToStandardOutput()
{
    PortSetDiagnosticStream(nullptr);
    std::FILE* capture = std::tmpfile();
    QVERIFY(capture);
    std::fflush(stdout);
    const int savedStdout = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(capture), STDOUT_FILENO);

    Pty pty;
    MapCom(5, pty.path);
    const bool opened = PortOpen(5, 9600, 8, 0, 0, 4096, 4096, 1000);

    std::fflush(stdout);
    ::dup2(savedStdout, STDOUT_FILENO);
    ::close(savedStdout);
    QVERIFY(opened);
    std::rewind(capture);
    char text[256] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, capture);
    std::fclose(capture);
    QCOMPARE(QByteArray(text, static_cast<qsizetype>(n)), QByteArray("成功开启端口 5.\n"));
}

void TestPort::makeFakeMachine(const QTemporaryDir& root)
{
    QDir dir(root.path());
    QVERIFY(dir.mkpath("dev"));
    for (const char* name :
         {"ttyUSB10", "ttyUSB2", "ttyACM1", "ttyACM0", "ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyS11",
          "ttyUSB", "ttyUSBx", "ttyprintk", "tty1", "ttyAMA0"}) {
        QFile file(dir.filePath(QStringLiteral("dev/") + name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    // ttyS0: placeholder without a UART; ttyS1 and ttyS11: real; ttyS2: type set but no
    // driver bound; ttyS3: no sysfs entry, and the file under dev is no terminal.
    const struct
    {
        const char* name;
        const char* type;
        bool driver;
    } uarts[] = {{"ttyS0", "0\n", true},
                 {"ttyS1", "4\n", true},
                 {"ttyS11", "4\n", true},
                 {"ttyS2", "4\n", false}};
    for (const auto& uart : uarts) {
        const QString classDir = QStringLiteral("sys/class/tty/") + uart.name;
        QVERIFY(dir.mkpath(classDir + (uart.driver ? "/device/driver" : "/device")));
        QFile type(dir.filePath(classDir + "/type"));
        QVERIFY(type.open(QIODevice::WriteOnly));
        type.write(uart.type);
    }
}

void TestPort::serialDevicesInComOrder()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    makeFakeMachine(root);
    const std::string dev = root.path().toStdString() + "/dev";
    const std::vector<std::string> expected = {dev + "/ttyUSB2", dev + "/ttyUSB10",
                                               dev + "/ttyACM0", dev + "/ttyACM1",
                                               dev + "/ttyS1",   dev + "/ttyS11"};
    QCOMPARE(ListSerialDevices(dev, root.path().toStdString() + "/sys"), expected);

    QTemporaryDir empty;
    QVERIFY(ListSerialDevices(empty.path().toStdString(), empty.path().toStdString()).empty());
    QVERIFY(ListSerialDevices("/nonexistent-quorvex", "/nonexistent-quorvex").empty());
}

void TestPort::resolveComDevice_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("override");
    QTest::addColumn<QString>("expected"); // relative to the fake dev root, or absolute

    QTest::newRow("COM1 first USB adapter") << 1 << QByteArray() << "ttyUSB2";
    QTest::newRow("COM2 USB by number") << 2 << QByteArray() << "ttyUSB10";
    QTest::newRow("COM3 ACM after USB") << 3 << QByteArray() << "ttyACM0";
    QTest::newRow("COM5 real UART") << 5 << QByteArray() << "ttyS1";
    QTest::newRow("COM6 last") << 6 << QByteArray() << "ttyS11";
    QTest::newRow("COM7 nothing") << 7 << QByteArray() << "";
    QTest::newRow("COM0 nothing") << 0 << QByteArray() << "";
    QTest::newRow("negative") << -3 << QByteArray() << "";
    QTest::newRow("override wins") << 2 << QByteArray("/dev/pts/7") << "/dev/pts/7";
    QTest::newRow("override beyond the scan") << 10 << QByteArray("/dev/ttyS0") << "/dev/ttyS0";
    QTest::newRow("empty override ignored") << 3 << QByteArray("") << "ttyACM0";
}

void TestPort::resolveComDevice()
{
    QFETCH(int, n);
    QFETCH(QByteArray, override);
    QFETCH(QString, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    makeFakeMachine(root);
    const std::string dev = root.path().toStdString() + "/dev";
    if (!override.isNull()) {
        qputenv((QByteArray("QUORVEX_COM") + QByteArray::number(n)).constData(), override);
    }
    std::string want = expected.toStdString();
    if (!want.empty() && want.front() != '/') {
        want = dev + "/" + want;
    }
    QCOMPARE(ResolveComDevice(n, dev, root.path().toStdString() + "/sys"), want);
}

void TestPort::describeComPorts()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    makeFakeMachine(root);
    const std::string dev = root.path().toStdString() + "/dev";
    MapCom(2, "/dev/pts/4");

    const std::string expected = "COM1 → " + dev + "/ttyUSB2\n" +
                                 "COM2 → /dev/pts/4\n"
                                 "COM3 → " +
                                 dev + "/ttyACM0\n" + "COM4 → " + dev + "/ttyACM1\n" + "COM5 → " +
                                 dev + "/ttyS1\n" + "COM6 → " + dev +
                                 "/ttyS11\n"
                                 "COM7 → (no device)";
    QCOMPARE(DescribeComPorts(1, 7, dev, root.path().toStdString() + "/sys"), expected);
}

// A pseudo-terminal keeps no parity, so the framing is checked on the settings the module
// builds before it applies them.
void TestPort::builtFramingHoldsWhatAPtyDrops_data()
{
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<unsigned>("cflagSet");
    QTest::addColumn<unsigned>("cflagClear");
    QTest::newRow("8N1") << 8 << 0 << 0 << unsigned(CS8) << unsigned(PARENB | CSTOPB);
    QTest::newRow("8O1") << 8 << 1 << 0 << unsigned(CS8 | PARENB | PARODD) << unsigned(CSTOPB | CMSPAR);
    QTest::newRow("8E1") << 8 << 2 << 0 << unsigned(CS8 | PARENB) << unsigned(PARODD | CSTOPB | CMSPAR);
    QTest::newRow("8M1") << 8 << 3 << 0 << unsigned(CS8 | PARENB | CMSPAR | PARODD) << 0u;
    QTest::newRow("8S2") << 8 << 4 << 2 << unsigned(CS8 | PARENB | CMSPAR | CSTOPB) << unsigned(PARODD);
    QTest::newRow("7E1.5") << 7 << 2 << 1 << unsigned(CS7 | PARENB | CSTOPB) << unsigned(PARODD);
}

void TestPort::builtFramingHoldsWhatAPtyDrops()
{
    QFETCH(int, dataBits);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(unsigned, cflagSet);
    QFETCH(unsigned, cflagClear);
    termios settings{};
    settings.c_cflag = PARENB | PARODD | CSTOPB | CS5 | CRTSCTS; // leftovers of the device
    QCOMPARE(BuildLineSettings(settings, 9600, std::uint8_t(dataBits), std::uint8_t(parity), std::uint8_t(stopBits)),
             LineSettings::Built);
    QCOMPARE(settings.c_cflag & CSIZE, cflagSet & CSIZE);
    QCOMPARE(settings.c_cflag & (cflagSet & ~CSIZE), cflagSet & ~CSIZE);
    QCOMPARE(settings.c_cflag & cflagClear, 0u);
    QVERIFY(settings.c_cflag & (CREAD | CLOCAL));
    QVERIFY(settings.c_cflag & CRTSCTS); // flow control stays as the device had it
    QCOMPARE(cfgetospeed(&settings), speed_t(B9600));
    QCOMPARE(BuildLineSettings(settings, 9601, 8, 0, 0), LineSettings::NoSuchBaudRate);
    QCOMPARE(BuildLineSettings(settings, 9600, 8, 5, 0), LineSettings::NoSuchFraming);
}

QTEST_GUILESS_MAIN(TestPort)
#include "test_port.moc"
