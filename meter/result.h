#pragma once

#include "replies.h"

#include <utility>
#include <variant>

// The outcome of one meter command: its value, or the fault that stopped it.
template <typename T>
class Result
{
public:
    Result(T value) : m_outcome(std::move(value)) {}
    Result(CommandFault fault) : m_outcome(fault) {}

    bool ok() const { return std::holds_alternative<T>(m_outcome); }
    explicit operator bool() const { return ok(); }

    const T& value() const { return std::get<T>(m_outcome); }
    const T& operator*() const { return value(); }
    const T* operator->() const { return &value(); }
    const CommandFault& fault() const { return std::get<CommandFault>(m_outcome); }

private:
    std::variant<T, CommandFault> m_outcome;
};

// The value of a command that has none beyond having worked.
struct Done
{
};
