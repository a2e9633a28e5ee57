#pragma once

#include "exchange.h"
#include "scan.h"

class LinePort;

// A session's line over a serial port of its own, with waits on the steady clock: what runs
// at wire speed beside the window's one port (quorvexctl, the window's meter finder).
Link LinkOver(LinePort& port);

// Puts the port at a scan's line setting; false when the port refuses it.
bool ApplyLineSetting(LinePort& port, const LineSetting& setting);
