// SerialPort on pseudo-terminals: lock files (in a temporary QUORVEX_LOCK_DIR), settings read
// back, driver modes through the driver seam, bounded waits, two ports on two threads.

#include "linesettings.h"
#include "port.h"
#include "serialport.h"
#include "uucplock.h"
#include "waits.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pseudo-terminal in its default, cooked state; the test holds the master side.
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
        }
    }
    ~Pty()
    {
        ::close(master);
        ::close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    QString lockName() const
    {
        return "LCK.." + QFileInfo(QString::fromStdString(path)).fileName();
    }
    speed_t speed() const
    {
        termios t{};
        ::tcgetattr(slave, &t);
        return cfgetospeed(&t);
    }
    // Whether the device is as it was found: cooked, and free for another program.
    bool untouched() const
    {
        termios t{};
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free && ::tcgetattr(slave, &t) == 0 && (t.c_lflag & ICANON);
    }
    // Sends back the next two bytes the port writes; false if they do not come.
    bool echoTwo() const
    {
        char bytes[2];
        pollfd entry{master, POLLIN, 0};
        return ::poll(&entry, 1, 1000) == 1 && ::read(master, bytes, 2) == 2 &&
               ::write(master, bytes, 2) == 2;
    }
};

QByteArray FileText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(absent)");
}

bool WriteFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

QByteArray LockText(pid_t pid)
{
    return QString::asprintf("%10d\n", int(pid)).toLatin1();
}

QString InUse(const std::string& device, pid_t pid)
{
    return QStringLiteral("%1 is in use by process %2 (%3)")
        .arg(QString::fromStdString(device))
        .arg(pid)
        .arg(QString::fromStdString(ProcessName(pid)));
}

// The pid of a process that no longer exists.
pid_t DeadChild()
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return child;
}

// The diagnostic stream of the free functions, captured while the object lives.
struct Diagnostics
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* stream = ::open_memstream(&text, &size);

    Diagnostics() { PortSetDiagnosticStream(stream); }
    ~Diagnostics()
    {
        PortSetDiagnosticStream(nullptr);
        std::fclose(stream);
        std::free(text);
    }
    QString read()
    {
        std::fflush(stream);
        return QString::fromUtf8(text, qsizetype(size));
    }
};

// The RS-485 and low-latency settings of a UART or USB serial driver, which a pty lacks.
// Requests it does not know fail with ENOTTY, as on a pty.
struct FakeDriver
{
    bool hasRs485 = false;
    serial_rs485 rs485{};
    std::uint32_t rs485Keeps = ~0u; // the flags the hardware can do
    bool hasSerial = false;
    serial_struct serial{};
    int setSerialError = 0;

    SerialDriverCalls calls()
    {
        SerialDriverCalls calls;
        calls.control = [this](int, unsigned long request, void* argument) {
            auto* rs485Argument = static_cast<serial_rs485*>(argument);
            auto* serialArgument = static_cast<serial_struct*>(argument);
            errno = ENOTTY;
            if (request == TIOCSRS485 && hasRs485) {
                rs485 = *rs485Argument;
                rs485.flags &= rs485Keeps;
            }
            if ((request == TIOCGRS485 || request == TIOCSRS485) && hasRs485) {
                *rs485Argument = rs485;
                return 0;
            }
            if (request == TIOCGSERIAL && hasSerial) {
                *serialArgument = serial;
                return 0;
            }
            if (request == TIOCSSERIAL && hasSerial) {
                errno = setSerialError;
                serial = setSerialError ? serial : *serialArgument;
                return setSerialError ? -1 : 0;
            }
            return -1;
        };
        return calls;
    }
};

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lockHolderText_data();
    void lockHolderText();
    void lockFiles_data();
    void lockFiles();
    void lockFolders_data();
    void lockFolders();
    void lockAcrossProcesses_data();
    void lockAcrossProcesses();
    void lockFollowsLinks();
    void settingsMismatch_data();
    void settingsMismatch();
    void settingsNotTakenAreRefused_data();
    void settingsNotTakenAreRefused();
    void driverModes_data();
    void driverModes();
    void freeFunctionsReport();
    void waitsAreClamped();
    void waitReadable_data();
    void waitReadable();
    void twoPortsOnTwoThreads();

private:
    QString lockPath(const Pty& pty) const { return m_locks->filePath(pty.lockName()); }

    std::unique_ptr<QTemporaryDir> m_locks;
};

void TestSerialPort::init()
{
    m_locks = std::make_unique<QTemporaryDir>();
    QVERIFY(m_locks->isValid());
    qputenv("QUORVEX_LOCK_DIR", m_locks->path().toLocal8Bit());
}

void TestSerialPort::cleanup()
{
    PortClose();
    PortSetDriverCalls({});
    qunsetenv("QUORVEX_LOCK_DIR");
    qunsetenv("QUORVEX_COM5");
    m_locks.reset();
}

// clang-format off
// Lock files of other programs come in a few dialects. A text that names no process is
// stale; one misread as a process would be signalled (kill(-5) is a process group).
void TestSerialPort::lockHolderText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("pid");

    QTest::newRow("ten characters") << QByteArray("      1234\n") << 1234;
    QTest::newRow("zero padded, no newline") << QByteArray("0000000042") << 42;
    QTest::newRow("name and user after") << QByteArray("      1234 minicom root\n") << 1234;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("letters after digits") << QByteArray("12ab\n") << 0;
    QTest::newRow("negative") << QByteArray("-5\n") << 0;
    QTest::newRow("zero") << QByteArray("0\n") << 0;
    QTest::newRow("beyond a pid") << QByteArray("99999999999\n") << 0;
    QTest::newRow("binary") << QByteArray("\xd2\x04\x00\x00", 4) << 0;
}
// clang-format on

void TestSerialPort::lockHolderText()
{
    QFETCH(QByteArray, text);
    QFETCH(int, pid);
    QCOMPARE(int(UucpLockHolder(text.toStdString())), pid);
}

// clang-format off
void TestSerialPort::lockFiles_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QByteArray>("found"); // the lock file's text, %1 the holder's pid
    QTest::addColumn<bool>("opens");

    QTest::newRow("no lock") << "" << QByteArray() << true;
    QTest::newRow("live: the parent") << "parent" << QByteArray("%1\n") << false;
    QTest::newRow("live, name and user after") << "parent" << QByteArray("%1 minicom root\n") << false;
    QTest::newRow("live: another port here") << "another port" << QByteArray() << false;
    QTest::newRow("stale: a dead process") << "dead child" << QByteArray("%1\n") << true;
    QTest::newRow("stale: our pid before us") << "self" << QByteArray("%1\n") << true;
    QTest::newRow("stale: garbage") << "" << QByteArray("garbage\n") << true;
}
// clang-format on

void TestSerialPort::lockFiles()
{
    QFETCH(QString, holder);
    QFETCH(QByteArray, found);
    QFETCH(bool, opens);

    Pty pty;
    SerialPort other;
    const pid_t pid = holder == "parent"       ? ::getppid()
                      : holder == "dead child" ? DeadChild()
                                               : ::getpid();
    if (holder == "another port") {
        QVERIFY(other.open(pty.path, {}));
    } else if (!found.isNull()) {
        const QString text = QString::fromLatin1(found);
        QVERIFY(WriteFile(lockPath(pty), (holder.isEmpty() ? text : text.arg(pid)).toLatin1()));
    }
    const QByteArray before = FileText(lockPath(pty));

    SerialPort port;
    QCOMPARE(port.open(pty.path, {}), opens);
    if (!opens) {
        QCOMPARE(QString::fromStdString(port.lastError()), InUse(pty.path, pid));
        QCOMPARE(port.lastFailure(), SerialFailure::Open);
        QCOMPARE(port.lastErrorNumber(), EBUSY);
        QCOMPARE(FileText(lockPath(pty)), before);
        // Refused before the device was opened: the holder's line was not disturbed.
        QVERIFY(holder == "another port" || pty.untouched());
        return;
    }
    QVERIFY(port.lastError().empty());
    QCOMPARE(FileText(lockPath(pty)), LockText(::getpid()));
    QVERIFY(QFileInfo(lockPath(pty)).permissions() & QFile::ReadOther);
    // The lock and nothing else: no temporary file is left behind.
    QCOMPARE(QDir(m_locks->path()).entryList(QDir::Files), QStringList{pty.lockName()});
    port.close();
    QCOMPARE(FileText(lockPath(pty)), QByteArray("(absent)"));
}

// clang-format off
// The lock goes to the first folder that takes it; a lock in any folder is honoured.
void TestSerialPort::lockFolders_data()
{
    QTest::addColumn<QString>("folders");  // QUORVEX_LOCK_DIR; "plain" is a file
    QTest::addColumn<QString>("existing"); // a lock found: "folder:live" or "folder:dead"
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("lockIn");

    QTest::newRow("first missing") << "missing:b" << "" << true << "b";
    QTest::newRow("first not a folder") << "plain:b" << "" << true << "b";
    QTest::newRow("live lock in the second") << "a:b" << "b:live" << false << "";
    QTest::newRow("stale lock in the second") << "a:b" << "b:dead" << true << "a";
    QTest::newRow("none writable: opens without") << "missing:plain" << "" << true << "";
}
// clang-format on

void TestSerialPort::lockFolders()
{
    QFETCH(QString, folders);
    QFETCH(QString, existing);
    QFETCH(bool, opens);
    QFETCH(QString, lockIn);

    const QDir root(m_locks->path());
    QVERIFY(root.mkpath("a") && root.mkpath("b") && WriteFile(root.filePath("plain"), "x"));
    QStringList paths;
    for (const QString& folder : folders.split(':')) {
        paths << root.filePath(folder);
    }
    qputenv("QUORVEX_LOCK_DIR", paths.join(':').toLocal8Bit());
    Pty pty;
    const auto lockFileIn = [&](const QString& folder) {
        return root.filePath(folder + '/' + pty.lockName());
    };
    if (!existing.isEmpty()) {
        const pid_t pid = existing.endsWith("live") ? ::getppid() : DeadChild();
        QVERIFY(WriteFile(lockFileIn(existing.section(':', 0, 0)), LockText(pid)));
    }

    SerialPort port;
    QCOMPARE(port.open(pty.path, {}), opens);
    for (const QString folder : {"a", "b"}) {
        QCOMPARE(QFile::exists(lockFileIn(folder)),
                 folder == lockIn || existing == folder + ":live");
    }
    QCOMPARE(QString::fromStdString(port.notes()),
             opens && lockIn.isEmpty() ? "no lock file: " + paths.first() + " is not writable"
                                       : QString());
}

// clang-format off
// What other processes see: a live holder's name, and no lock left after exits that skip
// the close, while a forked child's exit leaves its parent's lock alone.
void TestSerialPort::lockAcrossProcesses_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("output");

    QTest::newRow("held by a live process") << "hold" << "open";
    QTest::newRow("exit without close") << "exit" << "open";
    QTest::newRow("exit without PortClose") << "exit-com" << "";
    QTest::newRow("a forked child exits") << "fork-exit" << "kept";
}
// clang-format on

void TestSerialPort::lockAcrossProcesses()
{
    QFETCH(QString, mode);
    QFETCH(QString, output);

    Pty pty;
    qputenv("QUORVEX_COM5", QByteArray::fromStdString(pty.path));
    QProcess helper;
    helper.setStandardErrorFile(QProcess::nullDevice());
    helper.start(QStringLiteral(QUORVEX_LOCK_HELPER),
                 {mode, mode == "exit-com" ? "5" : QString::fromStdString(pty.path)});
    QVERIFY(helper.waitForStarted(5000));
    QByteArray printed;
    if (mode == "hold") {
        QVERIFY(helper.waitForReadyRead(5000));
        printed = helper.readLine();
        SerialPort port;
        QVERIFY(!port.open(pty.path, {}));
        QCOMPARE(QString::fromStdString(port.lastError()),
                 InUse(pty.path, pid_t(helper.processId())));
        QVERIFY(port.lastError().ends_with("(lockholder)"));
        helper.closeWriteChannel();
    }
    QVERIFY(helper.waitForFinished(5000));
    QCOMPARE(helper.exitCode(), 0);
    QCOMPARE((printed + helper.readAll()).trimmed(), output.toLatin1());
    QVERIFY(!QFile::exists(lockPath(pty)));
    // A SerialPort nobody closed leaves the line settings behind, as any program would.
    QVERIFY(mode == "exit" || pty.untouched());
    SerialPort port;
    QVERIFY(port.open(pty.path, {}));
}

// A link such as /dev/serial/by-id/... locks the device it leads to, under that device's
// name, where other programs look.
void TestSerialPort::lockFollowsLinks()
{
    Pty pty;
    const QString link = m_locks->filePath("by-id-adapter");
    QVERIFY(QFile::link(QString::fromStdString(pty.path), link));
    SerialPort viaLink;
    QVERIFY(viaLink.open(link.toStdString(), {}));
    QCOMPARE(FileText(lockPath(pty)), LockText(::getpid()));
    SerialPort direct;
    QVERIFY(!direct.open(pty.path, {}));
    QCOMPARE(QString::fromStdString(direct.lastError()), InUse(pty.path, ::getpid()));
}

// clang-format off
void TestSerialPort::settingsMismatch_data()
{
    QTest::addColumn<uint>("wantedSpeed");
    QTest::addColumn<uint>("wantedFlags");
    QTest::addColumn<uint>("appliedSpeed");
    QTest::addColumn<uint>("appliedFlags");
    QTest::addColumn<bool>("framingMayDrop");
    QTest::addColumn<QString>("mismatch");

    const uint e8n1 = CS8 | CREAD | CLOCAL;
    QTest::newRow("all taken, other flags aside") << uint(B9600) << e8n1 << uint(B9600) << uint(CS8 | HUPCL) << false << "";
    QTest::newRow("rate kept") << uint(B9600) << e8n1 << uint(B4800) << e8n1 << false << "4800 baud instead of 9600 baud";
    QTest::newRow("rate with no constant") << uint(B2400) << e8n1 << uint(CBAUDEX) << e8n1 << true << "a rate termios has no constant for instead of 2400 baud";
    QTest::newRow("size") << uint(B9600) << uint(CS7) << uint(B9600) << uint(CS8) << false << "8 data bits instead of 7 data bits";
    QTest::newRow("odd for mark") << uint(B9600) << uint(CS8 | PARENB | PARODD | CMSPAR) << uint(B9600) << uint(CS8 | PARENB | PARODD) << false << "odd parity instead of mark parity";
    QTest::newRow("pty: size and parity may drop") << uint(B9600) << uint(CS7 | PARENB) << uint(B9600) << uint(CS8) << true << "";
    QTest::newRow("several, stop bits even on a pty") << uint(B9600) << uint(CS8 | CSTOPB) << uint(B19200) << uint(CS8) << true << "19200 baud instead of 9600 baud, one stop bit instead of two stop bits";
}
// clang-format on

void TestSerialPort::settingsMismatch()
{
    QFETCH(uint, wantedSpeed);
    QFETCH(uint, wantedFlags);
    QFETCH(uint, appliedSpeed);
    QFETCH(uint, appliedFlags);
    QFETCH(bool, framingMayDrop);
    QFETCH(QString, mismatch);

    termios wanted{};
    termios applied{};
    wanted.c_cflag = wantedFlags;
    applied.c_cflag = appliedFlags;
    QCOMPARE(cfsetspeed(&wanted, wantedSpeed), 0);
    // A driver reports a rate it has no constant for as BOTHER, which cfsetspeed refuses.
    if (cfsetspeed(&applied, appliedSpeed) != 0) {
        applied.c_cflag = (applied.c_cflag & ~(CBAUD | CBAUDEX)) | appliedSpeed;
    }
    QCOMPARE(QString::fromStdString(LineSettingsMismatch(wanted, applied, framingMayDrop)),
             mismatch);
}

// clang-format off
// A driver that answers tcsetattr with success but keeps its speed or drops the stop bit:
// the port must not stay open at settings other than those asked for.
void TestSerialPort::settingsNotTakenAreRefused_data()
{
    QTest::addColumn<bool>("keepSpeed");
    QTest::addColumn<bool>("freeFunctions");
    QTest::addColumn<QString>("reason");

    QTest::newRow("speed kept") << true << false << "4800 baud instead of 9600 baud";
    QTest::newRow("stop bit dropped") << false << false << "one stop bit instead of two stop bits";
    QTest::newRow("speed kept, PortOpen") << true << true << "4800 baud instead of 9600 baud";
}
// clang-format on

void TestSerialPort::settingsNotTakenAreRefused()
{
    QFETCH(bool, keepSpeed);
    QFETCH(bool, freeFunctions);
    QFETCH(QString, reason);

    Pty pty;
    termios original{};
    QVERIFY(::tcgetattr(pty.slave, &original) == 0 && cfsetspeed(&original, B4800) == 0 &&
            ::tcsetattr(pty.slave, TCSANOW, &original) == 0);
    SerialDriverCalls calls;
    calls.setAttributes = [&](int fd, const termios& settings) {
        termios stubborn = settings;
        if (keepSpeed) {
            cfsetspeed(&stubborn, B4800);
        }
        stubborn.c_cflag &= keepSpeed ? ~0u : ~tcflag_t(CSTOPB);
        return ::tcsetattr(fd, TCSANOW, &stubborn);
    };
    const QString expected = QString::fromStdString(pty.path) +
                             ": the driver did not take the line settings (" + reason + ")";
    if (freeFunctions) {
        qputenv("QUORVEX_COM5", QByteArray::fromStdString(pty.path));
        Diagnostics diagnostics;
        PortSetDriverCalls(calls);
        QVERIFY(!PortOpen(5, 9600, 8, 0, 0, 4096, 4096, 1000));
        QCOMPARE(diagnostics.read(),
                 QString::asprintf("错误: %d << 设置通讯端口参数失败.\n", EINVAL) + "COM5 → " +
                     expected + ".\n");
        QCOMPARE(QString::fromStdString(PortLastError()), "COM5 → " + expected);
        QVERIFY(!PortIsOpen());
    } else {
        SerialPort port;
        port.setDriverCalls(calls);
        QVERIFY(!port.open(pty.path, SerialSettings{9600, 8, 0, 2}));
        QCOMPARE(QString::fromStdString(port.lastError()), expected);
        QCOMPARE(port.lastFailure(), SerialFailure::ApplySettings);
        QVERIFY(!port.isOpen());
    }
    QCOMPARE(pty.speed(), speed_t(B4800));
    QVERIFY(pty.untouched());
    QVERIFY(!QFile::exists(lockPath(pty)));
}

// clang-format off
// RS-485 and low latency through the driver seam, and on a real pty.
void TestSerialPort::driverModes_data()
{
    QTest::addColumn<QString>("driver"); // "pty": no fake
    QTest::addColumn<bool>("enableRs485");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("text"); // notes, or the reason after "<device>: "

    QTest::newRow("pty") << "pty" << false << true << "";
    QTest::newRow("pty, RS-485 asked") << "pty" << true << false << "RS-485 mode cannot be turned on: " + QString::fromLocal8Bit(std::strerror(ENOTTY));
    QTest::newRow("UART in RS-485 mode, asked") << "rs485 on" << true << true << "RS-485 mode as configured by the driver";
    QTest::newRow("UART, RS-485 asked") << "rs485 off" << true << true << "RS-485 mode turned on (RTS high while sending)";
    QTest::newRow("UART, RS-485 not asked") << "rs485 off" << false << true << "";
    QTest::newRow("UART without RTS on send") << "rs485 no rts" << true << false << "the driver did not turn on RS-485 mode with RTS high while sending";
    QTest::newRow("FTDI") << "ftdi" << false << true << "";
    QTest::newRow("FTDI, low latency refused") << "ftdi eperm" << false << true << "low latency refused: " + QString::fromLocal8Bit(std::strerror(EPERM));
}
// clang-format on

void TestSerialPort::driverModes()
{
    QFETCH(QString, driver);
    QFETCH(bool, enableRs485);
    QFETCH(bool, opens);
    QFETCH(QString, text);

    FakeDriver fake;
    fake.hasRs485 = driver.startsWith("rs485");
    fake.rs485.flags = driver == "rs485 on" ? SER_RS485_ENABLED : SER_RS485_RTS_AFTER_SEND;
    fake.rs485.delay_rts_before_send = 3;
    fake.rs485Keeps = driver == "rs485 no rts" ? ~std::uint32_t(SER_RS485_RTS_ON_SEND) : ~0u;
    fake.hasSerial = driver.startsWith("ftdi");
    fake.serial.flags = ASYNC_SKIP_TEST;
    fake.setSerialError = driver == "ftdi eperm" ? EPERM : 0;
    const FakeDriver found = fake;

    Pty pty;
    SerialPort port;
    if (driver != "pty") {
        port.setDriverCalls(fake.calls());
    }
    SerialSettings settings;
    settings.enableRs485 = enableRs485;
    QCOMPARE(port.open(pty.path, settings), opens);
    QCOMPARE(QString::fromStdString(opens ? port.notes() : port.lastError()),
             opens ? text : QString::fromStdString(pty.path) + ": " + text);
    if (opens) {
        const bool turnedOn = driver == "rs485 off" && enableRs485;
        QCOMPARE(fake.rs485.flags, turnedOn
                                       ? std::uint32_t(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND)
                                       : found.rs485.flags);
        QCOMPARE(fake.rs485.delay_rts_before_send, 3u); // the board's delays stay
        QCOMPARE(fake.serial.flags,
                 driver == "ftdi" ? int(ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY) : found.serial.flags);
    }
    // Closing leaves the driver as it was found, for the next program.
    port.close();
    QCOMPARE(fake.rs485.flags, found.rs485.flags);
    QCOMPARE(fake.serial.flags, found.serial.flags);
    QVERIFY(pty.untouched());
}

// The window's message box gets PortLastError; the success line stays as it was, a remark
// of the port going on a line of its own.
void TestSerialPort::freeFunctionsReport()
{
    Pty pty;
    qputenv("QUORVEX_COM5", QByteArray::fromStdString(pty.path));
    FakeDriver fake;
    fake.hasRs485 = true;
    fake.rs485.flags = SER_RS485_ENABLED;
    PortSetDriverCalls(fake.calls());
    Diagnostics diagnostics;
    QVERIFY(PortOpen(5, 9600, 8, 0, 0, 4096, 4096, 1000));
    QCOMPARE(diagnostics.read(),
             QStringLiteral("成功开启端口 5.\nRS-485 mode as configured by the driver\n"));
    QCOMPARE(PortNotes(), std::string("RS-485 mode as configured by the driver"));
    QCOMPARE(PortLastError(), std::string());

    PortClose();
    QCOMPARE(PortNotes(), std::string());
    SerialPort holder;
    QVERIFY(holder.open(pty.path, {}));
    QVERIFY(!PortOpen(5, 9600, 8, 0, 0, 4096, 4096, 1000));
    const QString reason = "COM5 → " + InUse(pty.path, ::getpid());
    QCOMPARE(QString::fromStdString(PortLastError()), reason);
    QVERIFY(diagnostics.read().endsWith(
        QString::asprintf("错误: %d << 打开通讯口失败,请检查是否已经安装串口设备.\n", EBUSY) +
        reason + ".\n"));
}

// A wait past INT_MAX ms once became a negative poll timeout: a wait for ever.
void TestSerialPort::waitsAreClamped()
{
    using std::chrono::milliseconds;
    using std::chrono::nanoseconds;
    QCOMPARE(ClampedWait(UINT32_MAX), milliseconds(kLongestWaitMs));
    QCOMPARE(ClampedWait(std::uint32_t(INT_MAX) + 1), milliseconds(kLongestWaitMs));
    QCOMPARE(ClampedWait(1500), milliseconds(1500));
    QCOMPARE(PollTimeout(milliseconds(UINT32_MAX)), int(kLongestWaitMs));
    QCOMPARE(PollTimeout(milliseconds(std::int64_t(INT_MAX) + 1)), int(kLongestWaitMs));
    QCOMPARE(PollTimeout(milliseconds(-1)), 0);
    QCOMPARE(PollTimeout(nanoseconds(1)), 1); // not a busy loop of zero waits
    QCOMPARE(PollTimeout(milliseconds(1500) + nanoseconds(1)), 1501);
}

// clang-format off
void TestSerialPort::waitReadable_data()
{
    QTest::addColumn<uint>("waitMs");
    QTest::addColumn<QString>("event"); // what happens 30 ms into the wait
    QTest::addColumn<bool>("readable");

    QTest::newRow("UINT32_MAX, bytes come") << UINT32_MAX << "bytes" << true;
    QTest::newRow("INT_MAX + 1, bytes come") << uint(INT_MAX) + 1u << "bytes" << true;
    QTest::newRow("100 ms, nothing comes") << 100u << "" << false;
    QTest::newRow("0 ms, bytes later") << 0u << "bytes" << false;
    QTest::newRow("UINT32_MAX, device goes") << UINT32_MAX << "gone" << false;
    QTest::newRow("closed port") << UINT32_MAX << "closed" << false;
}
// clang-format on

void TestSerialPort::waitReadable()
{
    QFETCH(uint, waitMs);
    QFETCH(QString, event);
    QFETCH(bool, readable);

    Pty pty;
    SerialPort port;
    QVERIFY(port.open(pty.path, {}));
    if (event == "closed") {
        port.close();
    }
    bool sent = true;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (event == "bytes") {
            sent = ::write(pty.master, "\x01\x04", 2) == 2;
        } else if (event == "gone") {
            ::close(std::exchange(pty.master, -1));
        }
    });
    QElapsedTimer timer;
    timer.start();
    const bool result = port.waitReadable(waitMs);
    const qint64 elapsed = timer.elapsed();
    other.join();
    QVERIFY(sent);
    QCOMPARE(result, readable);
    // Bytes or a hang-up end the wait at once; without either it lasts as long as asked.
    QVERIFY2(elapsed < std::min<qint64>(waitMs, 1000) + 200, qPrintable(QString::number(elapsed)));
    QVERIFY2(!event.isEmpty() || elapsed >= 95, qPrintable(QString::number(elapsed)));
    std::uint8_t buffer[8] = {};
    QVERIFY(!readable || port.read(sizeof buffer, buffer, waitMs) == 2);
}

// One port per thread, as the command-line tool runs them: each sees only its own device's
// bytes and keeps its own settings.
void TestSerialPort::twoPortsOnTwoThreads()
{
    Pty ptys[2];
    bool passed[2] = {false, false};
    const auto exchange = [&](int index) {
        SerialPort port;
        SerialSettings settings;
        settings.baudRate = index == 0 ? 2400 : 19200;
        bool ok = port.open(ptys[index].path, settings);
        for (int round = 0; round < 200 && ok; ++round) {
            const std::uint8_t request[2] = {std::uint8_t(index), std::uint8_t(round)};
            std::uint8_t reply[8] = {};
            ok = port.write(2, request) == 2 && ptys[index].echoTwo() && port.waitReadable(1000) &&
                 port.read(sizeof reply, reply, 1000) == 2 && reply[0] == index &&
                 reply[1] == std::uint8_t(round);
        }
        passed[index] = ok && ptys[index].speed() == (index == 0 ? B2400 : B19200);
    };
    std::thread first(exchange, 0);
    std::thread second(exchange, 1);
    first.join();
    second.join();
    QVERIFY(passed[0]);
    QVERIFY(passed[1]);
}

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serialport.moc"
