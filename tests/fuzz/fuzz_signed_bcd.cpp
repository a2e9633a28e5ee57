// SignedBcdToText over any four bytes (a shorter input is padded with zeros).

#include "fuzzsupport.h"

#include "bcd.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Exactly four bytes on the heap, so that a read past them is caught.
    const auto bytes = std::make_unique<std::uint8_t[]>(4);
    std::copy_n(data, std::min<std::size_t>(size, 4), bytes.get());
    const std::string text = SignedBcdToText(bytes.get());

    // A value with the top bit set is negative, its magnitude in BCD once negated as a 32-bit
    // two's-complement number; one decimal either way.
    const std::uint32_t code = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                               std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
    const bool negative = (code & 0x80000000u) != 0;
    const std::uint32_t magnitude = negative ? 0u - code : code;
    const std::uint8_t m[4] = {
        static_cast<std::uint8_t>(magnitude >> 24), static_cast<std::uint8_t>(magnitude >> 16),
        static_cast<std::uint8_t>(magnitude >> 8), static_cast<std::uint8_t>(magnitude)};
    if (fuzz::IsValidBcd(m, 4)) {
        fuzz::RequireShowsValue(text, fuzz::BcdDigits(m, 4), 1, negative, "SignedBcdToText");
    } else {
        fuzz::Require(fuzz::OnlyChars(text.substr(negative ? 1 : 0), "0123456789ABCDEF.") &&
                          text.size() <= 11,
                      "SignedBcdToText on garbage", text);
    }
    return 0;
}
