"""TDS 7.4 for the stand-in: packet and token writing, PRELOGIN, LOGIN7,
transaction-manager and RPC requests, read and answered byte for byte.

What it speaks: PRELOGIN (no encryption: it answers ENCRYPT_NOT_SUP), LOGIN7
(SQL logins; a login asking for integrated security gets 18452), SQL batch
requests, attention (cancel) packets, which it acknowledges with a DONE
carrying the attention flag, and transaction-manager requests (answered as
no-ops). Of RPC requests it serves sp_prepexec / sp_prepare / sp_execute /
sp_unprepare / sp_executesql, with their parameters bound by name to the
statement: what SQLPrepare + SQLExecute and bound parameters
(SQLBindParameter) turn into. A statement run by RPC counts as a request and
is recorded like a batch, with "rpc" naming the procedure and "params" its
parameter values.
"""

import re
import struct

from scenario import fold

# ---------------------------------------------------------------------------
# TDS constants

PKT_SQL_BATCH = 0x01
PKT_RPC = 0x03
PKT_REPLY = 0x04
PKT_ATTENTION = 0x06
PKT_BULK = 0x07
PKT_TRANSACTION = 0x0E
PKT_LOGIN7 = 0x10
PKT_SSPI = 0x11
PKT_PRELOGIN = 0x12

STATUS_EOM = 0x01

TOK_COLMETADATA = 0x81
TOK_ERROR = 0xAA
TOK_INFO = 0xAB
TOK_LOGINACK = 0xAD
TOK_ROW = 0xD1
TOK_ENVCHANGE = 0xE3
TOK_DONE = 0xFD
TOK_DONEPROC = 0xFE
TOK_DONEINPROC = 0xFF
TOK_RETURNSTATUS = 0x79
TOK_RETURNVALUE = 0xAC

DONE_FINAL = 0x0000
DONE_MORE = 0x0001
DONE_ERROR = 0x0002
DONE_COUNT = 0x0010
DONE_ATTN = 0x0020

CURCMD_SELECT = 0xC1

ENV_DATABASE = 1
ENV_LANGUAGE = 2
ENV_PACKETSIZE = 4
ENV_COLLATION = 7
ENV_BEGIN_TRAN = 8
ENV_COMMIT_TRAN = 9
ENV_ROLLBACK_TRAN = 10

TDS74 = bytes([0x74, 0x00, 0x00, 0x04])
PRODUCT_VERSION = (15, 0, 2000)  # SQL Server 2019 RTM
# SQL_Latin1_General_CP1_CI_AS
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])


def b_varchar(text):
    raw = text.encode("utf-16-le")
    return bytes([len(raw) // 2]) + raw


def us_varchar(text):
    raw = text.encode("utf-16-le")
    return struct.pack("<H", len(raw) // 2) + raw


# ---------------------------------------------------------------------------
# TDS token writing


def tok_envchange_str(kind, new, old):
    body = bytes([kind]) + b_varchar(new) + b_varchar(old)
    return bytes([TOK_ENVCHANGE]) + struct.pack("<H", len(body)) + body


def tok_envchange_bytes(kind, new, old):
    body = bytes([kind, len(new)]) + new + bytes([len(old)]) + old
    return bytes([TOK_ENVCHANGE]) + struct.pack("<H", len(body)) + body


def tok_message(m, server, line):
    body = (struct.pack("<iBB", m.number, m.state, m.severity) + us_varchar(m.text)
            + b_varchar(server) + b_varchar("") + struct.pack("<i", line))
    token = TOK_ERROR if m.is_error else TOK_INFO
    return bytes([token]) + struct.pack("<H", len(body)) + body


def tok_loginack(version=TDS74):
    body = (bytes([1]) + version + b_varchar("Microsoft SQL Server")
            + bytes([PRODUCT_VERSION[0], PRODUCT_VERSION[1],
                     PRODUCT_VERSION[2] >> 8, PRODUCT_VERSION[2] & 0xFF]))
    return bytes([TOK_LOGINACK]) + struct.pack("<H", len(body)) + body


def tok_done(status, curcmd=0, rows=0, token=TOK_DONE):
    return bytes([token]) + struct.pack("<HHQ", status, curcmd, rows)


def tok_returnstatus(value):
    return bytes([TOK_RETURNSTATUS]) + struct.pack("<i", value)


def tok_returnvalue(ordinal, name, value):
    """An output parameter of type int (the handle of sp_prepexec)."""
    return (bytes([TOK_RETURNVALUE]) + struct.pack("<H", ordinal) + b_varchar(name)
            + bytes([0x01]) + struct.pack("<IH", 0, 0x0001) + bytes([0x26, 4, 4])
            + struct.pack("<i", value))


# ---------------------------------------------------------------------------
# Packets and requests


def reply_packets(payload, packet_size, spid, final=True):
    """A reply message as packets no larger than the packet size."""
    room = packet_size - 8
    chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
    out = bytearray()
    for k, chunk in enumerate(chunks):
        last = k == len(chunks) - 1
        status = STATUS_EOM if (last and final) else 0
        out += struct.pack(">BBHHBB", PKT_REPLY, status, len(chunk) + 8, spid, 1, 0) + chunk
    return bytes(out)


def prelogin_reply():
    options = [
        (0x00, bytes([PRODUCT_VERSION[0], PRODUCT_VERSION[1]])
         + struct.pack(">H", PRODUCT_VERSION[2]) + b"\x00\x00"),  # VERSION
        (0x01, b"\x02"),  # ENCRYPTION: ENCRYPT_NOT_SUP
        (0x02, b"\x00"),  # INSTOPT
        (0x03, b""),      # THREADID
        (0x04, b"\x00"),  # MARS off
    ]
    head = bytearray()
    body = bytearray()
    offset = len(options) * 5 + 1
    for kind, data in options:
        head += struct.pack(">BHH", kind, offset + len(body), len(data))
        body += data
    return bytes(head) + b"\xff" + bytes(body)


class Login7:
    """The fields of a LOGIN7 request that the server looks at."""

    def __init__(self, data):
        # Raises struct.error or IndexError on a malformed request.
        self.client_version = struct.unpack_from("<I", data, 4)[0]
        self.packet_size = struct.unpack_from("<I", data, 8)[0]
        self.integrated = bool(data[25] & 0x80)  # fIntSecurity of OptionFlags2

        def field(i):
            off, ln = struct.unpack_from("<HH", data, 36 + 4 * i)
            return data[off:off + 2 * ln]

        self.user = field(1).decode("utf-16-le", "replace")
        pw_raw = bytes(((b ^ 0xA5) >> 4) | (((b ^ 0xA5) & 0x0F) << 4) for b in field(2))
        self.password = pw_raw.decode("utf-16-le", "replace")
        self.app = field(3).decode("utf-16-le", "replace")
        self.database = field(8).decode("utf-16-le", "replace")


def transaction_reply(payload, spid):
    """The answer to a transaction-manager request: its ENVCHANGE, no transaction kept."""
    try:
        headers_len = struct.unpack_from("<I", payload, 0)[0]
        kind = struct.unpack_from("<H", payload, headers_len)[0]
    except struct.error:
        kind = 0
    env = b""
    descriptor = struct.pack("<Q", spid)
    if kind == 5:  # TM_BEGIN_XACT
        env = tok_envchange_bytes(ENV_BEGIN_TRAN, descriptor, b"")
    elif kind == 7:  # TM_COMMIT_XACT
        env = tok_envchange_bytes(ENV_COMMIT_TRAN, b"", descriptor)
    elif kind == 8:  # TM_ROLLBACK_XACT
        env = tok_envchange_bytes(ENV_ROLLBACK_TRAN, b"", descriptor)
    return env + tok_done(DONE_FINAL)


def all_headers_length(payload):
    """Length of the ALL_HEADERS block that opens a TDS 7.2+ request."""
    if len(payload) < 4:
        return 0
    n = struct.unpack_from("<I", payload, 0)[0]
    return n if 4 <= n <= len(payload) else 0


RPC_PROC_IDS = {1: "sp_cursor", 2: "sp_cursoropen", 3: "sp_cursorprepare",
                4: "sp_cursorexecute", 5: "sp_cursorprepexec", 6: "sp_cursorunprepare",
                7: "sp_cursorfetch", 8: "sp_cursoroption", 9: "sp_cursorclose",
                10: "sp_executesql", 11: "sp_prepare", 12: "sp_execute",
                13: "sp_prepexec", 14: "sp_prepexecrpc", 15: "sp_unprepare"}

FIXED_TYPES = {0x1F: 0, 0x30: 1, 0x32: 1, 0x34: 2, 0x38: 4, 0x3A: 4, 0x3B: 4, 0x3C: 8,
               0x3D: 8, 0x3E: 8, 0x7A: 4, 0x7F: 8}
BYTELEN_TYPES = {0x24, 0x26, 0x68, 0x6D, 0x6E, 0x6F}
USHORTLEN_TYPES = {0xA7: True, 0xAF: True, 0xE7: True, 0xEF: True, 0xA5: False, 0xAD: False}
LONGLEN_TYPES = {0x23: True, 0x63: True, 0x22: False}
INT_TYPES = {0x26, 0x30, 0x34, 0x38, 0x7F}
UNICODE_TYPES = {0xE7, 0xEF, 0x63}


class RpcCall:
    def __init__(self, name, outputs, params=None):
        self.name = name
        self.outputs = outputs  # (ordinal, parameter name, int value)
        self.params = params or []  # (declared name, value) of the statement's parameters


def bind(declarations, values):
    """(name, value) pairs of a statement's parameters: the values of an RPC, named by
    the declaration text ("@P1 nvarchar(4000),@P2 int") when they come unnamed."""
    names = re.findall(r"@[A-Za-z0-9_]+", declarations or "")
    out = []
    for k, (pname, _, value) in enumerate(values):
        out.append((pname or (names[k] if k < len(names) else "@P%d" % (k + 1)), value))
    return out


def parse_rpc(payload):
    """(procedure name, [(parameter name, status, value)]) of one RPC request."""
    pos = all_headers_length(payload)
    n = struct.unpack_from("<H", payload, pos)[0]
    pos += 2
    if n == 0xFFFF:
        pid = struct.unpack_from("<H", payload, pos)[0]
        pos += 2
        proc = RPC_PROC_IDS.get(pid, "procedure #%d" % pid)
    else:
        proc = payload[pos:pos + 2 * n].decode("utf-16-le")
        pos += 2 * n
        if fold(proc).startswith("sys."):
            proc = proc[4:]
        proc = proc.lower() if fold(proc) in {fold(v) for v in RPC_PROC_IDS.values()} else proc
    pos += 2  # option flags
    params = []
    while pos < len(payload):
        if payload[pos] in (0x80, 0xFF):
            raise ValueError("batched RPC requests are not supported")
        ln = payload[pos]
        pname = payload[pos + 1:pos + 1 + 2 * ln].decode("utf-16-le")
        pos += 1 + 2 * ln
        status = payload[pos]
        ptype = payload[pos + 1]
        pos += 2
        raw = None
        if ptype in FIXED_TYPES:
            size = FIXED_TYPES[ptype]
            raw = payload[pos:pos + size]
            pos += size
        elif ptype in BYTELEN_TYPES:
            pos += 1
            size = payload[pos]
            raw = payload[pos + 1:pos + 1 + size] if size else None
            pos += 1 + size
        elif ptype in (0x6A, 0x6C):
            pos += 3
            size = payload[pos]
            raw = payload[pos + 1:pos + 1 + size] if size else None
            pos += 1 + size
        elif ptype in (0x28, 0x29, 0x2A, 0x2B):
            pos += 0 if ptype == 0x28 else 1
            size = payload[pos]
            raw = payload[pos + 1:pos + 1 + size] if size else None
            pos += 1 + size
        elif ptype in USHORTLEN_TYPES:
            maxlen = struct.unpack_from("<H", payload, pos)[0]
            pos += 2 + (5 if USHORTLEN_TYPES[ptype] else 0)
            if maxlen == 0xFFFF:  # PLP
                total = struct.unpack_from("<Q", payload, pos)[0]
                pos += 8
                if total != 0xFFFFFFFFFFFFFFFF:
                    raw = bytearray()
                    while True:
                        chunk = struct.unpack_from("<I", payload, pos)[0]
                        pos += 4
                        if chunk == 0:
                            break
                        raw += payload[pos:pos + chunk]
                        pos += chunk
                    raw = bytes(raw)
            else:
                size = struct.unpack_from("<H", payload, pos)[0]
                pos += 2
                if size != 0xFFFF:
                    raw = payload[pos:pos + size]
                    pos += size
        elif ptype in LONGLEN_TYPES:
            pos += 4 + (5 if LONGLEN_TYPES[ptype] else 0)
            size = struct.unpack_from("<i", payload, pos)[0]
            pos += 4
            if size >= 0:
                raw = payload[pos:pos + size]
                pos += size
        else:
            raise ValueError("parameter type 0x%02x is not supported" % ptype)
        if pos > len(payload):
            raise ValueError("truncated RPC request")
        if raw is None:
            value = None
        elif ptype in INT_TYPES:
            value = int.from_bytes(raw, "little", signed=True)
        elif ptype in UNICODE_TYPES:
            value = raw.decode("utf-16-le", "replace")
        elif ptype in (0xA7, 0xAF, 0x23):
            value = raw.decode("cp1252", "replace")
        else:
            value = raw
        params.append((pname, status, value))
    return proc, params


# Result sets: columns (name, kind, size) with kind "int", "bigint" or "nvarchar".


def tok_colmetadata(cols):
    out = bytearray([TOK_COLMETADATA]) + struct.pack("<H", len(cols))
    for name, kind, size in cols:
        out += struct.pack("<IH", 0, 0x0001)  # user type, flags: nullable
        if kind == "int":
            out += bytes([0x26, 4])
        elif kind == "bigint":
            out += bytes([0x26, 8])
        else:
            out += bytes([0xE7]) + struct.pack("<H", size) + COLLATION
        out += b_varchar(name)
    return bytes(out)


def tok_row(cols, values):
    out = bytearray([TOK_ROW])
    for (_, kind, size), v in zip(cols, values):
        if kind in ("int", "bigint"):
            size = 4 if kind == "int" else 8
            if v is None:
                out += bytes([0])
            else:
                out += bytes([size]) + int(v).to_bytes(size, "little", signed=True)
        else:
            if v is None:
                out += b"\xff\xff"
            else:
                raw = str(v).encode("utf-16-le")[:size]
                out += struct.pack("<H", len(raw)) + raw
    return bytes(out)
