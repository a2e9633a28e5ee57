#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ctl {

// The meters a --address names: "5", "1,2,5-9". Each address 0 to 254, a range from low to
// high, none named twice; in the order given. Nothing, and the fault in *error, otherwise.
std::optional<std::vector<int>> ParseAddressList(const std::string& text, std::string* error);

// Why a command cannot run on the named port, before anything is opened: a name that does
// not parse, clear-zero through a Modbus TCP gateway, a scan of line settings through a
// gateway that keeps them. Empty when it can.
std::string RefusalForPort(const std::string& name, const std::string& command, bool sweep);

} // namespace ctl
