#include "port.h"

#include "comports.h"
#include "netport.h"
#include "portname.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

const char* const kOpenFailed = "错误: %d << 打开通讯口失败,请检查是否已经安装串口设备.\n";
const char* const kBuffersFailed = "错误: %d << 设置通讯端口缓冲失败.\n";
const char* const kGetStateFailed = "错误: %d << 等到通讯口参数失败.\n";
const char* const kSetStateFailed = "错误: %d << 设置通讯端口参数失败.\n";
const char* const kOpened = "成功开启端口 %d.\n";

// What the free functions keep beside the port itself.
struct PortModule
{
    // A serial port, or a gateway when the COM number leads to a network name. Destroyed at
    // exit: a port left open is restored and released then.
    std::unique_ptr<LinePort> m_port = std::make_unique<SerialPort>();
    int m_portNumber = 0;
    SerialSettings m_settings;
    std::string m_lastError;
    PortLineErrorProbe m_probe;
    SerialDriverCalls m_calls;

    LinePort& port() { return *m_port; }
    // The serial port's own calls (queues, driver hooks); null for a gateway.
    SerialPort* serial() { return dynamic_cast<SerialPort*>(m_port.get()); }
};

PortModule& Module()
{
    static PortModule module;
    return module;
}

// The diagnostic stream may be swapped and written from several threads; one lock keeps a
// diagnostic's lines together.
std::mutex s_diagnosticsLock;
std::FILE* s_diagnostics = nullptr;

// The fixed line with the errno, then a line with the COM number and the reason.
void ReportFailure(const char* line, int error, const std::string& reason)
{
    PortModule& module = Module();
    module.m_lastError = "COM" + std::to_string(module.m_portNumber) + " → " + reason;
    const std::lock_guard<std::mutex> guard(s_diagnosticsLock);
    std::FILE* out = s_diagnostics ? s_diagnostics : stdout;
    std::fprintf(out, line, error);
    std::fprintf(out, "%s.\n", module.m_lastError.c_str());
    std::fflush(out);
}

// The diagnostic for a set-up step of the port that failed; the port has closed itself.
void ReportPortFailure()
{
    PortModule& module = Module();
    const SerialPort* serial = module.serial();
    if (!serial) {
        const auto* net = dynamic_cast<const NetPort*>(module.m_port.get());
        ReportFailure(kOpenFailed, net ? net->lastErrorNumber() : EIO, module.port().lastError());
        return;
    }
    const SerialPort& port = *serial;
    const char* line = kSetStateFailed;
    switch (port.lastFailure()) {
    case SerialFailure::None:
    case SerialFailure::Open:
        line = kOpenFailed;
        break;
    case SerialFailure::ReadSettings:
        line = kGetStateFailed;
        break;
    case SerialFailure::ApplySettings:
        break;
    }
    ReportFailure(line, port.lastErrorNumber(), port.lastError());
}

} // namespace

bool PortOpen(int portNumber, std::uint32_t baudRate, std::uint8_t dataBits, std::uint8_t parity,
              std::uint8_t stopBits, std::uint32_t inQueue, std::uint32_t outQueue,
              std::uint32_t writeTimeoutMs)
{
    PortModule& module = Module();
    module.m_port->close();
    module.m_portNumber = portNumber;
    module.m_lastError.clear();

    const std::string device = ResolveComDevice(portNumber);
    if (device.empty()) {
        ReportFailure(kOpenFailed, ENOENT, std::string("(no device): ") + std::strerror(ENOENT));
        return false;
    }
    PortName name;
    std::string nameError;
    if (!ParsePortName(device, &name, &nameError)) {
        ReportFailure(kOpenFailed, EINVAL, nameError);
        return false;
    }
    // The port object follows the kind of line the number leads to now.
    const bool haveSerial = module.serial() != nullptr;
    if ((name.kind == PortKind::Serial) != haveSerial) {
        module.m_port = MakeLinePort(device);
    }
    module.m_settings.baudRate = baudRate;
    module.m_settings.dataBits = dataBits;
    module.m_settings.parity = parity;
    module.m_settings.stopBits = stopBits;
    module.m_settings.writeTimeoutMs = writeTimeoutMs;
    if (SerialPort* serial = module.serial()) {
        serial->setLineErrorProbe(module.m_probe);
        serial->setDriverCalls(module.m_calls);
    }
    if (!module.m_port->open(device, module.m_settings)) {
        ReportPortFailure();
        return false;
    }
    if (!PortSetBuffers(inQueue, outQueue)) {
        return false;
    }

    const std::lock_guard<std::mutex> guard(s_diagnosticsLock);
    std::FILE* out = s_diagnostics ? s_diagnostics : stdout;
    std::fprintf(out, kOpened, portNumber);
    if (!module.m_port->notes().empty()) {
        std::fprintf(out, "%s\n", module.m_port->notes().c_str());
    }
    std::fflush(out);
    return true;
}

void PortClose()
{
    Module().port().close();
}

bool PortIsOpen()
{
    return Module().port().isOpen();
}

std::string PortLastError()
{
    return Module().m_lastError;
}

std::string PortNotes()
{
    const LinePort& port = Module().port();
    return port.isOpen() ? port.notes() : std::string();
}

std::uint32_t PortWrite(std::uint32_t count, const std::uint8_t* bytes)
{
    return Module().port().write(count, bytes);
}

std::uint32_t PortRead(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs)
{
    return Module().port().read(capacity, buffer, waitMs);
}

bool PortSetBuffers(std::uint32_t inQueue, std::uint32_t outQueue)
{
    LinePort& port = Module().port();
    if (!port.isOpen()) {
        return false;
    }
    // The tty layer sizes its own queues; only sizes no driver could honour are refused.
    if (inQueue == 0 || outQueue == 0) {
        ReportFailure(kBuffersFailed, EINVAL, port.devicePath() + ": " + std::strerror(EINVAL));
        port.close();
        return false;
    }
    return true;
}

bool PortSetState(std::uint32_t baudRate, std::uint8_t dataBits, std::uint8_t parity,
                  std::uint8_t stopBits)
{
    PortModule& module = Module();
    if (!module.m_port->isOpen()) {
        return false;
    }
    module.m_settings.baudRate = baudRate;
    module.m_settings.dataBits = dataBits;
    module.m_settings.parity = parity;
    module.m_settings.stopBits = stopBits;
    if (!module.m_port->configure(module.m_settings)) {
        ReportPortFailure();
        return false;
    }
    return true;
}

bool PortSetTimeouts(std::uint32_t writeTimeoutMs)
{
    PortModule& module = Module();
    if (!module.port().isOpen()) {
        return false;
    }
    // A gateway's socket has no driver limit to set; its writes keep their own wait.
    if (SerialPort* serial = module.serial()) {
        serial->setWriteTimeout(writeTimeoutMs);
    }
    return true;
}

void PortPurge()
{
    Module().port().purge();
}

std::uint32_t PortInQueueCount()
{
    SerialPort* serial = Module().serial();
    return serial ? serial->inQueueCount() : 0;
}

std::uint32_t PortOutQueueCount()
{
    SerialPort* serial = Module().serial();
    return serial ? serial->outQueueCount() : 0;
}

std::FILE* PortSetDiagnosticStream(std::FILE* stream)
{
    const std::lock_guard<std::mutex> guard(s_diagnosticsLock);
    return std::exchange(s_diagnostics, stream);
}

PortLineErrorProbe PortSetLineErrorProbe(PortLineErrorProbe probe)
{
    PortModule& module = Module();
    if (SerialPort* serial = module.serial()) {
        serial->setLineErrorProbe(probe);
    }
    return std::exchange(module.m_probe, std::move(probe));
}

SerialDriverCalls PortSetDriverCalls(SerialDriverCalls calls)
{
    PortModule& module = Module();
    return std::exchange(module.m_calls, std::move(calls));
}
