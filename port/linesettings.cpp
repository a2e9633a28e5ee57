#include "linesettings.h"

namespace {

struct Rate
{
    std::uint32_t bitsPerSecond;
    speed_t constant;
};

constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool BaudConstant(std::uint32_t rate, speed_t& speed)
{
    for (const Rate& entry : kRates) {
        if (entry.bitsPerSecond == rate) {
            speed = entry.constant;
            return true;
        }
    }
    return false;
}

// "9600 baud"; a driver may report a rate that has no constant (BOTHER) or none at all (B0).
std::string RateText(speed_t speed)
{
    for (const Rate& entry : kRates) {
        if (entry.constant == speed) {
            return std::to_string(entry.bitsPerSecond) + " baud";
        }
    }
    return speed == B0 ? "no baud rate" : "a rate termios has no constant for";
}

bool SetDataBits(termios& settings, std::uint8_t dataBits)
{
    tcflag_t size = 0;
    switch (dataBits) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        return false;
    }
    settings.c_cflag = (settings.c_cflag & ~CSIZE) | size;
    return true;
}

std::string DataBitsText(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return "5 data bits";
    case CS6:
        return "6 data bits";
    case CS7:
        return "7 data bits";
    default:
        return "8 data bits";
    }
}

tcflag_t ParityBits()
{
    tcflag_t bits = PARENB | PARODD;
#ifdef CMSPAR
    bits |= CMSPAR;
#endif
    return bits;
}

bool SetParity(termios& settings, std::uint8_t parity)
{
    settings.c_cflag &= ~ParityBits();
    switch (parity) {
    case 0:
        return true;
    case 1:
        settings.c_cflag |= PARENB | PARODD;
        return true;
    case 2:
        settings.c_cflag |= PARENB;
        return true;
#ifdef CMSPAR
    case 3: // mark: the parity bit is always 1
        settings.c_cflag |= PARENB | CMSPAR | PARODD;
        return true;
    case 4: // space: always 0
        settings.c_cflag |= PARENB | CMSPAR;
        return true;
#endif
    default:
        return false;
    }
}

std::string ParityText(tcflag_t cflag)
{
    if (!(cflag & PARENB)) {
        return "no parity";
    }
    const bool odd = (cflag & PARODD) != 0;
#ifdef CMSPAR
    if (cflag & CMSPAR) {
        return odd ? "mark parity" : "space parity";
    }
#endif
    return odd ? "odd parity" : "even parity";
}

bool SetStopBits(termios& settings, std::uint8_t stopBits)
{
    switch (stopBits) {
    case 0:
        settings.c_cflag &= ~CSTOPB;
        return true;
    case 1: // termios has no one and a half; two is the nearer that keeps the receiver in step
    case 2:
        settings.c_cflag |= CSTOPB;
        return true;
    default:
        return false;
    }
}

std::string StopBitsText(tcflag_t cflag)
{
    return (cflag & CSTOPB) ? "two stop bits" : "one stop bit";
}

void AddDifference(std::string& text, const std::string& applied, const std::string& wanted)
{
    if (applied == wanted) {
        return;
    }
    if (!text.empty()) {
        text += ", ";
    }
    text += applied + " instead of " + wanted;
}

} // namespace

LineSettings BuildLineSettings(termios& settings, std::uint32_t baudRate, std::uint8_t dataBits,
                               std::uint8_t parity, std::uint8_t stopBits)
{
    // Raw: every byte passes unchanged in both directions (no echo, no line editing, no
    // CR/LF mapping, no XON/XOFF taken out of binary replies). Reads return at once with
    // what is queued. Hardware flow control and XOFF sending stay as the device had them.
    ::cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    settings.c_cflag |= CREAD | CLOCAL;

    speed_t speed = B0;
    if (!BaudConstant(baudRate, speed)) {
        return LineSettings::NoSuchBaudRate;
    }
    if (!SetDataBits(settings, dataBits) || !SetParity(settings, parity) ||
        !SetStopBits(settings, stopBits)) {
        return LineSettings::NoSuchFraming;
    }
    if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0) {
        return LineSettings::NoSuchBaudRate;
    }
    return LineSettings::Built;
}

std::string LineSettingsMismatch(const termios& wanted, const termios& applied, bool framingMayDrop)
{
    std::string text;
    AddDifference(text, RateText(::cfgetospeed(&applied)), RateText(::cfgetospeed(&wanted)));
    if (text.empty() && ::cfgetispeed(&applied) != ::cfgetispeed(&wanted)) {
        // Output right but input not: a reply would still be read at the wrong rate.
        AddDifference(text, "receiving at " + RateText(::cfgetispeed(&applied)),
                      "receiving at " + RateText(::cfgetispeed(&wanted)));
    }
    if (!framingMayDrop) {
        AddDifference(text, DataBitsText(applied.c_cflag), DataBitsText(wanted.c_cflag));
        AddDifference(text, ParityText(applied.c_cflag), ParityText(wanted.c_cflag));
    }
    AddDifference(text, StopBitsText(applied.c_cflag), StopBitsText(wanted.c_cflag));
    return text;
}
