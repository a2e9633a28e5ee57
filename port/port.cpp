#include "port.h"

#include "comports.h"

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
    SerialPort m_port; // destroyed at exit: a port left open is restored and released then
    int m_portNumber = 0;
    SerialSettings m_settings;
    std::string m_lastError;
    PortLineErrorProbe m_probe;
    SerialDriverCalls m_calls;
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
    const SerialPort& port = Module().m_port;
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
    module.m_port.close();
    module.m_portNumber = portNumber;
    module.m_lastError.clear();

    const std::string device = ResolveComDevice(portNumber);
    if (device.empty()) {
        ReportFailure(kOpenFailed, ENOENT, std::string("(no device): ") + std::strerror(ENOENT));
        return false;
    }
    module.m_settings.baudRate = baudRate;
    module.m_settings.dataBits = dataBits;
    module.m_settings.parity = parity;
    module.m_settings.stopBits = stopBits;
    module.m_settings.writeTimeoutMs = writeTimeoutMs;
    module.m_port.setLineErrorProbe(module.m_probe);
    module.m_port.setDriverCalls(module.m_calls);
    if (!module.m_port.open(device, module.m_settings)) {
        ReportPortFailure();
        return false;
    }
    if (!PortSetBuffers(inQueue, outQueue)) {
        return false;
    }

    const std::lock_guard<std::mutex> guard(s_diagnosticsLock);
    std::FILE* out = s_diagnostics ? s_diagnostics : stdout;
    std::fprintf(out, kOpened, portNumber);
    if (!module.m_port.notes().empty()) {
        std::fprintf(out, "%s\n", module.m_port.notes().c_str());
    }
    std::fflush(out);
    return true;
}

void PortClose()
{
    Module().m_port.close();
}

bool PortIsOpen()
{
    return Module().m_port.isOpen();
}

std::string PortLastError()
{
    return Module().m_lastError;
}

std::string PortNotes()
{
    const SerialPort& port = Module().m_port;
    return port.isOpen() ? port.notes() : std::string();
}

std::uint32_t PortWrite(std::uint32_t count, const std::uint8_t* bytes)
{
    return Module().m_port.write(count, bytes);
}

std::uint32_t PortRead(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs)
{
    return Module().m_port.read(capacity, buffer, waitMs);
}

bool PortSetBuffers(std::uint32_t inQueue, std::uint32_t outQueue)
{
    SerialPort& port = Module().m_port;
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
    if (!module.m_port.isOpen()) {
        return false;
    }
    module.m_settings.baudRate = baudRate;
    module.m_settings.dataBits = dataBits;
    module.m_settings.parity = parity;
    module.m_settings.stopBits = stopBits;
    if (!module.m_port.configure(module.m_settings)) {
        ReportPortFailure();
        return false;
    }
    return true;
}

bool PortSetTimeouts(std::uint32_t writeTimeoutMs)
{
    SerialPort& port = Module().m_port;
    if (!port.isOpen()) {
        return false;
    }
    port.setWriteTimeout(writeTimeoutMs);
    return true;
}

void PortPurge()
{
    Module().m_port.purge();
}

std::uint32_t PortInQueueCount()
{
    return Module().m_port.inQueueCount();
}

std::uint32_t PortOutQueueCount()
{
    return Module().m_port.outQueueCount();
}

std::FILE* PortSetDiagnosticStream(std::FILE* stream)
{
    const std::lock_guard<std::mutex> guard(s_diagnosticsLock);
    return std::exchange(s_diagnostics, stream);
}

PortLineErrorProbe PortSetLineErrorProbe(PortLineErrorProbe probe)
{
    PortModule& module = Module();
    module.m_port.setLineErrorProbe(probe);
    return std::exchange(module.m_probe, std::move(probe));
}

SerialDriverCalls PortSetDriverCalls(SerialDriverCalls calls)
{
    PortModule& module = Module();
    return std::exchange(module.m_calls, std::move(calls));
}
