"""SQL for the stand-in: tokenizer, parser and the statements run against the
catalog, for one connection's state. Nothing here knows TDS: a statement's
result is messages, columns and rows, which the server encodes.

SQL behaviour (SQL Server's, for what the program sends):
- Identifiers compare as the database's collation does: without case unless
  it is a _CS_ or binary one; a table keeps the case it was created with. Unqualified names use the login's default schema (then dbo); three-part
  names name the database.
- ``ALTER TABLE t ALTER COLUMN c type [NULL|NOT NULL]`` sets the type; without
  NOT NULL the column becomes nullable. Missing or not-alterable table: 4902;
  missing column: 4924; a column that an index uses: 5074 (one per index) then
  4922, column unchanged (stricter than SQL Server, which lets some widenings
  of indexed columns through); unknown type: 2715; a shorter text type than
  the "data" values need: 8152 under ANSI_WARNINGS ON, cut short without it. Names in messages: 4902
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
- Transactions: BEGIN TRAN[SACTION] nests (@@TRANCOUNT), COMMIT ends one
  level, ROLLBACK undoes every change since the outermost BEGIN; without one
  they give 3902 and 3903. XACT_STATE() is 1, 0, or -1 for a transaction the
  doom fault made uncommittable: its writes and COMMIT then give 3930, and at
  the end of the request it is rolled back with 3998, as SQL Server does at
  the end of a batch. An error under XACT_ABORT ON rolls the transaction back,
  and so does the end of a connection (see server.py). Changes of other
  connections meanwhile are not isolated: only the scenario's other sessions
  hold locks (see server.py), the stand-in's connections take none.
- Statements are split at ``;``. SET ANSI_WARNINGS, IMPLICIT_TRANSACTIONS,
  XACT_ABORT and LOCK_TIMEOUT set the session's options (the record shows
  them); other SETs and IF statements succeed without effect (IF bodies do
  not run), and so do SAVE TRAN and a BEGIN that starts a block; USE changes
  the database; SELECT without FROM returns one row
  (``@@version``, ``@@spid``, ``db_name()``, literals, ...). Any other
  statement is a syntax error (102).
"""

import re
import time

import sysviews
from scenario import (DEFAULT_COLLATION, Column, SqlMessage, Table, applies_to, case_sensitive,
                      fold, msg_102, msg_208, msg_4902)

MSG_3930 = SqlMessage(3930, 16, 1, "The current transaction cannot be committed and cannot "
                      "support operations that write to the log file. Roll back the transaction.")
MSG_3998 = SqlMessage(3998, 16, 1, "Uncommittable transaction is detected at the end of the "
                      "batch. The transaction is rolled back.")

# The same release as the version that LOGINACK and PRELOGIN announce.
VERSION_TEXT = ("Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n"
                "\tKivo test stand-in (TDS 7.4)\n")

KNOWN_TYPES = {
    "bit", "tinyint", "smallint", "int", "bigint", "decimal", "numeric",
    "money", "smallmoney", "float", "real", "date", "time", "datetime",
    "datetime2", "smalldatetime", "datetimeoffset", "char", "varchar", "text",
    "nchar", "nvarchar", "ntext", "binary", "varbinary", "image",
    "uniqueidentifier", "xml", "sql_variant", "timestamp", "rowversion",
    "hierarchyid", "geography", "geometry", "sysname",
}


# ---------------------------------------------------------------------------
# Tokenizer and parser

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


class Transaction(Stmt):
    def __init__(self, verb):
        self.verb = verb  # BEGIN, COMMIT or ROLLBACK


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
    # With FROM, or with bound parameters, a SELECT is the program's own query.
    if (t.is_kw("SELECT") and any(x.is_kw("FROM") or (x.kind == "var" and x.text[1] != "@")
                                  for x in toks)
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
        verb = p.next().text.upper()
        named = p.accept_kw("TRAN", "TRANSACTION") is not None
        if not named and verb != "BEGIN":
            named = p.accept_kw("WORK") is not None or verb in ("COMMIT", "ROLLBACK")
        if named and not p.at_end():
            p.ident()  # the transaction's name, or a savepoint's
        if not p.at_end():
            p.fail()
        return Transaction(verb) if named and verb != "SAVE" else NoOp(False)
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
# Statements run against the catalog (caller holds the server's lock)


class Result:
    """What one statement answers: messages, then a database change or a result set."""

    def __init__(self):
        self.messages = []
        self.database_change = None  # (new, old) database name, after USE
        self.columns = None  # a result set: [(name, kind, size)], kind int, bigint or nvarchar
        self.rows = []
        self.rowcount = None
        self.select = False  # the statement was a SELECT, for the DONE token
        self.abort = False


class SqlSession:
    """One connection's SQL state: its login, database, options and the
    parameters of the request being run."""

    def __init__(self, server, spid):
        self.server = server
        self.spid = spid
        self.login = None
        self.db_name = None
        self.xact_abort = False
        self.ansi_warnings = True  # the login's setting, once logged on
        self.implicit_transactions = False
        self.lock_timeout = -1  # milliseconds; -1 waits for ever
        self.last_error = 0
        self.last_rowcount = 0
        self.params = {}  # the bound parameters of the request being run, by folded name
        self.trancount = 0
        self.doomed = False  # uncommittable: XACT_STATE() is -1
        self.undo = []  # how to take back each change of the open transaction, in order

    def changed(self, undo):
        """Keeps how to take back a change, while a transaction is open."""
        if self.trancount:
            self.undo.append(undo)

    def rollback(self):
        for undo in reversed(self.undo):
            undo()
        self.undo, self.trancount, self.doomed = [], 0, False

    def refuse_write(self, res):
        """3930 in a doomed transaction, which may only be rolled back."""
        if self.doomed:
            res.messages.append(MSG_3930)
        return self.doomed

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
        res = Result()
        handler = {
            AlterColumn: self.exec_alter,
            SelectInto: self.exec_select_into,
            SelectValues: self.exec_select_values,
            SelectQuery: self.exec_query,
            NoOp: self.exec_noop,
            Transaction: self.exec_transaction,
            Use: self.exec_use,
        }[type(stmt)]
        handler(stmt, res)
        return res

    def exec_noop(self, stmt, res):
        words = stmt.set_words
        if len(words) >= 2 and words[0] == "XACT_ABORT":
            self.xact_abort = words[1] == "ON"
        if len(words) >= 2 and words[0] in ("ANSI_WARNINGS", "ANSI_DEFAULTS"):
            self.ansi_warnings = words[1] == "ON"
        if len(words) >= 2 and words[0] in ("IMPLICIT_TRANSACTIONS", "ANSI_DEFAULTS"):
            self.implicit_transactions = words[1] == "ON"
        if len(words) >= 2 and words[0] == "LOCK_TIMEOUT":
            text = "".join(words[1:])
            self.lock_timeout = int(text) if re.fullmatch(r"-?\d+", text) else self.lock_timeout

    def options(self):
        """The session's SET options, as the record shows them."""
        return {"ansi_warnings": self.ansi_warnings,
                "implicit_transactions": self.implicit_transactions,
                "xact_abort": self.xact_abort, "lock_timeout": self.lock_timeout}

    def lock_holder(self, stmt):
        """The other session whose granted lock an ALTER must wait for: the schema
        modification lock it takes is compatible with no other lock mode."""
        if not isinstance(stmt, AlterColumn):
            return None
        db, table = self.find_table(stmt.table)
        if table is None or not self.may_alter(table):
            return None
        for other in self.server.sessions:
            for lock in other.get("locks", []):
                if lock.get("status", "GRANT") == "GRANT" and \
                        db.table_by_name(lock["table"]) is table:
                    return other
        return None

    def may_alter(self, table):
        return not (applies_to(table.not_alterable, self.login.name)
                    or applies_to(table.not_visible, self.login.name))

    def sees(self, table):
        """Metadata visibility: a table the login holds no permission on is invisible to it
        unless it has VIEW DEFINITION on the database."""
        return not applies_to(table.not_visible, self.login.name) or \
            bool(self.login.may_read_dependencies)

    def exec_transaction(self, stmt, res):
        if stmt.verb == "BEGIN":
            self.trancount += 1
        elif not self.trancount:
            res.messages.append(SqlMessage(3902 if stmt.verb == "COMMIT" else 3903, 16, 1,
                                           "The %s TRANSACTION request has no corresponding "
                                           "BEGIN TRANSACTION." % stmt.verb))
        elif stmt.verb == "ROLLBACK":
            self.rollback()
        elif self.doomed:
            res.messages.append(MSG_3930)
        elif self.trancount == 1 and self.server.fail_commit:
            # The log cannot take the commit; the transaction stays open, to be rolled back.
            res.messages.append(SqlMessage(9002, 17, 2, "The transaction log for database '%s' "
                                           "is full due to 'LOG_BACKUP'." % self.db_name))
        else:
            self.trancount -= 1
            if not self.trancount:
                self.undo = []

    def exec_use(self, stmt, res):
        db = self.server.database(stmt.db)
        if db is None:
            res.messages.append(SqlMessage(911, 16, 1, "Database '%s' does not exist. Make sure "
                                           "that the name is entered correctly." % stmt.db))
            return
        old = self.db_name
        self.db_name = db.name
        res.database_change = (db.name, old)
        res.messages.append(SqlMessage(5701, 0, 1, "Changed database context to '%s'." % db.name))

    def exec_alter(self, stmt, res):
        db, table = self.find_table(stmt.table)
        if table is None or not self.may_alter(table):
            res.messages.append(msg_4902(stmt.table.written))
            return
        if self.refuse_write(res):
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
        if self.too_long(table, col, stmt.type, res):
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
        before = (col.type, col.nullable, col.collation)

        def undo():
            col.type, col.nullable, col.collation = before
        self.changed(undo)
        col.type = stmt.type
        col.nullable = stmt.nullable
        col.collation = db.collation  # no COLLATE: the database's default

    def too_long(self, table, col, new_type, res):
        """A shorter text type fails on longer values (8152) under ANSI_WARNINGS; without it
        the values are cut short and the ALTER succeeds."""
        m = re.match(r"(n?)(?:var)?char\((\d+)\)$", new_type)
        data = table.extra.get("data") or {}
        key = next((k for k in data if fold(k) == fold(col.name)), None)
        if m is None or key is None:
            return False
        limit = int(m.group(2))
        units = (lambda v: len(v.encode("utf-16-le")) // 2) if m.group(1) else len
        if not any(isinstance(v, str) and units(v) > limit for v in data[key]):
            return False
        if self.ansi_warnings:
            res.messages.append(SqlMessage(8152, 16, 30, "String or binary data would be "
                                           "truncated."))
            return True
        data[key] = [v[:limit] if isinstance(v, str) else v for v in data[key]]
        return False

    def exec_select_into(self, stmt, res):
        login = self.login
        db, source = self.find_table(stmt.source)
        if source is None or not self.sees(source):
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
                # The copy keeps the IDENTITY property.
                columns += [Column(c.name, c.type, c.nullable, c.collation,
                                   identity=c.identity) for c in source.columns]
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
        if self.refuse_write(res):
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
            if target_db.fold(c.name) in seen:
                res.messages.append(SqlMessage(
                    2705, 16, 3, "Column names in each table must be unique. Column name '%s' "
                    "in table '%s' is specified more than once." % (c.name, r[2])))
                return
            seen.add(target_db.fold(c.name))
        for s in target_db.schemas + [t.schema for t in target_db.tables]:
            if target_db.fold(s) == target_db.fold(schema):
                schema = s  # the schema keeps its catalog spelling
                break
        table = Table(schema, r[2], columns, source.rows)
        target_db.add_table(table)
        self.changed(lambda: target_db.tables.remove(table))
        res.rowcount = source.rows
        res.select = True

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
        res.columns, res.rows = cols, rows
        res.rowcount = len(rows)
        res.select = True

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
        res.columns, res.rows = cols, [values]
        res.rowcount = 1
        res.select = True

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
                "@@TRANCOUNT": ("int", self.trancount),
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
                "@@LOCK_TIMEOUT": ("int", self.lock_timeout),
            }
            if name not in values:
                raise SqlErrorStatement(SqlMessage(137, 15, 2, 'Must declare the scalar variable '
                                                   '"%s".' % expr[1]))
            return values[name]
        if kind == "func":
            name = expr[1].upper()
            if name == "DB_NAME":
                return "nvarchar(128)", self.db_name
            if name == "XACT_STATE":
                return "smallint", -1 if self.doomed else int(self.trancount > 0)
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
                    "ENGINEEDITION": self.server.engine_edition,
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
        self.fold = self.db.fold  # text compares as the database's collation does

    def param(self, name):
        key = fold(name)
        if key == "@@spid":
            return self.session.spid
        if key == "@@servername":
            return self.server.server_name
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
                     "is_in_standby", "collation_name", "compatibility_level"],
                    [(5 + k, d.name, d.state, d.user_access, d.read_only,
                      bool(d.extra.get("standby")), d.collation, 100)
                     for k, d in enumerate(self.server.databases)])
            if fold(name).startswith("dm_"):
                return self.server_state(fold(name))
            view = sysviews.sys_view(name, self.db, self.server.version,
                                     self.server.engine_edition)
            if view is None:
                raise sysviews.invalid_object(".".join(parts))
            # Metadata visibility: the views leave out what belongs to a table the login
            # cannot see.
            hidden = {self.db.object_id(t) for t in self.db.tables if not self.session.sees(t)}
            if hidden and "object_id" in view[0]:
                return view[0], [r for r in view[1] if r["object_id"] not in hidden]
            return view
        if len(parts) == 2 and fold(parts[0]) == "dbo":
            view = sysviews.replication_table(parts[1], self.db)
            if view is not None:
                return view
        db, table = self.session.find_table(Name(parts, ".".join(parts)))
        if table is None or not self.session.sees(table):
            raise sysviews.invalid_object(".".join(parts))
        if applies_to(table.not_readable, self.login.name):
            raise sysviews.select_denied(table.name, db.name, table.schema)
        return sysviews.data_rows(table)

    def server_state(self, name):
        """The lock and session views: other sessions need VIEW SERVER STATE (2022: VIEW
        SERVER PERFORMANCE STATE), without which the locks are refused and the sessions are
        the caller's own."""
        others = self.server.sessions if self.login.view_server_state else []
        if name == "dm_tran_locks":
            if not self.login.view_server_state:
                permission = ("VIEW SERVER PERFORMANCE STATE"
                              if sysviews.version_major(self.server.version) >= 16
                              else "VIEW SERVER STATE")
                raise sysviews.CatalogError(300, 14, 1, "%s permission was denied on object "
                                            "'server', database 'master'." % permission)
            db_id = 5 + self.server.databases.index(self.db)
            rows = []
            for s in others:
                for lock in s.get("locks", []):
                    t = self.db.table_by_name(lock["table"])
                    if t is not None:
                        rows.append([s["session_id"], "OBJECT", db_id, self.db.object_id(t),
                                     lock.get("mode", "IX"), lock.get("status", "GRANT")])
            return sysviews._rows(["request_session_id", "resource_type", "resource_database_id",
                                   "resource_associated_entity_id", "request_mode",
                                   "request_status"], rows)
        if name == "dm_exec_sessions":
            rows = [[self.session.spid, self.login.name, "", "", "running"]]
            rows += [[s["session_id"], s.get("login", ""), s.get("host", ""),
                      s.get("program", ""), s.get("status", "sleeping")] for s in others]
            return sysviews._rows(["session_id", "login_name", "host_name", "program_name",
                                   "status"], rows)
        raise sysviews.invalid_object("sys." + name)

    def object_of(self, object_id):
        for t in self.db.tables:
            if self.db.object_id(t) == object_id:
                return t.schema, t.name, t
        for d in self.db.dependents:
            if self.db.dependent_id(d) == object_id:
                return d.get("schema", "dbo"), d["name"], None
        for oid, name, _, _ in self.db.bound_objects():
            if oid == object_id:
                return "dbo", name, None
        return None, None, None

    def table_named(self, text):
        try:
            name = Parser(tokenize(text), text).name()
        except (SyntaxErr, SqlErrorBatch):
            return None
        table = self.session.find_table(name)[1]
        return table if table is not None and self.session.sees(table) else None

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
                     "EDITION": "Developer Edition (64-bit)",
                     "ENGINEEDITION": self.server.engine_edition,
                     "SERVERNAME": self.server.server_name,
                     "COLLATION": DEFAULT_COLLATION}
            return props.get(str(arg[0]).upper())
        if name == "SESSIONPROPERTY":
            return int(self.session.ansi_warnings) if str(arg[0]).upper() == "ANSI_WARNINGS" \
                else None
        if name == "DATABASEPROPERTYEX":
            db = self.server.database(str(arg[0]))
            if db is None or str(arg[1]).upper() != "UPDATEABILITY":
                return None
            return "READ_ONLY" if db.read_only or db.extra.get("standby") else \
                db.extra.get("updateability", "READ_WRITE")
        if name == "COLLATIONPROPERTY":
            if str(arg[1]).upper() != "COMPARISONSTYLE" or not arg[0]:
                return None
            # Binary and fully sensitive collations are 0; ignore case is bit 1.
            return 0 if case_sensitive(arg[0]) else 196609
        if name == "COL_LENGTH":
            return self.col_length(str(arg[0] or ""), str(arg[1] or ""))
        if name == "OBJECTPROPERTY":
            _, _, table = self.object_of(arg[0])
            if table is None or str(arg[1]).upper() != "TABLEHASIDENTITY":
                return None
            return int(any(c.identity for c in table.columns))
        if name == "FILEPROPERTY":
            for f in sysviews.database_files(self.db):
                if fold(f[3]) == fold(str(arg[0])) and str(arg[1]).upper() == "SPACEUSED":
                    return f[8]
            return None
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
            if not isinstance(arg[0], str):
                return None
            parts = [x.strip("[]") for x in arg[0].split(".")]
            if len(parts) == 2 and fold(parts[0]) == "sys":
                known = sysviews.sys_view(parts[1], self.db, self.server.version,
                                          self.server.engine_edition)
                return -(400 + len(parts[1])) if known is not None else None
            if len(parts) == 2 and fold(parts[0]) == "dbo" and \
                    sysviews.replication_table(parts[1], self.db) is not None:
                return 1000 + len(parts[1])
            table = self.table_named(arg[0])
            return self.db.object_id(table) if table is not None else None
        if name == "QUOTENAME":
            return sysviews.quotename(arg[0])
        if name == "DATALENGTH":
            return sysviews.datalength(arg[0])
        if name == "RTRIM":
            return arg[0].rstrip(" ") if isinstance(arg[0], str) else arg[0]
        if name == "ISNULL":
            return arg[1] if arg[0] is None else arg[0]
        if name == "HAS_PERMS_BY_NAME":
            return self.has_perms(arg[0], str(arg[1] or "").upper(), str(arg[2] or "").upper())
        raise sysviews.CatalogError(195, 15, 10, "'%s' is not a recognized built-in function "
                                    "name." % name)

    def col_length(self, table, column):
        """COL_LENGTH: the column's length in bytes, NULL where there is no such column."""
        parts = [x.strip("[]") for x in table.split(".")]
        if len(parts) == 2 and fold(parts[0]) == "sys":
            view = sysviews.sys_view(parts[1], self.db, self.server.version,
                                     self.server.engine_edition)
            return None if view is None or fold(column) not in view[0] else 1
        t = self.table_named(table)
        c = t.column(column) if t is not None else None
        return sysviews.type_parts(c.type)[1] if c is not None else None

    def has_perms(self, securable, klass, permission):
        login = self.login
        if klass == "DATABASE":
            if permission == "VIEW DEFINITION":
                return int(bool(login.may_read_dependencies))
            return int(permission != "CREATE TABLE" or bool(login.may_create_tables))
        if klass == "SCHEMA":
            schema = (securable or "").strip("[]").replace("]]", "]")
            if not self.db.schema_exists(schema):
                return None
            if permission == "VIEW DEFINITION":  # held on the database or not at all here
                return int(bool(login.may_read_dependencies))
            allowed = login.may_alter_schemas
            if isinstance(allowed, list):
                return int(fold(schema) in {fold(x) for x in allowed})
            return int(bool(allowed))
        if klass == "OBJECT":
            if fold(securable or "") == "sys.sql_expression_dependencies":
                return int(bool(login.may_read_dependencies))
            table = self.table_named(securable or "")
            if table is None:
                return None
            if permission in ("ALTER", "CONTROL"):
                return int(self.session.may_alter(table))
            if permission == "SELECT":
                return int(not applies_to(table.not_readable, login.name))
            return 1
        if klass in ("", "NONE") and securable is None:
            return int(bool(login.view_server_state)) if permission == "VIEW SERVER STATE" \
                else None
        return None


class SqlErrorStatement(Exception):
    def __init__(self, message):
        super().__init__(message.text)
        self.message = message

