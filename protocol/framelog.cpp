#include "framelog.h"

#include "crc.h"
#include "dlt645.h"

#include <cstdio>
#include <ctime>
#include <utility>

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kModbusMinimum = 4; // address, function, two CRC bytes
constexpr std::uint8_t kExceptionBit = 0x80;
constexpr std::uint8_t kReadHolding = 0x03;
constexpr std::uint8_t kReadInput = 0x04;
constexpr std::uint8_t kWriteSingle = 0x06;
constexpr std::uint8_t kWriteMultiple = 0x10;

constexpr std::uint8_t kDltFunctionMask = 0x1F;

std::string Format(const char* format, auto... values)
{
    char text[96];
    const int n = std::snprintf(text, sizeof text, format, values...);
    return std::string(
        text, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
}

std::string Hex2(unsigned value)
{
    return Format("0x%02X", value & 0xFFu);
}
std::string Hex4(unsigned value)
{
    return Format("0x%04X", value & 0xFFFFu);
}

unsigned Word(Bytes bytes, std::size_t at)
{
    return static_cast<unsigned>(bytes[at] << 8 | bytes[at + 1]);
}

// The register values of a data block, each "0x%04X", one space apart.
std::string Registers(Bytes data)
{
    std::string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        if (!text.empty()) {
            text += ' ';
        }
        text += Hex4(Word(data, i));
    }
    return text;
}

// ---- DL/T 645 ------------------------------------------------------------------------------

// The frame after its wake-up bytes, if the bytes are exactly one DL/T 645 frame.
std::optional<Bytes> Dlt645Frame(Bytes bytes)
{
    std::size_t start = 0;
    while (start < bytes.size() && bytes[start] == kDltWakeUp) {
        ++start;
    }
    const Bytes frame = bytes.subspan(start);
    if (frame.size() < kDltFrameOverhead || frame[0] != kDltStart || frame[7] != kDltStart ||
        frame.size() != kDltFrameOverhead + frame[9] || frame.back() != kDltEnd) {
        return std::nullopt;
    }
    return frame;
}

// The meter address as it is written on a meter's plate: twelve digits, the byte sent last
// first. The wildcard reads AAAAAAAAAAAA.
std::string Dlt645Address(Bytes frame)
{
    std::string text;
    for (std::size_t i = 6; i >= 1; --i) {
        text += Format("%02X", frame[i]);
    }
    return text;
}

std::string Dlt645Errors(std::uint8_t errors)
{
    static constexpr const char* kNames[] = {"other error", "no such data", "unauthorised",
                                             "baud rate not changeable"};
    std::string names;
    for (unsigned bit = 0; bit < std::size(kNames); ++bit) {
        if (errors & (1u << bit)) {
            names += names.empty() ? " " : ", ";
            names += kNames[bit];
        }
    }
    return "error " + Hex2(errors) + names;
}

std::string DescribeDlt645(Bytes frame)
{
    const std::uint8_t control = frame[8];
    const std::size_t length = frame[9];
    const Bytes data = frame.subspan(10, length);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 10 + length; ++i) {
        sum = static_cast<std::uint8_t>(sum + frame[i]);
    }
    const std::uint8_t got = frame[10 + length];
    const std::string checksum = got == sum ? "checksum good"
                                            : "checksum bad (got " + Format("%02X", got) +
                                                  ", want " + Format("%02X", sum) + ")";
    const std::uint8_t function = control & kDltFunctionMask;
    const std::string what =
        function == kDltMeterClear ? "meter clear" : "control " + Hex2(control);
    const std::string address = Dlt645Address(frame);

    if (!(control & kDltReplyBit)) {
        std::string text = "DL/T 645 " + what + " to " + address;
        if (function != kDltMeterClear) {
            text += ", " + std::to_string(length) + " data bytes";
        }
        return text + ", " + checksum;
    }
    std::string text = "DL/T 645 " +
                       (function == kDltMeterClear ? what + " reply" : "reply, " + what) +
                       " from " + address + ": ";
    if (control & kDltAbnormalBit) {
        // The error byte travels with the offset every DL/T 645 data byte carries.
        text +=
            data.empty()
                ? "refused (no error byte)"
                : "refused (" + Dlt645Errors(static_cast<std::uint8_t>(data[0] - kDltOffset)) + ")";
    } else {
        text += "normal";
        if (!data.empty()) {
            text += ", " + std::to_string(length) + " data bytes";
        }
    }
    return text + ", " + checksum;
}

// ---- Modbus RTU ----------------------------------------------------------------------------

// The CRC a Modbus frame carries against the one its bytes give, both in wire order.
struct CrcCheck
{
    unsigned got;
    unsigned want;
    bool good() const { return got == want; }
};

CrcCheck CheckCrc(Bytes frame)
{
    const std::size_t body = frame.size() - 2;
    return {Word(frame, body), CalcCrc16(frame.data(), static_cast<std::uint16_t>(body))};
}

// What a request asked for, as far as a reply needs it.
struct RequestShape
{
    std::uint8_t function = 0;
    unsigned firstRegister = 0;
    unsigned count = 0;
    bool hasRange = false;
};

std::optional<RequestShape> ShapeOf(Bytes request)
{
    if (request.size() < kModbusMinimum || request.size() > 0xFFFF || !CheckCrc(request).good()) {
        return std::nullopt;
    }
    RequestShape shape;
    shape.function = request[1];
    if (request.size() >= 8 && (shape.function == kReadHolding || shape.function == kReadInput ||
                                shape.function == kWriteMultiple)) {
        shape.firstRegister = Word(request, 2);
        shape.count = Word(request, 4);
        shape.hasRange = true;
    }
    return shape;
}

std::string Range(unsigned firstRegister, unsigned count)
{
    return Hex4(firstRegister) + " \u00D7" + std::to_string(count);
}

std::string ExceptionName(std::uint8_t code)
{
    switch (code) {
    case 0x01:
        return " (illegal function)";
    case 0x02:
        return " (illegal data address)";
    case 0x03:
        return " (illegal data value)";
    case 0x04:
        return " (server device failure)";
    case 0x05:
        return " (acknowledge)";
    case 0x06:
        return " (server device busy)";
    case 0x08:
        return " (memory parity error)";
    case 0x0A:
        return " (gateway path unavailable)";
    case 0x0B:
        return " (gateway target failed to respond)";
    default:
        return "";
    }
}

// A frame the decoder has no closer words for.
std::string Generic(FrameDirection direction, Bytes frame)
{
    const std::string peer =
        (direction == FrameDirection::Tx ? "\u2192 address " : "from address ") +
        std::to_string(frame[0]);
    return "function " + Hex2(frame[1]) + " " + peer + ", " +
           std::to_string(frame.size() - kModbusMinimum) + " data bytes";
}

std::string DescribeModbusRequest(Bytes frame)
{
    const std::uint8_t function = frame[1];
    const std::string to = " \u2192 address " + std::to_string(frame[0]);
    if ((function == kReadHolding || function == kReadInput) && frame.size() == 8) {
        const char* what =
            function == kReadInput ? "read input registers " : "read holding registers ";
        return what + Range(Word(frame, 2), Word(frame, 4)) + to;
    }
    if (function == kWriteSingle && frame.size() == 8) {
        return "write single " + Hex4(Word(frame, 2)) + " = " + Hex4(Word(frame, 4)) + to;
    }
    if (function == kWriteMultiple && frame.size() >= 9) {
        const unsigned count = Word(frame, 4);
        const std::size_t byteCount = frame[6];
        if (byteCount == frame.size() - 9 && byteCount == 2 * count) {
            return "write " + Range(Word(frame, 2), count) + " = " +
                   Registers(frame.subspan(7, byteCount)) + to;
        }
    }
    return Generic(FrameDirection::Tx, frame);
}

std::string DescribeReadReply(Bytes frame, const std::optional<RequestShape>& request)
{
    const std::string from = "reply from address " + std::to_string(frame[0]);
    // Address, function, byte count, the data, two CRC bytes.
    const std::size_t dataBytes = frame.size() < 5 ? 0 : frame.size() - 5;
    const std::size_t byteCount = frame.size() < 5 ? 0 : frame[2];
    if (frame.size() < 5 || byteCount != dataBytes) {
        return from + " with byte count " + std::to_string(byteCount) + " but " +
               std::to_string(dataBytes) + " data bytes";
    }
    const Bytes data = frame.subspan(3, dataBytes);
    if (dataBytes % 2 != 0) {
        return from + ": " + std::to_string(dataBytes) + " bytes " + FormatLogHex(data);
    }
    const std::size_t registers = dataBytes / 2;
    std::string text = from;
    if (request && request->hasRange && request->function == frame[1]) {
        text += " to " + Range(request->firstRegister, request->count);
        if (registers != request->count) {
            text += " with " + std::to_string(registers) + " registers";
        }
    } else {
        text += ", " + std::to_string(registers) + " registers";
    }
    return registers == 0 ? text : text + ": " + Registers(data);
}

std::string DescribeModbusReply(Bytes frame, const std::optional<RequestShape>& request)
{
    const std::uint8_t function = frame[1];
    const std::string from = " from address " + std::to_string(frame[0]);
    if ((function & kExceptionBit) && frame.size() == 5) {
        return "exception " + Hex2(frame[2]) + ExceptionName(frame[2]) + " to function " +
               Hex2(function & ~kExceptionBit) + from;
    }
    if (function == kReadHolding || function == kReadInput) {
        return DescribeReadReply(frame, request);
    }
    if (function == kWriteMultiple && frame.size() == 8) {
        const unsigned first = Word(frame, 2);
        const unsigned count = Word(frame, 4);
        std::string text = "write echo " + Range(first, count) + from;
        if (request && request->hasRange && request->function == kWriteMultiple &&
            (request->firstRegister != first || request->count != count)) {
            text += ", not the request's " + Range(request->firstRegister, request->count);
        }
        return text;
    }
    if (function == kWriteSingle && frame.size() == 8) {
        return "write single echo " + Hex4(Word(frame, 2)) + " = " + Hex4(Word(frame, 4)) + from;
    }
    return Generic(FrameDirection::Rx, frame);
}

} // namespace

std::string DescribeFrame(FrameDirection direction, std::span<const std::uint8_t> bytes,
                          std::span<const std::uint8_t> request)
{
    if (const auto frame = Dlt645Frame(bytes)) {
        return DescribeDlt645(*frame);
    }
    if (direction == FrameDirection::Rx && Dlt645Frame(request)) {
        return "not a DL/T 645 frame (" + std::to_string(bytes.size()) + " bytes)";
    }
    // CalcCrc16 counts in 16 bits; nothing that long is a Modbus frame anyway.
    if (bytes.size() < kModbusMinimum || bytes.size() > 0xFFFF) {
        return "not a frame (" + std::to_string(bytes.size()) + " bytes)";
    }
    const CrcCheck crc = CheckCrc(bytes);
    if (!crc.good()) {
        return Format("CRC bad (got %04X, want %04X)", crc.got, crc.want);
    }
    const std::string meaning = direction == FrameDirection::Tx
                                    ? DescribeModbusRequest(bytes)
                                    : DescribeModbusReply(bytes, ShapeOf(request));
    return meaning + ", CRC good";
}

std::string FormatLogTime(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto milliseconds = floor<std::chrono::milliseconds>(time);
    const auto seconds = floor<std::chrono::seconds>(milliseconds);
    const std::time_t whole = system_clock::to_time_t(seconds);
    std::tm local{};
    if (!localtime_r(&whole, &local)) {
        return "(time out of range)";
    }
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long magnitude = offset < 0 ? -offset : offset;
    return Format("%s.%03d%c%02ld:%02ld", date, static_cast<int>((milliseconds - seconds).count()),
                  offset < 0 ? '-' : '+', magnitude / 3600, magnitude % 3600 / 60);
}

const char* DirectionText(FrameDirection direction)
{
    return direction == FrameDirection::Tx ? "TX" : "RX";
}

std::string FormatLogHex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string FormatLogLine(const LoggedFrame& frame)
{
    std::string line = FormatLogTime(frame.time);
    if (!frame.port.empty()) {
        line += '\t' + frame.port;
    }
    line += '\t';
    line += DirectionText(frame.direction);
    line += '\t' + FormatLogHex(frame.bytes);
    line += '\t' + frame.meaning;
    return line;
}

FrameLog::FrameLog(std::size_t capacity) : m_capacity(capacity) {}

void FrameLog::append(LoggedFrame frame)
{
    {
        const std::lock_guard lock(m_mutex);
        m_frames.push_back(std::move(frame));
        ++m_appended;
        while (m_frames.size() > m_capacity) {
            m_frames.pop_front();
            ++m_dropped;
        }
    }
    const std::lock_guard lock(m_listenerMutex);
    if (m_listener) {
        m_listener();
    }
}

std::vector<LoggedFrame> FrameLog::snapshot() const
{
    const std::lock_guard lock(m_mutex);
    return {m_frames.begin(), m_frames.end()};
}

std::optional<LoggedFrame> FrameLog::at(std::uint64_t sequence) const
{
    const std::lock_guard lock(m_mutex);
    const std::uint64_t first = m_appended - m_frames.size();
    if (sequence < first || sequence >= m_appended) {
        return std::nullopt;
    }
    return m_frames[static_cast<std::size_t>(sequence - first)];
}

FrameLog::Bounds FrameLog::bounds() const
{
    const std::lock_guard lock(m_mutex);
    return {m_appended - m_frames.size(), m_appended, m_dropped};
}

std::size_t FrameLog::size() const
{
    const std::lock_guard lock(m_mutex);
    return m_frames.size();
}

std::uint64_t FrameLog::dropped() const
{
    const std::lock_guard lock(m_mutex);
    return m_dropped;
}

std::uint64_t FrameLog::appended() const
{
    const std::lock_guard lock(m_mutex);
    return m_appended;
}

void FrameLog::clear()
{
    const std::lock_guard lock(m_mutex);
    m_frames.clear();
    m_dropped = 0;
}

void FrameLog::setListener(std::function<void()> listener)
{
    const std::lock_guard lock(m_listenerMutex);
    m_listener = std::move(listener);
}

LoggedFrame MakeLoggedFrame(FrameDirection direction, std::span<const std::uint8_t> bytes, std::string port,
                            std::vector<std::uint8_t>& lastRequest)
{
    LoggedFrame frame{std::chrono::system_clock::now(), std::move(port), direction, {bytes.begin(), bytes.end()}, {}};
    frame.meaning = DescribeFrame(direction, bytes, lastRequest);
    if (direction == FrameDirection::Tx) {
        lastRequest = frame.bytes;
    }
    return frame;
}
