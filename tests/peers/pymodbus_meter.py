#!/usr/bin/python3
"""A meter played by pymodbus, so that the tool is checked against someone else's Modbus RTU.

A stock pymodbus RTU server answers on a pseudo-terminal, at every slave address including 0
(the tool sends its reads to address 0, and the set-address request too). One register block
serves both the input registers (function 0x04) and the holding registers (function 0x10), so
that what a setting command wrote is what the matching read returns, as on the real meters.

pymodbus opens its serial port by path, as it would open /dev/ttyUSB0, and a pseudo-terminal
master has no path. So there are two pseudo-terminals: pymodbus opens the slave of the first,
the tool opens the slave of the second, and the two masters are joined byte for byte.

Usage: /usr/bin/python3 pymodbus_meter.py [--state FILE] [--missing REG,...] [--verbose]

The first line on standard output is the device path for the tool (flushed at once). Before
every reply is sent, a line "reply <length>" gives its length in bytes, so that a test knows
what to wait for. With --state, the registers 0x00 to 0x60 are written as JSON to FILE
before every reply is sent, and again on SIGUSR1:
    {"requests": <requests answered>, "registers": [<register 0>, ..., <register 0x60>]}
--missing takes registers away from the meter (numbers in decimal or 0x hex, comma
separated): a request that touches one gets pymodbus's own exception reply, code 2 (illegal
data address). Missing registers are null in the state file.

A line "reset [REG,...]" on standard input starts the meter afresh, as if started with that
--missing list: initial registers, no requests answered. The state file is written and the
line "reset" is printed when it is done. One meter then serves a whole test run.
The server ends on SIGTERM, SIGINT or when its standard input is closed; run it with an
open standard input.
Exit status 0 after a clean stop, 77 when pymodbus or pyserial-asyncio is missing.
"""

import argparse
import asyncio
import json
import logging
import os
import signal
import sys
import tty

try:
    from pymodbus.datastore import (
        ModbusServerContext,
        ModbusSlaveContext,
        ModbusSparseDataBlock,
    )
    from pymodbus.server import StartAsyncSerialServer
    from pymodbus.transaction import ModbusRtuFramer
    import serial_asyncio  # noqa: F401  pymodbus needs it for serial servers
except ImportError as missing:
    print(f"SKIP: {missing} (Debian: python3-pymodbus python3-serial-asyncio)", file=sys.stderr)
    sys.exit(77)

REGISTER_COUNT = 0x80
STATE_LAST_REGISTER = 0x60

# A plausible meter of either type: address 1, 9600 baud, no parity, two decimals, six
# screens shown five seconds each, serial number 12345678, CT ratio 1, password 0000.
# The three-phase registers 0x2F to 0x34 are what its read-address command gets back in one
# go: address, screen number, display time, decimals, then the serial number.
INITIAL_REGISTERS = {
    # single-phase meter
    0x14: 0x1234,  # serial number, digits 1-4
    0x15: 0x5678,  # serial number, digits 5-8
    0x18: 1,  # address
    0x19: 5,  # display time
    0x1A: 6,  # screen number
    0x1B: 2,  # decimal places
    0x1D: 0x20,  # baud code: 9600
    # three-phase meter
    0x2E: 0x20,  # baud code: 9600
    0x2F: 1,  # address
    0x30: 6,  # screen number
    0x31: 5,  # display time
    0x32: 2,  # decimal places
    0x33: 0x1234,  # serial number, digits 1-4
    0x34: 0x5678,  # serial number, digits 5-8
    0x44: 1,  # CT ratio
    0x46: 0x0000,  # password, packed BCD
    # both
    0x50: 2,  # parity code: none
}


def open_raw_pty():
    """A pseudo-terminal pair whose slave passes bytes unchanged (no echo, no line editing)."""
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave


class PtyJoin:
    """Copies bytes between two pseudo-terminal masters in both directions.

    The slaves stay open here as well, so that a side closing its slave (the tool closing
    its port between tests) never leaves a master hung up and spinning the event loop.
    """

    def __init__(self, loop):
        self.loop = loop
        self.server_master, self.server_slave = open_raw_pty()
        self.tool_master, self.tool_slave = open_raw_pty()
        self.server_path = os.ttyname(self.server_slave)
        self.tool_path = os.ttyname(self.tool_slave)
        self.verbose = False
        loop.add_reader(self.tool_master, self._pass, self.tool_master, self.server_master, "->")
        loop.add_reader(self.server_master, self._pass, self.server_master, self.tool_master, "<-")

    def _pass(self, source, target, direction):
        try:
            data = os.read(source, 4096)
        except OSError:
            return
        if self.verbose:
            print(f"{direction} {data.hex(' ').upper()}", file=sys.stderr, flush=True)
        while data:
            try:
                written = os.write(target, data)
            except OSError:
                return
            data = data[written:]

    def close(self):
        self.loop.remove_reader(self.tool_master)
        self.loop.remove_reader(self.server_master)
        for fd in (self.server_master, self.server_slave, self.tool_master, self.tool_slave):
            os.close(fd)


def parse_registers(text):
    """Register numbers, comma separated, in decimal or 0x hex."""
    return {int(number, 0) for number in text.split(",") if number}


def stop_on_signals(loop):
    """A future that SIGTERM or SIGINT completes, and the function that completes it."""
    stop = loop.create_future()

    def finish():
        if not stop.done():
            stop.set_result(None)

    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, finish)
    return stop, finish


def make_block(missing):
    """The meter's register file: the initial registers, without the missing ones."""
    values = {
        register: INITIAL_REGISTERS.get(register, 0)
        for register in range(REGISTER_COUNT)
        if register not in missing
    }
    return ModbusSparseDataBlock(values)


class StateFile:
    """Writes the registers to a JSON file, whole or not at all (rename over the old one)."""

    def __init__(self, path, block):
        self.path = path
        self.block = block
        self.requests = 0

    def write(self):
        if not self.path:
            return
        registers = [
            self.block.getValues(register, 1)[0] if self.block.validate(register, 1) else None
            for register in range(STATE_LAST_REGISTER + 1)
        ]
        state = {"requests": self.requests, "registers": registers}
        scratch = self.path + ".tmp"
        with open(scratch, "w", encoding="ascii") as out:
            json.dump(state, out)
        os.replace(scratch, self.path)

    def after_request(self, response):
        """pymodbus calls this with every reply, before it is sent."""
        self.requests += 1
        self.write()
        # Address, function code, the PDU's data and the CRC.
        print(f"reply {len(response.encode()) + 4}", flush=True)
        return response, False


async def serve(args):
    loop = asyncio.get_running_loop()
    join = PtyJoin(loop)
    join.verbose = args.verbose

    block = make_block(args.missing)
    slave = ModbusSlaveContext(ir=block, hr=block, zero_mode=True)
    context = ModbusServerContext(slaves=slave, single=True)
    state = StateFile(args.state, block)
    state.write()

    server = await StartAsyncSerialServer(
        context=context,
        framer=ModbusRtuFramer,
        port=join.server_path,
        baudrate=9600,
        defer_start=True,
        response_manipulator=state.after_request,
    )
    await server.start()
    if server.transport is None:
        print(f"pymodbus could not open {join.server_path}", file=sys.stderr)
        join.close()
        return 1

    stop, finish = stop_on_signals(loop)
    loop.add_signal_handler(signal.SIGUSR1, state.write)

    def reset(missing):
        fresh = make_block(missing)
        slave.store["i"] = slave.store["h"] = fresh
        state.block = fresh
        state.requests = 0
        state.write()
        print("reset", flush=True)

    pending = bytearray()

    def stdin_readable():
        try:
            data = os.read(sys.stdin.fileno(), 4096)
        except OSError:
            data = b""
        if not data:
            loop.remove_reader(sys.stdin.fileno())
            finish()
            return
        pending.extend(data)
        while b"\n" in pending:
            line, _, rest = bytes(pending).partition(b"\n")
            pending[:] = rest
            words = line.decode("ascii", "replace").split()
            if words and words[0] == "reset":
                reset(parse_registers(words[1]) if len(words) > 1 else set())

    loop.add_reader(sys.stdin.fileno(), stdin_readable)

    print(join.tool_path, flush=True)
    await stop
    # pymodbus logs the cancellation of its own handler as an error when it shuts down.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    await server.shutdown()
    join.close()
    return 0


def main():
    parser = argparse.ArgumentParser(description="A meter played by a pymodbus RTU server.")
    parser.add_argument("--state", help="write the registers as JSON to this file")
    parser.add_argument(
        "--missing",
        type=parse_registers,
        default=set(),
        help="registers the meter does not have, comma separated",
    )
    parser.add_argument("--verbose", action="store_true", help="log every byte on stderr")
    args = parser.parse_args()
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
    if not args.verbose:
        # Every exception reply would be logged as an error; the missing registers are meant.
        logging.getLogger("pymodbus.pdu").setLevel(logging.CRITICAL)
    return asyncio.run(serve(args))


if __name__ == "__main__":
    sys.exit(main())
