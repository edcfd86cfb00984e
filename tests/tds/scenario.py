"""The stand-in's catalog: databases, tables, columns, logins and faults, as a
scenario file describes them, and the server messages built from them.

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
            "not_visible": false,                    # same form; the login holds no
                                                     # permission on it (ALTER 4902), and
                                                     # without VIEW DEFINITION on the database
                                                     # (may_read_dependencies) it cannot see
                                                     # it: SELECT 208, OBJECT_ID and
                                                     # HAS_PERMS_BY_NAME NULL, and the
                                                     # catalog views leave it out
            # Catalog details, for the catalog views (all optional):
            #   columns may add "collation" (default: the database's),
            #   "computed": "definition", "identity": true, "sparse": true,
            #   "column_set": true, "rowguidcol": true, "encrypted": true,
            #   "rule": "R_name" and "bound_default": "D_name" (sp_bindrule,
            #   sp_bindefault); types include timestamp, xml, sql_variant and
            #   the CLR types hierarchyid, geometry, geography; char(n) and
            #   nchar(n) values read back padded;
            #   indexes may add "primary_key", "unique_constraint", "clustered",
            #   "columnstore", "included": [columns];
            "foreign_keys": [{"name": "FK", "columns": ["i13"],
                              "references": "CHXD.TPRICE", "ref_columns": ["i13"]}],
            "checks": [{"name": "CK", "column": "i13",   # no column: table-level
                        "definition": "([i13]<>'')"}],
            "defaults": [{"name": "DF", "column": "i13", "definition": "('')"}],
            "statistics": [{"name": "ST", "columns": ["i15"]}],
            "fulltext": ["i15"],
            "partitioned": false, "partition_column": "i13", "replicated": false,
            "merge_published": false, "sync_tran_subscribed": false, "cdc": false,
            "memory_optimized": false, "system_versioned": false,
            "history_table": "CHXD.T_HIST",          # the period history table
            "ledger": "UPDATABLE_LEDGER_TABLE",      # or APPEND_ONLY_..., HISTORY_TABLE
            "filegroup": {"name": "ARCHIVE", "read_only": true},
            "used_pages": 8,                         # of its heap or clustered index
            "data": {"i13": ["value", null]}}       # rows that SELECT ... FROM it sees
         ],
         "collation": "SQL_Latin1_General_CP1_CI_AS", # optional; a _CS_ or _BIN
                                                     # collation compares names with
                                                     # case; also "state", "user_access",
                                                     # "read_only", "standby",
                                                     # "updateability" (READ_ONLY)
         "log": {"size_pages": 1024, "max_size_pages": -1,   # the log file, in
                 "growth_pages": 128, "used_pages": 100},    # 8 KB pages
         "ddl_triggers": [{"name": "trDdl", "events": ["ALTER_TABLE"],  # or groups
                           "disabled": false}],              # (DDL_TABLE_EVENTS)
         "replication": {"publications": [{"name": "P", "type": "transactional",
                                           "replicate_ddl": 1, "articles": ["CHXD.T2011"],
                                           "publisher": "...", "publisher_db": "..."}],
                         "subscriptions": [{"publisher": "PUB", "publisher_db": "Kivo",
                                            "publication": "P"}]},
         "dependents": [{"schema": "CHXD", "name": "vT", "type": "VIEW",
                         "schema_bound": true,
                         "references": ["CHXD.T2011.i13"]}]}
      ],
      "server_version": "15.0.2000.5",              # optional; SERVERPROPERTY and the
                                                     # columns the views have
      "engine_edition": 3,                          # optional; 5 Azure SQL Database and
                                                     # 8 Managed Instance have every column
      "sessions": [{"session_id": 61, "login": "app", "host": "WEB02",  # other sessions
                    "program": "KivoWeb", "locks": [{"table": "CHXD.T2011",
                                                     "mode": "IX"}]}],
                                                     # a granted lock ("status": "GRANT",
                                                     # the default) of any mode makes an
                                                     # ALTER of that table wait LOCK_TIMEOUT,
                                                     # then fail with 1222; without one it
                                                     # waits for the client's cancel
      "logins": [
        {"name": "sa", "password": "pw",
         "default_database": "KivoDB",               # optional, first database
         "default_schema": "dbo",                    # optional
         "may_create_tables": true,                  # optional; false: SELECT INTO
                                                     # gives 262
         "databases": ["KivoDB"],                    # optional; others give 4060
         "may_alter_schemas": true,                  # or a list of schemas
         "may_read_dependencies": true,              # false: 229 on
                                                     # sys.sql_expression_dependencies
                                                     # (and no VIEW DEFINITION)
         "view_server_state": false,                 # true: sees other sessions' locks
         "ansi_warnings": true}                      # the session's setting at logon
      ],
      "faults": {
        "refuse_logins": false,   # every login fails with 18456
        "drop_at_request": 0,     # n > 0: the n-th request that arrives (SQL
                                  # batches and RPCs that run a statement,
                                  # counted over the whole server; logins and
                                  # attentions are not counted) is recorded
                                  # ("dropped"), not run, and its connection is
                                  # closed without an answer; once only
        "drop_on": "ALTER TABLE MD.Customer ",  # as drop_at_request, for the
                                  # first request whose text starts so
        "doom_on": "ALTER TABLE MD.Customer ",  # that request makes the open
                                  # transaction uncommittable (see sql.py)
        "fail_commit": false,     # a COMMIT of the outermost transaction fails
                                  # with 9002 (log full); it stays open
        "refuse_catalog": false,  # every catalog view and function is refused
        "delay_ms": 0             # wait this long before each statement (not
                                  # before the driver's SET / SELECT @@ ones); an
                                  # attention during the wait cancels the rest
                                  # of the request (recorded "cancelled")
      }
    }
"""

import re

DEFAULT_COLLATION = "SQL_Latin1_General_CP1_CI_AS"


def fold(name):
    """Key under which SQL Server compares identifiers (case-insensitive)."""
    return name.casefold()


def case_sensitive(collation):
    """Whether a collation compares with case: _CS_ and binary ones do."""
    words = (collation or "").upper().split("_")
    return "CS" in words or any(w.startswith("BIN") for w in words)


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


def msg_1222():
    return SqlMessage(1222, 16, 51, "Lock request time out period exceeded.")


def msg_208(written):
    return SqlMessage(208, 16, 1, "Invalid object name '%s'." % written)


def msg_102(near):
    return SqlMessage(102, 15, 1, "Incorrect syntax near '%s'." % near)



class Column:
    def __init__(self, name, type_, nullable, collation=None, computed=None, identity=False,
                 extra=None):
        self.extra = extra or {}  # the scenario's column details (sparse, rule, ...)
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
        self.not_visible = self.extra.get("not_visible", False)
        self.schema = schema
        self.name = name
        self.columns = columns
        self.rows = rows
        self.indexes = indexes or []  # list of (name, [column names])
        self.not_alterable = not_alterable
        self.not_readable = not_readable
        self.fold = fold  # its database's comparison of names

    def column(self, name):
        for c in self.columns:
            if self.fold(c.name) == self.fold(name):
                return c
        return None

    def column_id(self, name):
        for k, c in enumerate(self.columns, 1):
            if self.fold(c.name) == self.fold(name):
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
        self.collation = d.get("collation", DEFAULT_COLLATION)
        # Names follow the database's collation: with case, _Hist and _HIST are two tables.
        self.fold = (lambda n: n) if case_sensitive(self.collation) else fold
        self.tables = []
        for t in tables:
            self.add_table(t)
        self.extra = d
        self.state = d.get("state", "ONLINE")
        self.user_access = d.get("user_access", "MULTI_USER")
        self.read_only = bool(d.get("read_only", False))
        self.dependents = d.get("dependents", [])  # views and functions that use columns
        self.ids = {}  # object ids, stable for the server's life

    def add_table(self, table):
        table.fold = self.fold
        self.tables.append(table)

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
            seen.setdefault(self.fold(s), s)
        return list(seen.values())

    def schema_id(self, schema):
        names = [self.fold(s) for s in self.all_schemas()]
        return 1 if self.fold(schema) == "dbo" else 5 + names.index(self.fold(schema))

    def table_by_name(self, qualified):
        parts = qualified.split(".")
        return self.table(parts[0], parts[1]) if len(parts) == 2 else self.table("dbo", parts[0])

    def schema_exists(self, schema):
        known = {"dbo"} | {self.fold(s) for s in self.schemas}
        known |= {self.fold(t.schema) for t in self.tables}
        return self.fold(schema) in known

    def table(self, schema, name):
        for t in self.tables:
            if self.fold(t.schema) == self.fold(schema) and self.fold(t.name) == self.fold(name):
                return t
        return None

    def bound_objects(self):
        """(id, name, type, type_desc) of the rules and defaults bound to columns."""
        out = []
        for t in self.tables:
            for c in t.columns:
                for key, code, desc in (("rule", "R", "RULE"),
                                        ("bound_default", "D", "DEFAULT_CONSTRAINT")):
                    if c.extra.get(key):
                        out.append((self._id((key, fold(c.extra[key]))), c.extra[key], code,
                                    desc))
        return out

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
        self.view_server_state = d.get("view_server_state", False)
        self.ansi_warnings = d.get("ansi_warnings", True)
        self.databases = d.get("databases")  # None: all


def load_scenario(data):
    dbs = []
    for d in data.get("databases", []):
        tables = []
        for t in d.get("tables", []):
            collation = d.get("collation", DEFAULT_COLLATION)
            cols = [Column(c["name"], c.get("type", "int"), c.get("nullable", True),
                           c.get("collation", collation), c.get("computed"),
                           c.get("identity", False), c)
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
