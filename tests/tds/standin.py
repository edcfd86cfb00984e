#!/usr/bin/python3
"""SQL Server stand-in for tests: a small TDS 7.4 server on 127.0.0.1.

Usage:
    /usr/bin/python3 standin.py --scenario FILE [--port 0] [--record FILE]
                                [--exit-with-parent] [--verbose]

It listens on 127.0.0.1 (port 0: the system picks a free one), prints
``PORT <n>`` as the first line of stdout once it listens, and serves any
number of connections, one thread each. SIGTERM ends it; with
--exit-with-parent it also ends when the process that started it dies.
Python 3 standard library only.

One module per concern, each documenting its part:
    scenario.py   the scenario file: catalog, logins, faults; server messages
    sql.py        the SQL it understands and how statements change the catalog
    sysviews.py   the catalog views and the SELECT subset they are queried with
    protocol.py   the TDS it speaks: packets, tokens, LOGIN7, RPC requests
    server.py     connections, the record file, the process
standin_process.py starts it for Python callers, tests/support/standin_process.h
for C++ ones.
"""

from server import main

if __name__ == "__main__":
    main()
