#pragma once

#include "output.h"
#include "store.h"

#include <functional>
#include <string>

namespace ctl {

// A command's result as the store keeps it: "address" as the meter's address, "job" and
// "row" as where in a job it was, "property"/"value" (with "verified") as one property, a
// reading's fields as its reading, any other field as a property found; the serial number
// from whichever field holds it.
StoredResult ToStoredResult(const Outcome& outcome, const std::string& host);

// A sink for OutcomeWriter::addSink that records every result into the store.
std::function<void(const Outcome&)> StoreSink(Store& store);

// This machine's name, as results carry it.
std::string BenchHostName();

} // namespace ctl
