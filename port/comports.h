#pragma once

#include <string>
#include <vector>

// Where a COM number leads on this machine.
//
// Technicians pick a port by number, COM1 to COM10, from the window's list: a short fixed list
// that reads the same on every bench, whatever adapters are plugged in. Linux names its serial
// devices otherwise, so COM n is resolved in two steps:
//   1. QUORVEX_COM<n>=/path/to/tty in the environment (a USB adapter, a built-in UART, the
//      pseudo-terminal of a simulated meter) wins for that number;
//   2. otherwise the machine's serial ports in a stable order: /dev/ttyUSB* by number, then
//      /dev/ttyACM* by number, then the /dev/ttyS* that have a real UART behind them.
//      The first of these is COM1, the second COM2, and so on.

// The machine's serial devices in COM order, as full paths below devRoot. sysRoot is where
// sysfs is mounted; both roots are parameters so that a test can lay out a fake machine.
std::vector<std::string> ListSerialDevices(const std::string& devRoot = "/dev",
                                           const std::string& sysRoot = "/sys");

// The device path of COM n, or an empty string when n leads nowhere (n < 1, no override and
// fewer than n serial devices). An empty override counts as no override.
std::string ResolveComDevice(int n, const std::string& devRoot = "/dev",
                             const std::string& sysRoot = "/sys");

// One line per COM number from first to last, "COM1 → /dev/ttyUSB0" or
// "COM4 → (no device)", separated by line breaks (none after the last).
std::string DescribeComPorts(int first, int last, const std::string& devRoot = "/dev",
                             const std::string& sysRoot = "/sys");

// The names of device under byIdRoot (/dev/serial/by-id) that lead to it now: what an adapter
// keeps when it is plugged in again and comes back as another ttyUSB number. Empty when none.
std::vector<std::string> StableDeviceNames(const std::string& device,
                                           const std::string& byIdRoot = "/dev/serial/by-id");
