#!/usr/bin/python3
"""The meter of pymodbus_meter.py behind pymodbus's own Modbus TCP server: an independent
Modbus TCP gateway with a meter behind it, for the network ports' tests.

Usage: /usr/bin/python3 pymodbus_tcp_meter.py PORT

Listens on 127.0.0.1:PORT and prints "listening" once it does. Ends on SIGTERM, SIGINT or
when standard input is closed. Exit status 77 when pymodbus is missing.
"""

import asyncio
import logging
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pymodbus_meter import make_block, stop_on_signals  # noqa: E402  exits 77 itself without pymodbus

from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext  # noqa: E402
from pymodbus.server import StartAsyncTcpServer  # noqa: E402


async def serve(port):
    loop = asyncio.get_running_loop()
    block = make_block(set())
    slave = ModbusSlaveContext(ir=block, hr=block, zero_mode=True)
    context = ModbusServerContext(slaves=slave, single=True)
    stop, finish = stop_on_signals(loop)

    def stdin_readable():
        if not os.read(sys.stdin.fileno(), 4096):
            loop.remove_reader(sys.stdin.fileno())
            finish()

    loop.add_reader(sys.stdin.fileno(), stdin_readable)
    server = asyncio.ensure_future(
        StartAsyncTcpServer(context=context, address=("127.0.0.1", port))
    )
    # The server gives no sign once it listens: try the port until it answers.
    for _ in range(100):
        try:
            _, writer = await asyncio.open_connection("127.0.0.1", port)
            writer.close()
            break
        except OSError:
            await asyncio.sleep(0.02)
    print("listening", flush=True)
    await stop
    server.cancel()
    return 0


def main():
    logging.basicConfig(stream=sys.stderr, level=logging.CRITICAL)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    return asyncio.run(serve(int(sys.argv[1])))


if __name__ == "__main__":
    sys.exit(main())
