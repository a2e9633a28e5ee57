#include "portlink.h"

#include "lineport.h"

#include <chrono>
#include <thread>

Link LinkOver(LinePort& port)
{
    return Link{
        [&port] { return port.isOpen(); },
        [&port](std::uint32_t count, const std::uint8_t* bytes) { return port.write(count, bytes); },
        [&port](std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs) {
            return port.read(capacity, buffer, waitMs);
        },
        [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
        [&port](std::uint32_t waitMs) { return port.waitReadable(waitMs); },
        [&port] { return port.state() == LineState::Disconnected; },
    };
}

namespace {

SerialSettings SettingsOf(const LineSetting& setting)
{
    SerialSettings settings;
    settings.baudRate = static_cast<std::uint32_t>(setting.baud);
    settings.parity = static_cast<std::uint8_t>(setting.parity);
    return settings;
}

} // namespace

bool ApplyLineSetting(LinePort& port, const LineSetting& setting)
{
    return port.configure(SettingsOf(setting));
}

std::string PutLineAt(LinePort& port, const LineSetting& setting)
{
    const bool took = port.isOpen() ? port.configure(SettingsOf(setting))
                                    : port.open(port.devicePath(), SettingsOf(setting));
    if (took) {
        return {};
    }
    return port.lastError().empty() ? "the port refused " + DescribeSetting(setting) : port.lastError();
}
