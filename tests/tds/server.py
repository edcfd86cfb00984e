"""The stand-in's server: it listens, runs one session per connection and
writes the record of every request.

Record file (--record): one JSON line per request (SQL batch, or statement
run by RPC), appended and flushed before the answer goes out, so a client that
has its answer can read the line::

    {"seq": 1, "connection": 1, "login": "sa", "database": "KivoDB",
     "batch": "<exact text>", "rpc": null, "housekeeping": false, "errors": [4902],
     "dropped": false, "cancelled": false, "catalog": {"databases": [...]}}

"catalog" has the same shape as the scenario's "databases" (types normalised
to lower case without blanks, e.g. "nvarchar(250)"), taken after the batch.
"housekeeping" is true when every statement of the batch is one the driver
sends by itself (SET ..., SELECT @@..., IF ...). "session" holds the
connection's SET options after the request: {"ansi_warnings": true,
"implicit_transactions": false, "xact_abort": false, "lock_timeout": -1}.

An ALTER of a table that another session of the scenario holds a lock on
waits: LOCK_TIMEOUT milliseconds, then it fails with 1222 (the rest of the
batch runs); without a lock timeout until the client cancels (at most
LOCK_WAIT_LIMIT seconds, then 1222 as well, so that no test waits for ever).

A connection that ends with its transaction open is rolled back, as SQL Server
does, and adds a line of its own with "event": "rollback" (batch null,
housekeeping true) whose catalog is the one after the rollback. Under the
drop faults it is written before the socket closes.

Login: names are case-insensitive, passwords are not. A wrong password or
unknown login gives 18456 (severity 14); a database that does not exist or
that the login may not open gives 4060 (severity 11) then 18456. After a
good login: ENVCHANGE database, INFO 5701, ENVCHANGE collation, ENVCHANGE
language, INFO 5703, LOGINACK (TDS 7.4; 7.2 and 7.3 clients get their own
version), ENVCHANGE packet size, DONE.
"""

import argparse
import json
import os
import select
import signal
import socket
import struct
import sys
import threading
import time

from protocol import (COLLATION, CURCMD_SELECT, DONE_ATTN, DONE_COUNT, DONE_ERROR, DONE_FINAL,
                      DONE_MORE, ENV_COLLATION, ENV_DATABASE, ENV_LANGUAGE, ENV_PACKETSIZE,
                      PKT_ATTENTION, PKT_LOGIN7, PKT_PRELOGIN, PKT_RPC, PKT_SQL_BATCH,
                      PKT_TRANSACTION, STATUS_EOM, TDS74, TOK_DONE, TOK_DONEINPROC,
                      TOK_DONEPROC, Login7, RpcCall, all_headers_length, bind, parse_rpc,
                      prelogin_reply, reply_packets, tok_colmetadata, tok_done,
                      tok_envchange_bytes, tok_envchange_str, tok_loginack, tok_message,
                      tok_returnstatus, tok_returnvalue, tok_row, transaction_reply)
from scenario import SqlMessage, fold, load_scenario, msg_1222
from sql import MSG_3998, Result, SqlErrorBatch, SqlSession, parse_batch

LOCK_WAIT_LIMIT = 600  # seconds an ALTER waits for a lock without LOCK_TIMEOUT


def log(msg):
    sys.stderr.write("standin: %s\n" % msg)
    sys.stderr.flush()


class Server:
    """The catalog and faults of one scenario, shared by every connection under the lock."""

    def __init__(self, scenario, record_path, verbose):
        self.server_name = scenario.get("server_name", "STANDIN")
        self.databases, self.logins, faults = load_scenario(scenario)
        self.refuse_logins = bool(faults.get("refuse_logins", False))
        self.drop_at_request = int(faults.get("drop_at_request", 0) or 0)
        self.delay_ms = int(faults.get("delay_ms", 0) or 0)
        self.refuse_catalog = bool(faults.get("refuse_catalog", False))
        self.drop_on = faults.get("drop_on") or None
        self.doom_on = faults.get("doom_on") or None
        self.fail_commit = bool(faults.get("fail_commit", False))
        self.version = scenario.get("server_version", "15.0.2000.5")
        self.engine_edition = int(scenario.get("engine_edition", 3))
        self.sessions = scenario.get("sessions", [])  # other connections and their locks
        self.lock = threading.Lock()
        self.requests = 0
        self.seq = 0
        self.connections = 0
        self.verbose = verbose
        self.record = open(record_path, "a", encoding="utf-8") if record_path else None

    # catalog look-ups (caller holds the lock) --------------------------------

    def database(self, name):
        for d in self.databases:
            if fold(d.name) == fold(name):
                return d
        return None

    def login(self, name):
        for lg in self.logins:
            if fold(lg.name) == fold(name):
                return lg
        return None

    def catalog_json(self):
        return {"databases": [d.to_json() for d in self.databases]}

    def write_record(self, session, text, housekeeping, errors, rpc=None, dropped=False,
                     cancelled=False, params=None, event=None):
        # Caller holds the lock.
        self.seq += 1
        if self.record is None:
            return
        line = {
            "seq": self.seq,
            "connection": session.conn_id,
            "login": session.login.name if session.login else None,
            "database": session.db_name,
            "batch": text,
            "rpc": rpc,
            "housekeeping": housekeeping,
            "errors": errors,
            "dropped": dropped,
            "cancelled": cancelled,
            "params": params or [],
            "session": session.options(),
            "catalog": self.catalog_json(),
        }
        if event:
            line["event"] = event
        self.record.write(json.dumps(line, ensure_ascii=False) + "\n")
        self.record.flush()


class ConnectionClosed(Exception):
    pass


class Session(SqlSession):
    """One connection: its packets, its login and the requests it sends."""

    def __init__(self, server, sock, conn_id):
        super().__init__(server, 50 + conn_id)
        self.sock = sock
        self.conn_id = conn_id
        self.packet_size = 4096
        self.tds_version = TDS74
        self.pending = []  # packets read ahead while waiting
        self.prepared = {}  # handle -> (statement text, parameter declarations)
        self.next_handle = 0

    # packet I/O ----------------------------------------------------------------

    def recv_exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise ConnectionClosed()
            buf += chunk
        return bytes(buf)

    def read_packet(self):
        if self.pending:
            return self.pending.pop(0)
        header = self.recv_exact(8)
        ptype, status, length = header[0], header[1], struct.unpack(">H", header[2:4])[0]
        if length < 8:
            raise ConnectionClosed()
        return ptype, status, self.recv_exact(length - 8)

    def read_message(self):
        """One whole request: (type, payload) over as many packets as it takes."""
        ptype, status, data = self.read_packet()
        payload = bytearray(data)
        while not status & STATUS_EOM:
            t2, status, data = self.read_packet()
            if t2 == PKT_ATTENTION:
                return PKT_ATTENTION, b""
            payload += data
        return ptype, bytes(payload)

    def send_message(self, payload, final=True):
        self.sock.sendall(reply_packets(payload, self.packet_size, self.spid, final))

    def wait_or_attention(self, seconds):
        """Sleep; True when an attention packet arrived meanwhile."""
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return False
            r, _, _ = select.select([self.sock], [], [], left)
            if r:
                ptype, status, data = self.read_packet()
                if ptype == PKT_ATTENTION:
                    return True
                self.pending.append((ptype, status, data))

    # connection life -----------------------------------------------------------

    def serve(self):
        try:
            if not self.handshake():
                return
            while True:
                ptype, payload = self.read_message()
                if ptype == PKT_SQL_BATCH:
                    if not self.sql_batch(payload):
                        return
                elif ptype == PKT_ATTENTION:
                    self.send_message(tok_done(DONE_ATTN))
                elif ptype == PKT_TRANSACTION:
                    self.transaction_request(payload)
                elif ptype == PKT_RPC:
                    if not self.rpc_request(payload):
                        return
                else:
                    log("connection %d: unexpected packet type 0x%02x" % (self.conn_id, ptype))
                    return
        except (ConnectionClosed, ConnectionError, OSError):
            pass
        finally:
            self.end_transaction()
            try:
                self.sock.close()
            except OSError:
                pass
            if self.server.verbose:
                log("connection %d closed" % self.conn_id)

    def end_transaction(self):
        """The server's rollback of a transaction its connection left open."""
        with self.server.lock:
            if self.trancount:
                self.rollback()
                self.server.write_record(self, None, True, [], event="rollback")

    def handshake(self):
        ptype, payload = self.read_message()
        if ptype == PKT_PRELOGIN:
            self.send_message(prelogin_reply())
            ptype, payload = self.read_message()
        if ptype != PKT_LOGIN7:
            log("connection %d: expected LOGIN7, got 0x%02x" % (self.conn_id, ptype))
            return False
        return self.login7(payload)

    def login7(self, data):
        srv = self.server
        try:
            request = Login7(data)
        except (struct.error, IndexError):
            log("connection %d: malformed LOGIN7" % self.conn_id)
            return False
        client_version = request.client_version
        requested_size = request.packet_size
        user, password, database = request.user, request.password, request.database
        if 512 <= requested_size <= 32767:
            self.packet_size = requested_size
        # 7.2 and 7.3 clients get their own version back (their tokens are the
        # same as 7.4's); older or unknown ones are answered as 7.4, which
        # FreeTDS then adopts.
        if 0x72000000 <= client_version < 0x74000000:
            self.tds_version = struct.pack(">I", client_version)
        if srv.verbose:
            log("connection %d: login user=%r app=%r database=%r packet=%d sspi=%s tds=0x%08x"
                % (self.conn_id, user, request.app, database, requested_size,
                   request.integrated, client_version))

        def refuse(*messages):
            out = b"".join(tok_message(m, srv.server_name, 1) for m in messages)
            self.send_message(out + tok_done(DONE_ERROR))
            return False

        if request.integrated:
            return refuse(SqlMessage(18452, 14, 1, "Login failed. The login is from an untrusted "
                                     "domain and cannot be used with Windows authentication."))
        failed = SqlMessage(18456, 14, 1, "Login failed for user '%s'." % user)
        with srv.lock:
            login = srv.login(user)
            if srv.refuse_logins or login is None or login.password != password:
                return refuse(failed)
            wanted = database or login.default_database
            db = srv.database(wanted)
            allowed = login.databases is None or fold(wanted) in {fold(x) for x in login.databases}
            if db is None or not allowed:
                return refuse(SqlMessage(4060, 11, 1, 'Cannot open database "%s" requested by the '
                                         "login. The login failed." % wanted), failed)
            self.login = login
            self.db_name = db.name
            self.ansi_warnings = bool(login.ansi_warnings)
        name = srv.server_name
        size = str(self.packet_size)
        out = (tok_envchange_str(ENV_DATABASE, self.db_name, "master")
               + tok_message(SqlMessage(5701, 0, 2, "Changed database context to '%s'."
                                        % self.db_name), name, 1)
               + tok_envchange_bytes(ENV_COLLATION, COLLATION, b"")
               + tok_envchange_str(ENV_LANGUAGE, "us_english", "")
               + tok_message(SqlMessage(5703, 0, 1, "Changed language setting to us_english."),
                             name, 1)
               + tok_loginack(self.tds_version)
               + tok_envchange_str(ENV_PACKETSIZE, size, size)
               + tok_done(DONE_FINAL))
        self.send_message(out)
        return True

    def transaction_request(self, payload):
        self.send_message(transaction_reply(payload, self.spid))

    # SQL batches -----------------------------------------------------------------

    def sql_batch(self, payload):
        """Run one SQL batch request; False when the connection must end."""
        headers_len = all_headers_length(payload)
        text = payload[headers_len:].decode("utf-16-le", "replace")
        return self.run_request(text, None)

    def rpc_request(self, payload):
        """The procedures that ODBC's SQLPrepare/SQLExecute and bound parameters
        turn into; the statement's parameters are bound by name for it.
        Anything else gets an error, never a hang.
        """
        name = self.server.server_name
        try:
            proc, params = parse_rpc(payload)
        except (struct.error, IndexError, ValueError) as e:
            log("connection %d: unreadable RPC: %s" % (self.conn_id, e))
            m = SqlMessage(8009, 16, 1, "The incoming tabular data stream (TDS) remote "
                           "procedure call (RPC) protocol stream is incorrect.")
            self.send_message(tok_message(m, name, 1) + tok_done(DONE_ERROR))
            return True
        if self.server.verbose:
            log("connection %d: rpc %s %r" % (self.conn_id, proc, [p[2] for p in params]))

        def fail(m):
            self.send_message(tok_message(m, name, 1) + tok_returnstatus(0)
                              + tok_done(DONE_ERROR, token=TOK_DONEPROC))
            return True

        def text_param(k):
            v = params[k][2] if k < len(params) else None
            return v if isinstance(v, str) else ""

        def int_param(k):
            v = params[k][2] if k < len(params) else None
            return v if isinstance(v, int) else None

        if proc == "sp_executesql":
            return self.run_request(text_param(0),
                                    RpcCall(proc, [], bind(text_param(1), params[2:])))
        if proc in ("sp_prepexec", "sp_prepare"):
            self.next_handle += 1
            handle = self.next_handle
            self.prepared[handle] = (text_param(2), text_param(1))
            outs = [(0, params[0][0], handle)]
            if proc == "sp_prepare":
                self.send_message(tok_returnstatus(0) + tok_returnvalue(*outs[0])
                                  + tok_done(DONE_FINAL, token=TOK_DONEPROC))
                return True
            return self.run_request(text_param(2),
                                    RpcCall(proc, outs, bind(text_param(1), params[3:])))
        if proc == "sp_execute":
            handle = int_param(0)
            if handle not in self.prepared:
                return fail(SqlMessage(8179, 16, 2, "Could not find prepared statement with "
                                       "handle %s." % handle))
            text, declarations = self.prepared[handle]
            return self.run_request(text, RpcCall(proc, [], bind(declarations, params[1:])))
        if proc == "sp_unprepare":
            self.prepared.pop(int_param(0), None)
            self.send_message(tok_returnstatus(0) + tok_done(DONE_FINAL, token=TOK_DONEPROC))
            return True
        return fail(SqlMessage(2812, 16, 62, "Could not find stored procedure '%s'." % proc))

    def run_request(self, text, rpc):
        """Run the statements of one request; False when the connection must end.

        rpc is None for an SQL batch, else the RpcCall whose procedure runs the
        text: statements then end with DONEINPROC and the answer with DONEPROC.
        """
        srv = self.server
        if srv.verbose:
            log("connection %d: batch %r" % (self.conn_id, text))
        try:
            stmts = parse_batch(text)
            batch_error = None
        except SqlErrorBatch as e:
            stmts = []
            batch_error = e.message
        housekeeping = batch_error is None and bool(stmts) and all(s.housekeeping for s in stmts)
        rpc_name = rpc.name if rpc else None
        self.params = {fold(n): v for n, v in rpc.params} if rpc else {}
        param_values = [v if v is None or isinstance(v, (int, str)) else repr(v)
                        for _, v in (rpc.params if rpc else [])]

        with srv.lock:
            srv.requests += 1
            doom = srv.doom_on is not None and text.startswith(srv.doom_on)
            if doom:
                srv.doom_on = None
            drop = srv.drop_at_request and srv.requests == srv.drop_at_request
            if srv.drop_on is not None and text.startswith(srv.drop_on):
                drop, srv.drop_on = True, None
            if drop:
                srv.write_record(self, text, housekeeping, [], rpc_name, dropped=True)
                log("connection %d: dropped at request %d" % (self.conn_id, srv.requests))
        if drop:
            self.end_transaction()
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return False

        name = srv.server_name
        done_token = TOK_DONEINPROC if rpc else TOK_DONE
        out = bytearray()
        errors = []

        def finish(cancelled=False):
            with srv.lock:
                srv.write_record(self, text, housekeeping, errors, rpc_name, cancelled=cancelled,
                                 params=param_values)
            if cancelled:
                out.extend(tok_done(DONE_ATTN))
            elif rpc:
                out.extend(tok_returnstatus(0))
                for ordinal, pname, value in rpc.outputs:
                    out.extend(tok_returnvalue(ordinal, pname, value))
                out.extend(tok_done(DONE_ERROR if errors else DONE_FINAL, token=TOK_DONEPROC))
            self.send_message(bytes(out))
            return True

        if batch_error is not None:
            errors.append(batch_error.number)
            self.last_error = batch_error.number
            out += tok_message(batch_error, name, 1) + tok_done(DONE_ERROR, token=done_token)
            return finish()
        if not stmts:
            out += tok_done(DONE_FINAL, token=done_token)
            return finish()

        room = self.packet_size - 8
        for k, stmt in enumerate(stmts):
            last = k == len(stmts) - 1
            if srv.delay_ms and not stmt.housekeeping:
                if self.wait_or_attention(srv.delay_ms / 1000.0):
                    return finish(cancelled=True)
            with srv.lock:
                holder = self.lock_holder(stmt)
                if holder is None:
                    result = self.execute(stmt)
            if holder is not None:
                wait = self.lock_timeout / 1000.0 if self.lock_timeout >= 0 else LOCK_WAIT_LIMIT
                if self.wait_or_attention(wait):
                    return finish(cancelled=True)
                result = Result()
                result.messages.append(msg_1222())
            with srv.lock:
                # The doom fault makes the transaction uncommittable without a message of its
                # own; the end of the request then rolls it back and says so.
                self.doomed = self.doomed or (doom and self.trancount > 0)
                if self.doomed and (last or result.abort):
                    self.rollback()
                    result.messages.append(MSG_3998)
            for m in result.messages:
                out += tok_message(m, name, stmt.line)
                if m.is_error:
                    errors.append(m.number)
                    self.last_error = m.number
            failed = any(m.is_error for m in result.messages)
            if not failed:
                self.last_error = 0
            stop = result.abort or (failed and self.xact_abort)
            if failed and self.xact_abort and self.trancount:
                with srv.lock:
                    self.rollback()
            if result.database_change:
                out += tok_envchange_str(ENV_DATABASE, *result.database_change)
            if result.columns is not None:
                out += tok_colmetadata(result.columns)
                out += b"".join(tok_row(result.columns, r) for r in result.rows)
            status = DONE_MORE if (rpc or not (last or stop)) else DONE_FINAL
            if failed:
                status |= DONE_ERROR
            if result.rowcount is not None:
                status |= DONE_COUNT
                self.last_rowcount = result.rowcount
            out += tok_done(status, CURCMD_SELECT if result.select else 0, result.rowcount or 0,
                            token=done_token)
            if stop:
                break
            if failed and not last:
                # Let the client see the error now (a short packet without EOM):
                # its answer to it, a cancel, can then meet the rest of the batch
                # still waiting under delay_ms, as on a real server.
                self.send_message(bytes(out), final=False)
                del out[:]
            # Stream what fills whole packets, as a server does on long batches.
            elif len(out) > room and not last:
                whole = len(out) - len(out) % room
                if whole == len(out):
                    whole -= room
                self.send_message(bytes(out[:whole]), final=False)
                del out[:whole]
        return finish()


def main(argv=None):
    ap = argparse.ArgumentParser(description="SQL Server stand-in for tests (TDS 7.4)")
    ap.add_argument("--scenario", required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--record")
    ap.add_argument("--exit-with-parent", action="store_true")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args(argv)

    with open(args.scenario, encoding="utf-8") as f:
        scenario = json.load(f)
    server = Server(scenario, args.record, args.verbose)

    def stop(*_):
        # Never cut a record line in half: records are written and flushed under the lock.
        # No other buffered stream may be touched here: the handler runs in the main thread
        # between two bytecodes, possibly inside the flush of the PORT line that the parent has
        # already read and answered with SIGTERM, and a second flush of the same stream raises
        # "reentrant call", which would end the process with 1 instead of 0.
        server.lock.acquire(timeout=2)
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    if args.exit_with_parent:
        parent = os.getppid()

        def watch():
            while True:
                if os.getppid() != parent:
                    stop()
                time.sleep(0.2)

        threading.Thread(target=watch, daemon=True).start()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    print("PORT %d" % listener.getsockname()[1], flush=True)

    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with server.lock:
            server.connections += 1
            conn_id = server.connections
        if server.verbose:
            log("connection %d accepted" % conn_id)
        threading.Thread(target=Session(server, sock, conn_id).serve, daemon=True).start()


if __name__ == "__main__":
    main()
