// The three-phase read-meter reply decoded into display texts. The first input byte is the
// decimal mode (any value, negative ones included), the rest the reply.

#include "fuzzsupport.h"

#include "meterdata.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const int mode = static_cast<std::int8_t>(data[0]);
    const std::span reply(data + 1, size - 1);
    const auto texts = DecodeThreePhase(reply, mode);

    // Decimals per value in reply order; the four energies follow the mode.
    constexpr std::array<int, TpValueCount> kDecimals{0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 2, 2,
                                                      2, 2, 2, 2, 3, 3, 3, 2, 2, 3, 2};
    std::array<std::uint8_t, kThreePhaseReplySize> r{};
    for (std::size_t i = 0; i < reply.size() && i < r.size(); ++i) {
        r[i] = reply[i];
    }
    for (int i = 0; i < TpValueCount; ++i) {
        const std::int64_t value = fuzz::ReadInt32(r.data() + 3 + 4 * i);
        std::string expected;
        if (i <= TpReactiveKWh) {
            // Mode 1 drops the last digit (towards zero) and keeps one decimal; a value that
            // comes to nothing shows "0" without a sign. Any other mode keeps two decimals.
            expected =
                mode == 1 ? fuzz::ExpectedFixed(value / 10, 1) : fuzz::ExpectedFixed(value, 2);
        } else {
            expected = fuzz::ExpectedFixed(value, kDecimals[i]);
        }
        fuzz::Require(texts[i] == expected, "three-phase value",
                      std::to_string(i) + ": " + texts[i] + " expected " + expected);
    }
    return 0;
}
