// BcdToText over any bytes. First input byte: the decimals (signed); the rest: the bytes.

#include "fuzzsupport.h"

#include "bcd.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const int decimals = static_cast<std::int8_t>(data[0]);
    const std::uint8_t* bytes = data + 1;
    const std::size_t count = size - 1;
    const std::string text = BcdToText(bytes, static_cast<int>(count), decimals);

    if (fuzz::IsValidBcd(bytes, count) && decimals >= 0 &&
        static_cast<std::size_t>(decimals) <= 2 * count) {
        fuzz::RequireShowsValue(text, fuzz::BcdDigits(bytes, count),
                                static_cast<std::size_t>(decimals), false, "BcdToText");
    } else {
        const std::size_t longest =
            2 * count + 2 + (decimals > 0 ? static_cast<std::size_t>(decimals) : 0);
        fuzz::Require(fuzz::OnlyChars(text, "0123456789ABCDEF.") && text.size() <= longest,
                      "BcdToText on garbage", text);
    }
    return 0;
}
