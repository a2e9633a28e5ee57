#pragma once

#include "exchange.h"

#include <array>
#include <cstdint>

// The receive buffer between guard bytes, to catch a write past either end that stays
// inside the object (and so escapes the address sanitizer).
struct GuardedBuffer
{
    std::array<std::uint8_t, 64> before;
    RecvBuffer buffer;
    std::array<std::uint8_t, 64> after;
};
static_assert(sizeof(GuardedBuffer) == 64 + kRecvBufferSize + 64);
