// InsertDecimalPoint over any text. First input byte: the decimals (signed); the rest: the
// text, digits or not.

#include "fuzzsupport.h"

#include "bcd.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const int decimals = static_cast<std::int8_t>(data[0]);
    const std::string_view digits(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string text = InsertDecimalPoint(digits, decimals);

    // Decimal text as "%ld" writes it: digits without leading zeros.
    const bool plain =
        fuzz::OnlyChars(digits, "0123456789") && (digits.size() <= 1 || digits[0] != '0');
    if (plain && decimals >= 0) {
        fuzz::RequireShowsValue(text, digits, static_cast<std::size_t>(decimals), false,
                                "InsertDecimalPoint");
    } else {
        const std::size_t longest =
            digits.size() + 2 + (decimals > 0 ? static_cast<std::size_t>(decimals) : 0);
        fuzz::Require(text.size() <= longest, "InsertDecimalPoint on other text grew", text);
    }
    return 0;
}
