#include "lineport.h"

#include "serialport.h"

std::unique_ptr<LinePort> MakeLinePort(const std::string& /*name*/)
{
    return std::make_unique<SerialPort>();
}
