#include "comports.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The number after prefix in name ("ttyUSB12" -> 12), or -1 when name is not prefix followed
// by decimal digits only.
long DeviceNumber(const std::string& name, const std::string& prefix)
{
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    long number = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        const char c = name[i];
        if (c < '0' || c > '9' || number > 1000000) {
            return -1;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

// Names under devRoot of the form prefix<number>, in numeric order (ttyUSB2 before ttyUSB10).
std::vector<std::pair<long, std::string>> NumberedDevices(const std::string& devRoot,
                                                          const std::string& prefix)
{
    std::vector<std::pair<long, std::string>> found;
    std::error_code error;
    for (fs::directory_iterator it(devRoot, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const long number = DeviceNumber(name, prefix);
        if (number >= 0) {
            found.emplace_back(number, name);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Every 8250-style driver registers a fixed number of ttyS nodes whether or not a UART sits
// behind them; the empty ones have port type PORT_UNKNOWN (0). sysfs tells which are real
// without opening anything. Opening is the fallback only, because opening a UART raises its
// modem lines, which a scan for a tooltip should not do.
bool IsRealUart(const std::string& devRoot, const std::string& sysRoot, const std::string& name)
{
    const fs::path classDir = fs::path(sysRoot) / "class" / "tty" / name;
    std::error_code error;
    std::ifstream typeFile(classDir / "type");
    if (typeFile) {
        int type = 0;
        typeFile >> type;
        return typeFile && type != PORT_UNKNOWN &&
               fs::exists(classDir / "device" / "driver", error);
    }

    const std::string path = devRoot + "/" + name;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    serial_struct info{};
    const bool real = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    ::close(fd);
    return real;
}

std::string OverrideFor(int n)
{
    const std::string variable = "QUORVEX_COM" + std::to_string(n);
    const char* path = std::getenv(variable.c_str());
    return path ? std::string(path) : std::string();
}

std::string NthDevice(int n, const std::vector<std::string>& devices)
{
    if (n < 1 || static_cast<std::size_t>(n) > devices.size()) {
        return {};
    }
    return devices[static_cast<std::size_t>(n) - 1];
}

} // namespace

std::vector<std::string> ListSerialDevices(const std::string& devRoot, const std::string& sysRoot)
{
    std::vector<std::string> devices;
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const auto& entry : NumberedDevices(devRoot, prefix)) {
            devices.push_back(devRoot + "/" + entry.second);
        }
    }
    for (const auto& entry : NumberedDevices(devRoot, "ttyS")) {
        if (IsRealUart(devRoot, sysRoot, entry.second)) {
            devices.push_back(devRoot + "/" + entry.second);
        }
    }
    return devices;
}

std::string ResolveComDevice(int n, const std::string& devRoot, const std::string& sysRoot)
{
    if (n < 1) {
        return {};
    }
    if (std::string path = OverrideFor(n); !path.empty()) {
        return path;
    }
    return NthDevice(n, ListSerialDevices(devRoot, sysRoot));
}

std::string DescribeComPorts(int first, int last, const std::string& devRoot,
                             const std::string& sysRoot)
{
    // One scan for the whole list, not one per line.
    const std::vector<std::string> devices = ListSerialDevices(devRoot, sysRoot);
    std::string text;
    for (int n = first; n <= last; ++n) {
        std::string device = n >= 1 ? OverrideFor(n) : std::string();
        if (device.empty()) {
            device = NthDevice(n, devices);
        }
        if (!text.empty()) {
            text += '\n';
        }
        text += "COM" + std::to_string(n) + " → " + (device.empty() ? "(no device)" : device);
    }
    return text;
}

std::vector<std::string> StableDeviceNames(const std::string& device, const std::string& byIdRoot)
{
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code error;
    const fs::path target = fs::canonical(device, error);
    if (error) {
        return names;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(byIdRoot, error)) {
        std::error_code each;
        if (fs::canonical(entry.path(), each) == target && !each && entry.path() != fs::path(device)) {
            names.push_back(entry.path().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}
