#pragma once

#include "exchange.h"
#include "scan.h"

class LinePort;

// A session's line over a serial port of its own, with waits on the steady clock: what runs
// at wire speed beside the window's one port (quorvexctl, the window's meter finder).
Link LinkOver(LinePort& port);

// Puts the port at a scan's line setting; false when the port refuses it.
bool ApplyLineSetting(LinePort& port, const LineSetting& setting);

// The same for a search that goes on after a refusal: a port that a refused setting closed
// is opened again at the next. Empty when the setting took, otherwise the port's reason.
std::string PutLineAt(LinePort& port, const LineSetting& setting);
