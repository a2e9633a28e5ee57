#include "hextext.h"

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

} // namespace

std::string FormatHexBytes(const std::uint8_t* bytes, std::size_t count)
{
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        text += kUpperDigits[bytes[i] >> 4];
        text += kUpperDigits[bytes[i] & 0x0F];
        text += ' ';
    }
    return text;
}

std::string FormatLowerHexDigits(const std::uint8_t* bytes, std::size_t count)
{
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += kLowerDigits[bytes[i] >> 4];
        text += kLowerDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::int32_t BytesToInt(const std::uint8_t* bytes, int count)
{
    // Accumulated unsigned so that a top bit shifted into place is defined behaviour; the
    // conversion back gives the two's-complement value meters send.
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return static_cast<std::int32_t>(value);
}
