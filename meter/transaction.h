#pragma once

#include "replies.h"
#include "session.h"

#include <functional>
#include <optional>

// One request and its reply in the session's timing, with the traffic shown and tapped.

using ReplyCheck = std::function<std::optional<CommandFault>(Reply reply)>;

// Window timing, in the order every command of the window keeps: the request is shown
// before the port is used, the buffer is zero-filled before the wait, the wait comes before
// the one read. Wire speed: the reply is read until its expected length is in or the response
// timeout has passed. The reply is shown before or after its check as `shown` says; on
// success *reply (when given) holds it, in the session's buffer.
std::optional<CommandFault> Transact(Session& session, const Frame& request, unsigned waitMs, ReplyShown shown,
                                     const ReplyCheck& check, Reply* reply = nullptr);

// The parts, for read meter's own gathering: the request written (and tapped), nothing shown.
std::optional<CommandFault> WriteRequest(Session& session, const Frame& request);
// Writes the request and reads its reply at wire speed into the session's buffer, for as
// long as ReplyBudgetMs gives it. A reply whose start came but not its end is Incomplete, and
// the line is left quiet before the next request.
std::optional<CommandFault> ReceiveAtWireSpeed(Session& session, const Frame& request, Reply* reply);
// Reads the reply to a request already written, for up to budgetMs.
std::optional<CommandFault> AwaitReply(Session& session, const Frame& request, unsigned budgetMs, Reply* reply);

// How long the reply to request may take from the write: the request's and its longest
// reply's time on the line at the session's speed, the response timeout and the latency the
// session's line adds.
unsigned ReplyBudgetMs(const Session& session, Reply request);
