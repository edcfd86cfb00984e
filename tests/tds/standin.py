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

Scenario file (JSON, written by the test)::

    {
      "server_name": "STANDIN",                      # optional
      "databases": [
        {"name": "KivoDB",
         "schemas": ["CHXD", "MD"],                  # optional; dbo and every
                                                     # table's schema exist anyway
         "tables": [
           {"schema": "CHXD", "name": "T2011",
            "columns": [{"name": "i13", "type": "varchar(50)", "nullable": true},
                        {"name": "i15", "type": "varchar(50)"}],  # nullable: true
            "rows": 10,                              # optional, default 0
            "indexes": [{"name": "IX_T2011_i13", "columns": ["i13"]}],
            "not_alterable": false,                  # true, or a list of login
                                                     # names that may not alter it
            "not_readable": false,                   # same form; SELECT denied (229)
            # Catalog details, for the catalog views (all optional):
            #   columns may add "collation" (default: the database's),
            #   "computed": "definition", "identity": true;
            #   indexes may add "primary_key", "unique_constraint", "clustered",
            #   "included": [columns];
            "foreign_keys": [{"name": "FK", "columns": ["i13"],
                              "references": "CHXD.TPRICE", "ref_columns": ["i13"]}],
            "checks": [{"name": "CK", "column": "i13",   # no column: table-level
                        "definition": "([i13]<>'')"}],
            "defaults": [{"name": "DF", "column": "i13", "definition": "('')"}],
            "statistics": [{"name": "ST", "columns": ["i15"]}],
            "fulltext": ["i15"],
            "partitioned": false, "replicated": false,
            "data": {"i13": ["value", null]}}       # rows that SELECT ... FROM it sees
         ],
         "collation": "SQL_Latin1_General_CP1_CI_AS", # optional, also "state",
                                                     # "user_access", "read_only"
         "dependents": [{"schema": "CHXD", "name": "vT", "type": "VIEW",
                         "schema_bound": true,
                         "references": ["CHXD.T2011.i13"]}]}
      ],
      "server_version": "15.0.2000.5",              # optional; SERVERPROPERTY and the
                                                     # columns the views have
      "logins": [
        {"name": "sa", "password": "pw",
         "default_database": "KivoDB",               # optional, first database
         "default_schema": "dbo",                    # optional
         "may_create_tables": true,                  # optional; false: SELECT INTO
                                                     # gives 262
         "databases": ["KivoDB"],                    # optional; others give 4060
         "may_alter_schemas": true,                  # or a list of schemas
         "may_read_dependencies": true}              # false: 229 on
                                                     # sys.sql_expression_dependencies
      ],
      "faults": {
        "refuse_logins": false,   # every login fails with 18456
        "drop_at_request": 0,     # n > 0: the n-th request that arrives (SQL
                                  # batches and RPCs that run a statement,
                                  # counted over the whole server; logins and
                                  # attentions are not counted) is recorded
                                  # ("dropped"), not run, and its connection is
                                  # closed without an answer; once only
        "refuse_catalog": false,  # every catalog view and function is refused
        "delay_ms": 0             # wait this long before each statement (not
                                  # before the driver's SET / SELECT @@ ones); an
                                  # attention during the wait cancels the rest
                                  # of the request (recorded "cancelled")
      }
    }

Record file (--record): one JSON line per request (SQL batch, or statement
run by RPC), appended and flushed before the answer goes out, so a client that
has its answer can read the line::

    {"seq": 1, "connection": 1, "login": "sa", "database": "KivoDB",
     "batch": "<exact text>", "rpc": null, "housekeeping": false, "errors": [4902],
     "dropped": false, "cancelled": false, "catalog": {"databases": [...]}}

"catalog" has the same shape as the scenario's "databases" (types normalised
to lower case without blanks, e.g. "nvarchar(250)"), taken after the batch.
"housekeeping" is true when every statement of the batch is one the driver
sends by itself (SET ..., SELECT @@..., IF ...).

SQL behaviour (SQL Server's, for what the program sends):
- Identifiers are case-insensitive; a table keeps the case it was created
  with. Unqualified names use the login's default schema (then dbo); three-part
  names name the database.
- ``ALTER TABLE t ALTER COLUMN c type [NULL|NOT NULL]`` sets the type; without
  NOT NULL the column becomes nullable. Missing or not-alterable table: 4902;
  missing column: 4924; a column that an index uses: 5074 (one per index) then
  4922, column unchanged (stricter than SQL Server, which lets some widenings
  of indexed columns through); unknown type: 2715. Names in messages: 4902
  and 208 give the name as written, 4924 the column as written and the
  table's last name part as written, 5074 the index's and column's catalog
  names, 4922 the column as written, 2714 the target's last part as written.
- ``SELECT list INTO target FROM source [alias]`` creates target with the
  columns of the list (``*``, ``alias.*``, columns, ``CAST(NULL AS type) AS n``,
  literals) and the source's row count; it answers with a row count. Missing
  source: 208, which ends the rest of its batch; no SELECT permission: 229; no
  CREATE TABLE permission: 262; missing target schema: 2760; target exists:
  2714 (state 6); duplicate column names: 2705.
- Every other error ends only its own statement, unless SET XACT_ABORT ON was
  sent on the connection. A batch that does not parse gets 102 and nothing of
  it runs. The answer to a failed statement is sent at once when more of the
  batch follows, so a client's cancel can cut the rest short (with delay_ms).
- ``SELECT ... FROM`` is evaluated against the catalog: the sys.* views are
  row sets generated from it, user tables give their "data" rows (see
  sysviews.py for the subset of SELECT it understands).
- Statements are split at ``;``. SET, BEGIN/COMMIT/ROLLBACK TRAN and IF
  statements succeed without effect (no transactions are kept, IF bodies do
  not run); USE changes the database; SELECT without FROM returns one row
  (``@@version``, ``@@spid``, ``db_name()``, literals, ...). Any other
  statement is a syntax error (102).
- Login: names are case-insensitive, passwords are not. A wrong password or
  unknown login gives 18456 (severity 14); a database that does not exist or
  that the login may not open gives 4060 (severity 11) then 18456. After a
  good login: ENVCHANGE database, INFO 5701, ENVCHANGE collation, ENVCHANGE
  language, INFO 5703, LOGINACK (TDS 7.4; 7.2 and 7.3 clients get their own
  version), ENVCHANGE packet size, DONE.
"""

import argparse
import json
import os
import re
import select
import signal
import socket
import struct
import sys
import threading
import time

import sysviews

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
VERSION_TEXT = ("Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n"
                "\tKivo test stand-in (TDS 7.4)\n")
# SQL_Latin1_General_CP1_CI_AS
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])
DEFAULT_COLLATION = "SQL_Latin1_General_CP1_CI_AS"

KNOWN_TYPES = {
    "bit", "tinyint", "smallint", "int", "bigint", "decimal", "numeric",
    "money", "smallmoney", "float", "real", "date", "time", "datetime",
    "datetime2", "smalldatetime", "datetimeoffset", "char", "varchar", "text",
    "nchar", "nvarchar", "ntext", "binary", "varbinary", "image",
    "uniqueidentifier", "xml", "sql_variant", "timestamp", "rowversion",
    "hierarchyid", "geography", "geometry", "sysname",
}

# ---------------------------------------------------------------------------
# Small helpers


def log(msg):
    sys.stderr.write("standin: %s\n" % msg)
    sys.stderr.flush()


def fold(name):
    """Key under which SQL Server compares identifiers (case-insensitive)."""
    return name.casefold()


def b_varchar(text):
    raw = text.encode("utf-16-le")
    return bytes([len(raw) // 2]) + raw


def us_varchar(text):
    raw = text.encode("utf-16-le")
    return struct.pack("<H", len(raw) // 2) + raw


def normalise_type(text):
    """'NVARCHAR (250)' -> 'nvarchar(250)'."""
    return re.sub(r"\s+", "", text).lower()


def applies_to(flag, login):
    """A not_alterable / not_readable value: bool, or a list of login names."""
    if isinstance(flag, list):
        return fold(login) in {fold(x) for x in flag}
    return bool(flag)


class SqlMessage:
    """One server message (ERROR or INFO token)."""

    def __init__(self, number, severity, state, text):
        self.number = number
        self.severity = severity
        self.state = state
        self.text = text

    @property
    def is_error(self):
        return self.severity > 10


def msg_4902(written):
    return SqlMessage(4902, 16, 1, 'Cannot find the object "%s" because it does not exist '
                      "or you do not have permissions." % written)


def msg_208(written):
    return SqlMessage(208, 16, 1, "Invalid object name '%s'." % written)


def msg_102(near):
    return SqlMessage(102, 15, 1, "Incorrect syntax near '%s'." % near)


# ---------------------------------------------------------------------------
# Catalog


class Column:
    def __init__(self, name, type_, nullable, collation=None, computed=None, identity=False):
        self.name = name
        self.type = normalise_type(type_)
        self.nullable = bool(nullable)
        self.collation = collation or DEFAULT_COLLATION
        self.computed = computed  # its definition, for a computed column
        self.identity = identity

    def to_json(self):
        return {"name": self.name, "type": self.type, "nullable": self.nullable}


class Table:
    def __init__(self, schema, name, columns, rows=0, indexes=None,
                 not_alterable=False, not_readable=False, extra=None):
        self.extra = extra or {}  # the scenario's catalog details (keys, constraints, ...)
        self.schema = schema
        self.name = name
        self.columns = columns
        self.rows = rows
        self.indexes = indexes or []  # list of (name, [column names])
        self.not_alterable = not_alterable
        self.not_readable = not_readable

    def column(self, name):
        for c in self.columns:
            if fold(c.name) == fold(name):
                return c
        return None

    def column_id(self, name):
        for k, c in enumerate(self.columns, 1):
            if fold(c.name) == fold(name):
                return k
        return 0

    def to_json(self):
        return {
            "schema": self.schema,
            "name": self.name,
            "columns": [c.to_json() for c in self.columns],
            "rows": self.rows,
            "indexes": [{"name": n, "columns": list(cols)} for n, cols in self.indexes],
            "not_alterable": self.not_alterable,
            "not_readable": self.not_readable,
        }


class Database:
    def __init__(self, name, schemas, tables, d=None):
        d = d or {}
        self.name = name
        self.schemas = schemas
        self.tables = tables
        self.collation = d.get("collation", DEFAULT_COLLATION)
        self.state = d.get("state", "ONLINE")
        self.user_access = d.get("user_access", "MULTI_USER")
        self.read_only = bool(d.get("read_only", False))
        self.dependents = d.get("dependents", [])  # views and functions that use columns
        self.ids = {}  # object ids, stable for the server's life

    def object_id(self, table):
        return self._id(("table", id(table)))

    def dependent_id(self, d):
        return self._id(("dependent", id(d)))

    def constraint_id(self, table, name):
        return self._id(("constraint", id(table), fold(name)))

    def _id(self, key):
        if key not in self.ids:
            self.ids[key] = 245575913 + 16 * len(self.ids)
        return self.ids[key]

    def all_schemas(self):
        seen = {}
        for s in ["dbo"] + self.schemas + [t.schema for t in self.tables]:
            seen.setdefault(fold(s), s)
        return list(seen.values())

    def schema_id(self, schema):
        names = [fold(s) for s in self.all_schemas()]
        return 1 if fold(schema) == "dbo" else 5 + names.index(fold(schema))

    def table_by_name(self, qualified):
        parts = qualified.split(".")
        return self.table(parts[0], parts[1]) if len(parts) == 2 else self.table("dbo", parts[0])

    def schema_exists(self, schema):
        known = {fold("dbo")} | {fold(s) for s in self.schemas}
        known |= {fold(t.schema) for t in self.tables}
        return fold(schema) in known

    def table(self, schema, name):
        for t in self.tables:
            if fold(t.schema) == fold(schema) and fold(t.name) == fold(name):
                return t
        return None

    def to_json(self):
        return {"name": self.name, "schemas": list(self.schemas),
                "tables": [t.to_json() for t in self.tables]}


class Login:
    def __init__(self, d, default_db):
        self.name = d["name"]
        self.password = d.get("password", "")
        self.default_database = d.get("default_database", default_db)
        self.default_schema = d.get("default_schema", "dbo")
        self.may_create_tables = d.get("may_create_tables", True)
        self.may_alter_schemas = d.get("may_alter_schemas", True)  # or a list of schemas
        self.may_read_dependencies = d.get("may_read_dependencies", True)
        self.databases = d.get("databases")  # None: all


def load_scenario(data):
    dbs = []
    for d in data.get("databases", []):
        tables = []
        for t in d.get("tables", []):
            collation = d.get("collation", DEFAULT_COLLATION)
            cols = [Column(c["name"], c.get("type", "int"), c.get("nullable", True),
                           c.get("collation", collation), c.get("computed"),
                           c.get("identity", False))
                    for c in t.get("columns", [])]
            idx = [(i["name"], list(i.get("columns", []))) for i in t.get("indexes", [])]
            tables.append(Table(t.get("schema", "dbo"), t["name"], cols, int(t.get("rows", 0)),
                                idx, t.get("not_alterable", False), t.get("not_readable", False),
                                t))
        dbs.append(Database(d["name"], list(d.get("schemas", [])), tables, d))
    default_db = dbs[0].name if dbs else "master"
    logins = [Login(x, default_db) for x in data.get("logins", [])]
    faults = data.get("faults", {}) or {}
    return dbs, logins, faults


# ---------------------------------------------------------------------------
# SQL tokenizer and parser

TOKEN_RE = re.compile(r"""
  (?P<ws>\s+)
| (?P<lcomment>--[^\n]*)
| (?P<bcomment>/\*.*?\*/)
| (?P<str>[Nn]?'(?:[^']|'')*')
| (?P<bident>\[(?:[^\]]|\]\])*\])
| (?P<qident>"(?:[^"]|"")*")
| (?P<num>\d+(?:\.\d+)?)
| (?P<var>@@?[A-Za-z_][A-Za-z0-9_@$#]*)
| (?P<ident>[A-Za-z_#][A-Za-z0-9_@$#]*)
| (?P<op><>|!=|>=|<=|[-+*/%=<>.,;()~&|^!])
""", re.X | re.S)


class Tok:
    def __init__(self, kind, text, value, pos, line):
        self.kind = kind    # ident, str, num, var, op
        self.text = text    # as written
        self.value = value  # identifier without brackets, string content
        self.pos = pos
        self.line = line

    def is_kw(self, *words):
        return self.kind == "ident" and self.text.upper() in words

    def is_op(self, op):
        return self.kind == "op" and self.text == op


class SyntaxErr(Exception):
    def __init__(self, near):
        super().__init__(near)
        self.near = near


def tokenize(text):
    toks = []
    pos = 0
    line = 1
    while pos < len(text):
        m = TOKEN_RE.match(text, pos)
        if not m:
            if text.startswith("'", pos) or text[pos:pos + 2] in ("N'", "n'"):
                raise SqlErrorBatch(SqlMessage(
                    105, 15, 1, "Unclosed quotation mark after the character string '%s'."
                    % text[pos + 1:]))
            raise SyntaxErr(text[pos])
        kind = m.lastgroup
        s = m.group()
        if kind == "bident":
            toks.append(Tok("ident", s, s[1:-1].replace("]]", "]"), pos, line))
        elif kind == "qident":
            toks.append(Tok("ident", s, s[1:-1].replace('""', '"'), pos, line))
        elif kind == "str":
            inner = s[s.index("'") + 1:-1].replace("''", "'")
            toks.append(Tok("str", s, inner, pos, line))
        elif kind in ("ident", "num", "var", "op"):
            toks.append(Tok(kind, s, s, pos, line))
        line += s.count("\n")
        pos = m.end()
    return toks


class SqlErrorBatch(Exception):
    """An error that rejects the whole batch before anything runs."""

    def __init__(self, message):
        super().__init__(message.text)
        self.message = message


class Name:
    """A multi-part object name: parts (values) and the text as written."""

    def __init__(self, parts, written):
        self.parts = parts
        self.written = written


class Parser:
    def __init__(self, toks, text):
        self.toks = toks
        self.i = 0
        self.text = text

    def peek(self, k=0):
        j = self.i + k
        return self.toks[j] if j < len(self.toks) else None

    def at_end(self):
        return self.i >= len(self.toks)

    def fail(self):
        t = self.peek()
        raise SyntaxErr(t.text if t else (self.toks[-1].text if self.toks else ""))

    def next(self):
        t = self.peek()
        if t is None:
            self.fail()
        self.i += 1
        return t

    def expect_kw(self, *words):
        t = self.peek()
        if t is None or not t.is_kw(*words):
            self.fail()
        self.i += 1
        return t

    def expect_op(self, op):
        t = self.peek()
        if t is None or not t.is_op(op):
            self.fail()
        self.i += 1
        return t

    def accept_kw(self, *words):
        t = self.peek()
        if t is not None and t.is_kw(*words):
            self.i += 1
            return t
        return None

    def accept_op(self, op):
        t = self.peek()
        if t is not None and t.is_op(op):
            self.i += 1
            return t
        return None

    def ident(self):
        t = self.peek()
        if t is None or t.kind != "ident":
            self.fail()
        self.i += 1
        return t

    def name(self):
        first = self.ident()
        parts = [first.value]
        last = first
        while self.peek() is not None and self.peek().is_op(".") and len(parts) < 4:
            self.i += 1
            if self.peek() is not None and self.peek().is_op("."):
                parts.append("")  # db..table: the default schema
                continue
            last = self.ident()
            parts.append(last.value)
        written = self.text[first.pos:last.pos + len(last.text)]
        return Name(parts, written)

    def type_spec(self):
        t = self.ident()
        name = t.value.lower()
        args = []
        if self.accept_op("("):
            while True:
                a = self.next()
                if a.kind == "num" or a.is_kw("MAX"):
                    args.append(a.text.lower())
                else:
                    self.i -= 1
                    self.fail()
                if self.accept_op(")"):
                    break
                self.expect_op(",")
        return name + ("(%s)" % ",".join(args) if args else "")


# Statement kinds ------------------------------------------------------------


class Stmt:
    housekeeping = False
    line = 1


class AlterColumn(Stmt):
    def __init__(self, table, column, type_, nullable):
        self.table = table
        self.column = column
        self.type = type_
        self.nullable = nullable


class SelectInto(Stmt):
    def __init__(self, items, target, source, alias):
        self.items = items
        self.target = target
        self.source = source
        self.alias = alias


class SelectValues(Stmt):
    def __init__(self, items):
        self.items = items
        self.housekeeping = bool(items) and items[0][0][0] == "var"


class SelectQuery(Stmt):
    """A SELECT with FROM: evaluated against the catalog (sysviews)."""

    def __init__(self, selects):
        self.selects = selects


class NoOp(Stmt):
    def __init__(self, housekeeping, set_words=None):
        self.housekeeping = housekeeping
        self.set_words = set_words or []


class Use(Stmt):
    def __init__(self, db):
        self.db = db


# Expressions in select lists: tuples
#   ("star", prefix_or_None) | ("col", [parts]) | ("var", name) | ("num", text)
#   ("str", value) | ("null",) | ("cast", expr, type) | ("func", name, [args])


def parse_expr(p):
    t = p.next()
    if t.is_op("*"):
        return ("star", None)
    if t.is_op("-") and p.peek() is not None and p.peek().kind == "num":
        n = p.next()
        return ("num", "-" + n.text)
    if t.is_op("("):
        e = parse_expr(p)
        p.expect_op(")")
        return e
    if t.kind == "var":
        return ("var", t.text)
    if t.kind == "num":
        return ("num", t.text)
    if t.kind == "str":
        return ("str", t.value)
    if t.kind == "ident":
        if t.is_kw("NULL"):
            return ("null",)
        if t.is_kw("CAST") and p.peek() is not None and p.peek().is_op("("):
            p.expect_op("(")
            e = parse_expr(p)
            p.expect_kw("AS")
            ty = p.type_spec()
            p.expect_op(")")
            return ("cast", e, ty)
        if p.peek() is not None and p.peek().is_op("("):
            p.expect_op("(")
            args = []
            if not p.accept_op(")"):
                while True:
                    args.append(parse_expr(p))
                    if p.accept_op(")"):
                        break
                    p.expect_op(",")
            return ("func", t.value, args)
        parts = [t.value]
        while p.peek() is not None and p.peek().is_op("."):
            p.i += 1
            if p.accept_op("*"):
                return ("star", parts)
            parts.append(p.ident().value)
        return ("col", parts)
    p.i -= 1
    p.fail()


def parse_select_list(p):
    items = []
    while True:
        e = parse_expr(p)
        alias = None
        if e[0] != "star":
            if p.accept_kw("AS"):
                a = p.next()
                if a.kind not in ("ident", "str"):
                    p.i -= 1
                    p.fail()
                alias = a.value
            elif (p.peek() is not None and p.peek().kind == "ident"
                  and not p.peek().is_kw("INTO", "FROM", "WHERE", "ORDER", "GROUP")):
                alias = p.next().value
        items.append((e, alias))
        if not p.accept_op(","):
            break
    return items


def parse_statement(toks, text):
    p = Parser(toks, text)
    t = p.peek()
    if t.is_kw("ALTER"):
        p.next()
        p.expect_kw("TABLE")
        table = p.name()
        p.expect_kw("ALTER")
        p.expect_kw("COLUMN")
        col = p.ident()
        ty = p.type_spec()
        if p.accept_kw("COLLATE"):
            p.ident()
        nullable = True
        if p.accept_kw("NOT"):
            p.expect_kw("NULL")
            nullable = False
        else:
            p.accept_kw("NULL")
        if not p.at_end():
            p.fail()
        return AlterColumn(table, col.value, ty, nullable)
    if (t.is_kw("SELECT") and any(x.is_kw("FROM") for x in toks)
            and not any(x.is_kw("INTO") for x in toks)):
        try:
            return SelectQuery(sysviews.parse_query(toks))
        except sysviews.CatalogError as e:
            raise SqlErrorBatch(SqlMessage(e.number, e.severity, e.state, e.text))
    if t.is_kw("SELECT"):
        p.next()
        items = parse_select_list(p)
        if p.accept_kw("INTO"):
            target = p.name()
            p.expect_kw("FROM")
            source = p.name()
            alias = None
            if p.accept_kw("AS"):
                alias = p.ident().value
            elif p.peek() is not None and p.peek().kind == "ident":
                alias = p.ident().value
            if not p.at_end():
                p.fail()
            return SelectInto(items, target, source, alias)
        if p.at_end():
            return SelectValues(items)
        p.fail()
    if t.is_kw("SET"):
        words = [x.text.upper() for x in toks[1:]]
        return NoOp(True, words)
    if t.is_kw("IF"):
        return NoOp(True)
    if t.is_kw("USE"):
        p.next()
        db = p.ident()
        if not p.at_end():
            p.fail()
        return Use(db.value)
    if t.is_kw("BEGIN", "COMMIT", "ROLLBACK", "SAVE"):
        p.next()
        if not p.accept_kw("TRAN", "TRANSACTION", "WORK") and not p.at_end():
            p.fail()
        return NoOp(False)
    p.fail()


def parse_batch(text):
    """Split a batch at ';' and parse every statement; raises SqlErrorBatch."""
    try:
        toks = tokenize(text)
    except SyntaxErr as e:
        raise SqlErrorBatch(msg_102(e.near))
    stmts = []
    cur = []
    for t in toks + [None]:
        if t is None or t.is_op(";"):
            if cur:
                try:
                    s = parse_statement(cur, text)
                except SyntaxErr as e:
                    raise SqlErrorBatch(msg_102(e.near))
                s.line = cur[0].line
                stmts.append(s)
            cur = []
        else:
            cur.append(t)
    return stmts


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
# Requests


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


# Result values: (kind, value) with kind "int", "bigint" or "nvarchar".


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


# ---------------------------------------------------------------------------
# The server


class Server:
    def __init__(self, scenario, record_path, verbose):
        self.server_name = scenario.get("server_name", "STANDIN")
        self.databases, self.logins, faults = load_scenario(scenario)
        self.refuse_logins = bool(faults.get("refuse_logins", False))
        self.drop_at_request = int(faults.get("drop_at_request", 0) or 0)
        self.delay_ms = int(faults.get("delay_ms", 0) or 0)
        self.refuse_catalog = bool(faults.get("refuse_catalog", False))
        self.version = scenario.get("server_version", "15.0.2000.5")
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
                     cancelled=False, params=None):
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
            "catalog": self.catalog_json(),
        }
        self.record.write(json.dumps(line, ensure_ascii=False) + "\n")
        self.record.flush()


class ConnectionClosed(Exception):
    pass


class Session:
    def __init__(self, server, sock, conn_id):
        self.server = server
        self.sock = sock
        self.conn_id = conn_id
        self.spid = 50 + conn_id
        self.packet_size = 4096
        self.tds_version = TDS74
        self.login = None
        self.db_name = None
        self.xact_abort = False
        self.last_error = 0
        self.last_rowcount = 0
        self.pending = []  # packets read ahead while waiting
        self.prepared = {}  # handle -> (statement text, parameter declarations)
        self.params = {}  # the bound parameters of the request being run, by folded name
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
        """Send a reply message; packets no larger than the packet size."""
        room = self.packet_size - 8
        chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
        out = bytearray()
        for k, chunk in enumerate(chunks):
            last = k == len(chunks) - 1
            status = STATUS_EOM if (last and final) else 0
            out += struct.pack(">BBHHBB", PKT_REPLY, status, len(chunk) + 8, self.spid,
                               1, 0) + chunk
        self.sock.sendall(bytes(out))

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
            try:
                self.sock.close()
            except OSError:
                pass
            if self.server.verbose:
                log("connection %d closed" % self.conn_id)

    def handshake(self):
        ptype, payload = self.read_message()
        if ptype == PKT_PRELOGIN:
            self.send_message(self.prelogin_reply(payload))
            ptype, payload = self.read_message()
        if ptype != PKT_LOGIN7:
            log("connection %d: expected LOGIN7, got 0x%02x" % (self.conn_id, ptype))
            return False
        return self.login7(payload)

    def prelogin_reply(self, payload):
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

    def login7(self, data):
        srv = self.server
        try:
            client_version = struct.unpack_from("<I", data, 4)[0]
            requested_size = struct.unpack_from("<I", data, 8)[0]
            flags2 = data[25]

            def field(i):
                off, ln = struct.unpack_from("<HH", data, 36 + 4 * i)
                return data[off:off + 2 * ln]

            user = field(1).decode("utf-16-le", "replace")
            pw_raw = bytes(((b ^ 0xA5) >> 4) | (((b ^ 0xA5) & 0x0F) << 4) for b in field(2))
            password = pw_raw.decode("utf-16-le", "replace")
            app = field(3).decode("utf-16-le", "replace")
            database = field(8).decode("utf-16-le", "replace")
        except (struct.error, IndexError):
            log("connection %d: malformed LOGIN7" % self.conn_id)
            return False
        if 512 <= requested_size <= 32767:
            self.packet_size = requested_size
        # 7.2 and 7.3 clients get their own version back (their tokens are the
        # same as 7.4's); older or unknown ones are answered as 7.4, which
        # FreeTDS then adopts.
        if 0x72000000 <= client_version < 0x74000000:
            self.tds_version = struct.pack(">I", client_version)
        if srv.verbose:
            log("connection %d: login user=%r app=%r database=%r packet=%d sspi=%s tds=0x%08x"
                % (self.conn_id, user, app, database, requested_size, bool(flags2 & 0x80),
                   client_version))

        def refuse(*messages):
            out = b"".join(tok_message(m, srv.server_name, 1) for m in messages)
            self.send_message(out + tok_done(DONE_ERROR))
            return False

        if flags2 & 0x80:
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
        try:
            headers_len = struct.unpack_from("<I", payload, 0)[0]
            kind = struct.unpack_from("<H", payload, headers_len)[0]
        except struct.error:
            kind = 0
        env = b""
        descriptor = struct.pack("<Q", self.spid)
        if kind == 5:  # TM_BEGIN_XACT
            env = tok_envchange_bytes(ENV_BEGIN_TRAN, descriptor, b"")
        elif kind == 7:  # TM_COMMIT_XACT
            env = tok_envchange_bytes(ENV_COMMIT_TRAN, b"", descriptor)
        elif kind == 8:  # TM_ROLLBACK_XACT
            env = tok_envchange_bytes(ENV_ROLLBACK_TRAN, b"", descriptor)
        self.send_message(env + tok_done(DONE_FINAL))

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
            if srv.drop_at_request and srv.requests == srv.drop_at_request:
                srv.write_record(self, text, housekeeping, [], rpc_name, dropped=True)
                log("connection %d: dropped at request %d" % (self.conn_id, srv.requests))
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
                result = self.execute(stmt)
            for m in result.messages:
                out += tok_message(m, name, stmt.line)
                if m.is_error:
                    errors.append(m.number)
                    self.last_error = m.number
            failed = any(m.is_error for m in result.messages)
            if not failed:
                self.last_error = 0
            stop = result.abort or (failed and self.xact_abort)
            out += result.tokens
            status = DONE_MORE if (rpc or not (last or stop)) else DONE_FINAL
            if failed:
                status |= DONE_ERROR
            if result.rowcount is not None:
                status |= DONE_COUNT
                self.last_rowcount = result.rowcount
            out += tok_done(status, result.curcmd, result.rowcount or 0, token=done_token)
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

    # statement execution (caller holds the lock) ---------------------------------

    class Result:
        def __init__(self):
            self.messages = []
            self.tokens = b""
            self.rowcount = None
            self.curcmd = 0
            self.abort = False

    def resolve(self, name):
        """(database, schema, table name) of a Name, or None for a bad name."""
        parts = name.parts
        if len(parts) == 1:
            return self.db_name, None, parts[0]
        if len(parts) == 2:
            return self.db_name, parts[0], parts[1]
        if len(parts) == 3:
            return parts[0], parts[1] or None, parts[2]
        return None

    def find_table(self, name):
        r = self.resolve(name)
        if r is None:
            return None, None
        db = self.server.database(r[0])
        if db is None:
            return None, None
        if r[1] is None:
            t = db.table(self.login.default_schema, r[2]) or db.table("dbo", r[2])
        else:
            t = db.table(r[1], r[2])
        return db, t

    def execute(self, stmt):
        res = Session.Result()
        handler = {
            AlterColumn: self.exec_alter,
            SelectInto: self.exec_select_into,
            SelectValues: self.exec_select_values,
            SelectQuery: self.exec_query,
            NoOp: self.exec_noop,
            Use: self.exec_use,
        }[type(stmt)]
        handler(stmt, res)
        return res

    def exec_noop(self, stmt, res):
        words = stmt.set_words
        if len(words) >= 2 and words[0] == "XACT_ABORT":
            self.xact_abort = words[1] == "ON"

    def exec_use(self, stmt, res):
        db = self.server.database(stmt.db)
        if db is None:
            res.messages.append(SqlMessage(911, 16, 1, "Database '%s' does not exist. Make sure "
                                           "that the name is entered correctly." % stmt.db))
            return
        old = self.db_name
        self.db_name = db.name
        res.tokens = tok_envchange_str(ENV_DATABASE, db.name, old)
        res.messages.append(SqlMessage(5701, 0, 1, "Changed database context to '%s'." % db.name))

    def exec_alter(self, stmt, res):
        db, table = self.find_table(stmt.table)
        if table is None or applies_to(table.not_alterable, self.login.name):
            res.messages.append(msg_4902(stmt.table.written))
            return
        base = stmt.type.split("(")[0]
        if base not in KNOWN_TYPES:
            res.messages.append(SqlMessage(2715, 16, 6, "Column, parameter, or variable #%d: "
                                           "Cannot find data type %s."
                                           % (1, base)))
            return
        col = table.column(stmt.column)
        if col is None:
            res.messages.append(SqlMessage(
                4924, 16, 1, "ALTER TABLE ALTER COLUMN failed because column '%s' does not "
                "exist in table '%s'." % (stmt.column, stmt.table.parts[-1])))
            return
        blocking = [n for n, cols in table.indexes if fold(col.name) in {fold(c) for c in cols}]
        if blocking:
            for n in blocking:
                res.messages.append(SqlMessage(5074, 16, 1, "The index '%s' is dependent on "
                                               "column '%s'." % (n, col.name)))
            res.messages.append(SqlMessage(4922, 16, 9, "ALTER TABLE ALTER COLUMN %s failed "
                                           "because one or more objects access this column."
                                           % stmt.column))
            return
        col.type = stmt.type
        col.nullable = stmt.nullable
        col.collation = db.collation  # no COLLATE: the database's default

    def exec_select_into(self, stmt, res):
        login = self.login
        db, source = self.find_table(stmt.source)
        if source is None:
            res.messages.append(msg_208(stmt.source.written))
            res.abort = True
            return
        if applies_to(source.not_readable, login.name):
            res.messages.append(SqlMessage(
                229, 14, 5, "The SELECT permission was denied on the object '%s', database "
                "'%s', schema '%s'." % (source.name, db.name, source.schema)))
            return
        prefixes = {fold(source.name)}
        if stmt.alias:
            prefixes = {fold(stmt.alias)}
        columns = []
        for expr, alias in stmt.items:
            kind = expr[0]
            if kind == "star":
                if expr[1] is not None and fold(expr[1][-1]) not in prefixes:
                    res.messages.append(SqlMessage(
                        107, 16, 1, "The column prefix '%s' does not match with a table name "
                        "or alias name used in the query." % ".".join(expr[1])))
                    return
                columns += [Column(c.name, c.type, c.nullable, c.collation)
                            for c in source.columns]
                continue
            if kind == "col":
                c = source.column(expr[1][-1])
                if c is None or (len(expr[1]) > 1 and fold(expr[1][-2]) not in prefixes):
                    res.messages.append(SqlMessage(207, 16, 1, "Invalid column name '%s'."
                                                   % expr[1][-1]))
                    return
                columns.append(Column(alias or c.name, c.type, c.nullable))
                continue
            try:
                ctype, _ = self.evaluate(expr)
            except SqlErrorStatement as e:
                res.messages.append(e.message)
                return
            nullable = kind in ("null", "cast")
            if not alias:
                res.messages.append(SqlMessage(
                    1038, 16, 5, "An object or column name is missing or empty. For SELECT "
                    "INTO statements, verify each column has a name. For other statements, "
                    "look for empty alias names. Aliases defined as \"\" or [] are not allowed. "
                    "Change the alias to a valid name."))
                return
            columns.append(Column(alias, ctype, nullable))
        r = self.resolve(stmt.target)
        target_db = self.server.database(r[0]) if r else None
        if target_db is None:
            res.messages.append(SqlMessage(2702, 16, 2, "Database '%s' does not exist."
                                           % (r[0] if r else stmt.target.written)))
            return
        if not login.may_create_tables:
            res.messages.append(SqlMessage(262, 14, 1, "CREATE TABLE permission denied in "
                                           "database '%s'." % target_db.name))
            return
        schema = r[1] or login.default_schema
        if not target_db.schema_exists(schema):
            res.messages.append(SqlMessage(2760, 16, 1, 'The specified schema name "%s" either '
                                           "does not exist or you do not have permission to use "
                                           "it." % schema))
            return
        if target_db.table(schema, r[2]) is not None:
            res.messages.append(SqlMessage(2714, 16, 6, "There is already an object named '%s' "
                                           "in the database." % r[2]))
            return
        seen = set()
        for c in columns:
            if fold(c.name) in seen:
                res.messages.append(SqlMessage(
                    2705, 16, 3, "Column names in each table must be unique. Column name '%s' "
                    "in table '%s' is specified more than once." % (c.name, r[2])))
                return
            seen.add(fold(c.name))
        for s in target_db.schemas + [t.schema for t in target_db.tables]:
            if fold(s) == fold(schema):
                schema = s  # the schema keeps its catalog spelling
                break
        target_db.tables.append(Table(schema, r[2], columns, source.rows))
        res.rowcount = source.rows
        res.curcmd = CURCMD_SELECT

    def exec_query(self, stmt, res):
        try:
            names, rows = sysviews.Evaluator(QueryContext(self)).run(stmt.selects)
        except sysviews.CatalogError as e:
            res.messages.append(SqlMessage(e.number, e.severity, e.state, e.text))
            return
        cols = []
        for k, name in enumerate(names):
            values = [r[k] for r in rows if r[k] is not None]
            if values and all(isinstance(v, int) for v in values):
                kind = "int" if all(-2**31 <= v < 2**31 for v in values) else "bigint"
                cols.append((name, kind, 0))
            else:
                longest = max([len(str(v).encode("utf-16-le")) // 2 for v in values] + [1])
                cols.append((name, "nvarchar", min(8000, 2 * longest)))
        res.tokens = tok_colmetadata(cols) + b"".join(tok_row(cols, r) for r in rows)
        res.rowcount = len(rows)
        res.curcmd = CURCMD_SELECT

    def exec_select_values(self, stmt, res):
        cols = []
        values = []
        for expr, alias in stmt.items:
            if expr[0] in ("star", "col"):
                res.messages.append(SqlMessage(207, 16, 1, "Invalid column name '%s'."
                                               % (".".join(expr[1]) if expr[1] else "*")))
                return
            try:
                ctype, value = self.evaluate(expr)
            except SqlErrorStatement as e:
                res.messages.append(e.message)
                return
            kind = "bigint" if ctype == "bigint" else (
                "int" if ctype in ("int", "smallint", "tinyint", "bit") else "nvarchar")
            size = min(8000, max(2, 2 * len(str(value)))) if value is not None else 2
            cols.append((alias or "", kind, size))
            values.append(value)
        res.tokens = tok_colmetadata(cols) + tok_row(cols, values)
        res.rowcount = 1
        res.curcmd = CURCMD_SELECT

    def evaluate(self, expr):
        """(type, value) of a scalar expression of a select list."""
        kind = expr[0]
        if kind == "null":
            return "int", None
        if kind == "num":
            if "." in expr[1]:
                return "nvarchar(%d)" % len(expr[1]), expr[1]
            v = int(expr[1])
            return ("int" if -2**31 <= v < 2**31 else "bigint"), v
        if kind == "str":
            return "varchar(%d)" % max(1, len(expr[1])), expr[1]
        if kind == "cast":
            _, value = self.evaluate(expr[1])
            return expr[2], value
        if kind == "var":
            name = expr[1].upper()
            values = {
                "@@VERSION": ("nvarchar(300)", VERSION_TEXT),
                "@@SPID": ("smallint", self.spid),
                "@@SERVERNAME": ("nvarchar(128)", self.server.server_name),
                "@@SERVICENAME": ("nvarchar(128)", "MSSQLSERVER"),
                "@@TRANCOUNT": ("int", 0),
                "@@LANGUAGE": ("nvarchar(128)", "us_english"),
                "@@MAX_PRECISION": ("tinyint", 38),
                "@@TEXTSIZE": ("int", 2147483647),
                "@@OPTIONS": ("int", 5176),
                "@@ROWCOUNT": ("int", self.last_rowcount),
                "@@ERROR": ("int", self.last_error),
                "@@IDENTITY": ("bigint", None),
                "@@MICROSOFTVERSION": ("int", 251662288),
                "@@LANGID": ("smallint", 0),
                "@@DATEFIRST": ("tinyint", 7),
                "@@LOCK_TIMEOUT": ("int", -1),
            }
            if name not in values:
                raise SqlErrorStatement(SqlMessage(137, 15, 2, 'Must declare the scalar variable '
                                                   '"%s".' % expr[1]))
            return values[name]
        if kind == "func":
            name = expr[1].upper()
            if name == "DB_NAME":
                return "nvarchar(128)", self.db_name
            if name in ("SUSER_SNAME", "SUSER_NAME", "ORIGINAL_LOGIN"):
                return "nvarchar(128)", self.login.name
            if name in ("USER_NAME", "CURRENT_USER"):
                return "nvarchar(128)", "dbo"
            if name == "SCHEMA_NAME":
                return "nvarchar(128)", self.login.default_schema
            if name in ("GETDATE", "SYSDATETIME", "CURRENT_TIMESTAMP"):
                return "nvarchar(30)", time.strftime("%Y-%m-%d %H:%M:%S")
            if name == "SERVERPROPERTY":
                arg = expr[2][0][1] if expr[2] and expr[2][0][0] == "str" else ""
                props = {
                    "PRODUCTVERSION": self.server.version,
                    "PRODUCTLEVEL": "RTM",
                    "EDITION": "Developer Edition (64-bit)",
                    "ENGINEEDITION": 3,
                    "SERVERNAME": self.server.server_name,
                    "MACHINENAME": self.server.server_name,
                    "COLLATION": "SQL_Latin1_General_CP1_CI_AS",
                }
                v = props.get(arg.upper())
                return ("int" if isinstance(v, int) else "nvarchar(128)"), v
            raise SqlErrorStatement(SqlMessage(195, 15, 10, "'%s' is not a recognized built-in "
                                               "function name." % expr[1]))
        raise SqlErrorStatement(msg_102(str(expr[1] if len(expr) > 1 else "")))


class QueryContext:
    """What a catalog query sees: the session's database, login and parameters."""

    def __init__(self, session):
        self.session = session
        self.server = session.server
        self.db = session.server.database(session.db_name)
        self.login = session.login

    def param(self, name):
        key = fold(name)
        if key not in self.session.params:
            raise sysviews.CatalogError(137, 15, 2, 'Must declare the scalar variable "%s".'
                                        % name)
        return self.session.params[key]

    def rows_of(self, parts):
        if len(parts) >= 2 and fold(parts[-2]) == "sys":
            name = parts[-1]
            if self.server.refuse_catalog or (fold(name) == "sql_expression_dependencies"
                                              and not self.login.may_read_dependencies):
                raise sysviews.select_denied(name, "mssqlsystemresource", "sys")
            if fold(name) == "databases":
                return sysviews._rows(
                    ["database_id", "name", "state_desc", "user_access_desc", "is_read_only",
                     "collation_name", "compatibility_level"],
                    [(5 + k, d.name, d.state, d.user_access, d.read_only, d.collation, 100)
                     for k, d in enumerate(self.server.databases)])
            view = sysviews.sys_view(name, self.db, self.server.version)
            if view is None:
                raise sysviews.invalid_object(".".join(parts))
            return view
        db, table = self.session.find_table(Name(parts, ".".join(parts)))
        if table is None:
            raise sysviews.invalid_object(".".join(parts))
        if applies_to(table.not_readable, self.login.name):
            raise sysviews.select_denied(table.name, db.name, table.schema)
        return sysviews.data_rows(table)

    def object_of(self, object_id):
        for t in self.db.tables:
            if self.db.object_id(t) == object_id:
                return t.schema, t.name, t
        for d in self.db.dependents:
            if self.db.dependent_id(d) == object_id:
                return d.get("schema", "dbo"), d["name"], None
        return None, None, None

    def table_named(self, text):
        try:
            name = Parser(tokenize(text), text).name()
        except (SyntaxErr, SqlErrorBatch):
            return None
        return self.session.find_table(name)[1]

    def call(self, name, args):
        arg = (args + [None, None, None])
        if self.server.refuse_catalog and name in ("OBJECT_ID", "OBJECT_NAME", "COL_NAME",
                                                   "OBJECT_SCHEMA_NAME", "HAS_PERMS_BY_NAME"):
            raise sysviews.CatalogError(300, 14, 1, "VIEW DEFINITION permission denied on "
                                        "database '%s'." % self.db.name)
        if name == "DB_ID":
            wanted = arg[0] or self.db.name
            for k, d in enumerate(self.server.databases):
                if fold(d.name) == fold(wanted):
                    return 5 + k
            return None
        if name == "DB_NAME":
            return self.db.name
        if name == "SERVERPROPERTY":
            props = {"PRODUCTVERSION": self.server.version, "PRODUCTLEVEL": "RTM",
                     "EDITION": "Developer Edition (64-bit)", "ENGINEEDITION": 3,
                     "SERVERNAME": self.server.server_name,
                     "COLLATION": DEFAULT_COLLATION}
            return props.get(str(arg[0]).upper())
        if name in ("OBJECT_NAME", "OBJECT_SCHEMA_NAME"):
            schema, oname, _ = self.object_of(arg[0])
            return oname if name == "OBJECT_NAME" else schema
        if name == "COL_NAME":
            _, _, table = self.object_of(arg[0])
            if table is None or not isinstance(arg[1], int) or not 1 <= arg[1] <= len(
                    table.columns):
                return None
            return table.columns[arg[1] - 1].name
        if name == "OBJECT_ID":
            table = self.table_named(arg[0]) if isinstance(arg[0], str) else None
            return self.db.object_id(table) if table is not None else None
        if name == "QUOTENAME":
            return sysviews.quotename(arg[0])
        if name == "DATALENGTH":
            return sysviews.datalength(arg[0])
        if name == "ISNULL":
            return arg[1] if arg[0] is None else arg[0]
        if name == "HAS_PERMS_BY_NAME":
            return self.has_perms(arg[0], str(arg[1] or "").upper(), str(arg[2] or "").upper())
        raise sysviews.CatalogError(195, 15, 10, "'%s' is not a recognized built-in function "
                                    "name." % name)

    def has_perms(self, securable, klass, permission):
        login = self.login
        if klass == "DATABASE":
            return int(permission != "CREATE TABLE" or bool(login.may_create_tables))
        if klass == "SCHEMA":
            schema = (securable or "").strip("[]").replace("]]", "]")
            if not self.db.schema_exists(schema):
                return None
            allowed = login.may_alter_schemas
            if isinstance(allowed, list):
                return int(fold(schema) in {fold(x) for x in allowed})
            return int(bool(allowed))
        if klass == "OBJECT":
            table = self.table_named(securable or "")
            if table is None:
                return None
            if permission in ("ALTER", "CONTROL"):
                return int(not applies_to(table.not_alterable, login.name))
            if permission == "SELECT":
                return int(not applies_to(table.not_readable, login.name))
            return 1
        return None


class SqlErrorStatement(Exception):
    def __init__(self, message):
        super().__init__(message.text)
        self.message = message


# ---------------------------------------------------------------------------
# Process


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
