#include "lineport.h"

#include "netport.h"
#include "portname.h"
#include "serialport.h"

std::unique_ptr<LinePort> MakeLinePort(const std::string& name)
{
    PortName parsed;
    std::string error;
    // A name that does not parse gets a serial port, whose open then fails naming the path;
    // callers that want the name's fault ask ParsePortName first.
    if (ParsePortName(name, &parsed, &error) && parsed.kind != PortKind::Serial) {
        return MakeNetPort(parsed.kind);
    }
    return std::make_unique<SerialPort>();
}
