// The three-phase read-meter reply decoded into display texts. The first input byte is the
// decimal mode (any value, negative ones included), the rest the reply.
//
// Which value sits where, and with how many decimals, is the unit tests' business (every
// value of the reply with its literal text). Here: every text is a number as the window shows
// numbers, the energies keep the decimals of the mode, and a reply cut short decodes as the
// same reply completed with zeros.

#include "fuzzsupport.h"

#include "meterdata.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const int mode = static_cast<std::int8_t>(data[0]);
    const std::span reply(data + 1, size - 1);
    const auto texts = DecodeThreePhase(reply, mode);

    for (int i = 0; i < TpValueCount; ++i) {
        const bool energy = i <= TpReactiveKWh;
        fuzz::RequireNumberText(texts[i], energy ? (mode == 1 ? 1 : 2) : 3,
                                ("three-phase value " + std::to_string(i)).c_str());
    }

    std::vector<std::uint8_t> padded(reply.begin(), reply.end());
    padded.resize(kThreePhaseReplySize, 0);
    fuzz::Require(DecodeThreePhase(padded, mode) == texts,
                  "a short reply differs from the reply completed with zeros");
    return 0;
}
