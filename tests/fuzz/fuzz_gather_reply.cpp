// The gathering of the read-meter reply from a line that delivers it in pieces.
//
// Input: one control byte, then pieces, each a 2-byte little-endian length (modulo 1100, so
// that pieces can exceed what one read may return) followed by that many bytes (fewer when
// the input runs out). An empty piece is a read that found nothing; after the last piece the
// line is silent, or, with bit 7 of the control byte, repeats its last non-empty piece
// forever. Control bits 0-1 choose the length expected: 63, 97 or 0 (another meter type);
// bit 6 makes the port claim the whole piece even where it gave fewer bytes.

#include "../protocol/guardedbuffer.h"
#include "fuzzsupport.h"

#include "exchange.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

using fuzz::Require;

using Piece = std::vector<std::uint8_t>;

struct Script
{
    std::size_t expected = 63;
    bool endless = false;
    bool overclaim = false;
    std::vector<Piece> pieces;
};

Script Parse(const std::uint8_t* data, std::size_t size)
{
    Script script;
    if (size == 0) {
        return script;
    }
    constexpr std::size_t kExpected[] = {63, 97, 0, 63};
    script.expected = kExpected[data[0] & 3];
    script.overclaim = (data[0] & 0x40) != 0;
    script.endless = (data[0] & 0x80) != 0;
    std::size_t at = 1;
    while (at + 2 <= size) {
        const std::size_t length = (data[at] | std::size_t{data[at + 1]} << 8) % 1100;
        at += 2;
        const std::size_t available = std::min(length, size - at);
        script.pieces.emplace_back(data + at, data + at + available);
        at += available;
    }
    return script;
}


} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Script script = Parse(data, size);
    const Piece* repeated = nullptr;
    for (const Piece& piece : script.pieces) {
        if (!piece.empty()) {
            repeated = &piece;
        }
    }

    std::size_t next = 0;
    std::size_t reads = 0;
    std::size_t expectedAsked = 0;
    const Link link{
        [] { return true; },
        [](std::uint32_t count, const std::uint8_t*) { return count; },
        [&](std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t) -> std::uint32_t {
            ++reads;
            // Every non-empty read of an endless line adds at least one byte, so the buffer
            // bound must end the gathering long before this.
            Require(reads <= script.pieces.size() + 2 * kRecvBufferSize + 4,
                    "gathering does not end");
            const Piece* piece = nullptr;
            if (next < script.pieces.size()) {
                piece = &script.pieces[next++];
            } else if (script.endless) {
                piece = repeated;
            }
            if (!piece) {
                return 0;
            }
            const auto given =
                std::min<std::uint32_t>(capacity, static_cast<std::uint32_t>(piece->size()));
            std::copy_n(piece->data(), given, buffer);
            return script.overclaim && given > 0 ? static_cast<std::uint32_t>(piece->size())
                                                 : given;
        },
        [](unsigned) {},
    };
    const GatherSteps steps{
        2500,
        [&] {
            ++expectedAsked;
            return script.expected;
        },
        [&] { return script.expected == 97 ? 300u : 200u; },
        [](const std::string&) {},
    };

    GuardedBuffer guarded;
    guarded.before.fill(0x5A);
    guarded.after.fill(0x5A);
    std::size_t gathered = 0;
    const std::optional<std::size_t> result = GatherReply(link, guarded.buffer, steps, &gathered);

    const auto intact = [](const auto& guard) {
        return std::all_of(guard.begin(), guard.end(), [](std::uint8_t b) { return b == 0x5A; });
    };
    Require(intact(guarded.before) && intact(guarded.after), "write outside the receive buffer");
    Require(gathered <= kRecvBufferSize, "gathered count beyond the buffer");
    if (result) {
        Require(*result == gathered, "result and gathered count differ");
        Require(script.expected == 0 || *result == script.expected, "result of the wrong length");
        Require(script.expected != 0 || expectedAsked == 1, "no expected length: one pass only");
    }
    return 0;
}
