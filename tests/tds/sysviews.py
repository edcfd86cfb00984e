"""Catalog views and a small SELECT evaluator for the SQL Server stand-in.

The stand-in answers catalog queries by evaluating them against its scenario
catalog, so that a scenario file alone describes a database. The sys.* views
are row sets generated from the catalog on every query; the evaluator covers
the subset that the program's own queries use:

    query  := select { UNION ALL select }
    select := SELECT item {, item} [FROM source {join}] [WHERE cond]
    item   := expr [[AS] alias]
    source := name [[AS] alias]            -- sys.view or schema.table
    join   := [INNER] JOIN source ON cond | LEFT [OUTER] JOIN source ON cond
    cond   := pred {AND pred}
    pred   := expr (= | <> | > | < | >= | <=) expr | expr [NOT] IN (expr, ...)
            | expr IS [NOT] NULL | (cond)
    expr   := term {(+ | - | * | /) term}  -- + also joins strings
    term   := literal | @param | NULL | alias.column | column | (expr)
            | CAST(expr AS type) | CONVERT(type, expr) | function(args)
            | COUNT_BIG(*) | COUNT(*) | MAX(expr) | SUM(expr)
            | CASE WHEN cond THEN expr {WHEN cond THEN expr} [ELSE expr] END

A select whose list holds an aggregate gives one row over all rows that pass
WHERE (there is no GROUP BY). Comparisons of text follow the database's
collation (they ignore case unless it is a _CS_ or binary one); NULL compares
as unknown.

This module knows nothing of TDS: the session hands it the statement's
tokens and a context (the catalog, the login, the bound parameters) and gets
back column names and rows, or a CatalogError to answer with.
"""

import re


class CatalogError(Exception):
    """A statement error: number, severity, state and text, as the server sends them."""

    def __init__(self, number, severity, state, text):
        super().__init__(text)
        self.number = number
        self.severity = severity
        self.state = state
        self.text = text


class _Syntax(Exception):
    def __init__(self, near):
        super().__init__(near)
        self.near = near


def fold(name):
    return name.casefold()


def invalid_column(name):
    return CatalogError(207, 16, 1, "Invalid column name '%s'." % name)


def invalid_object(name):
    return CatalogError(208, 16, 1, "Invalid object name '%s'." % name)


def select_denied(obj, db, schema):
    return CatalogError(229, 14, 5, "The SELECT permission was denied on the object '%s', "
                        "database '%s', schema '%s'." % (obj, db, schema))


# ---------------------------------------------------------------------------
# Parser (over the stand-in's tokens: kind ident/str/num/var/op, text, value)

AGGREGATES = {"COUNT", "COUNT_BIG", "MAX", "MIN", "SUM"}
STOP_WORDS = {"FROM", "WHERE", "JOIN", "INNER", "LEFT", "OUTER", "ON", "UNION", "AND", "OR",
              "AS", "IN", "IS", "NOT", "ALL", "CASE", "WHEN", "THEN", "ELSE", "END"}


class _P:
    def __init__(self, toks):
        self.toks = toks
        self.i = 0

    def peek(self, k=0):
        j = self.i + k
        return self.toks[j] if j < len(self.toks) else None

    def kw(self, *words):
        t = self.peek()
        if t is not None and t.kind == "ident" and t.text.upper() in words:
            self.i += 1
            return t
        return None

    def op(self, o):
        t = self.peek()
        if t is not None and t.kind == "op" and t.text == o:
            self.i += 1
            return t
        return None

    def fail(self):
        t = self.peek()
        raise _Syntax(t.text if t else (self.toks[-1].text if self.toks else ""))

    def need_kw(self, *words):
        if not self.kw(*words):
            self.fail()

    def need_op(self, o):
        if not self.op(o):
            self.fail()

    def ident(self):
        t = self.peek()
        if t is None or t.kind != "ident":
            self.fail()
        self.i += 1
        return t


def parse_query(toks):
    """The parsed query of a SELECT statement's tokens; raises CatalogError 102."""
    p = _P(toks)
    try:
        selects = [_select(p)]
        while p.kw("UNION"):
            p.need_kw("ALL")
            selects.append(_select(p))
        if p.peek() is not None:
            p.fail()
    except _Syntax as e:
        raise CatalogError(102, 15, 1, "Incorrect syntax near '%s'." % e.near)
    return selects


def _select(p):
    p.need_kw("SELECT")
    items = []
    while True:
        e = _expr(p)
        alias = None
        if p.kw("AS"):
            t = p.peek()
            if t is None or t.kind not in ("ident", "str"):
                p.fail()
            p.i += 1
            alias = t.value
        elif (p.peek() is not None and p.peek().kind == "ident"
              and p.peek().text.upper() not in STOP_WORDS):
            alias = p.ident().value
        items.append((e, alias))
        if not p.op(","):
            break
    sources = []
    if p.kw("FROM"):
        sources.append(("from",) + _source(p) + (None,))
        while True:
            if p.kw("LEFT"):
                p.kw("OUTER")
                p.need_kw("JOIN")
                kind = "left"
            elif p.kw("INNER"):
                p.need_kw("JOIN")
                kind = "inner"
            elif p.kw("JOIN"):
                kind = "inner"
            else:
                break
            name, alias = _source(p)
            p.need_kw("ON")
            sources.append((kind, name, alias, _cond(p)))
    where = _cond(p) if p.kw("WHERE") else None
    return {"items": items, "sources": sources, "where": where}


def _source(p):
    parts = [p.ident().value]
    while p.op("."):
        parts.append(p.ident().value)
    alias = None
    if p.kw("AS"):
        alias = p.ident().value
    elif p.peek() is not None and p.peek().kind == "ident" and \
            p.peek().text.upper() not in STOP_WORDS:
        alias = p.ident().value
    return parts, alias


def _cond(p):
    preds = [_pred(p)]
    while p.kw("AND"):
        preds.append(_pred(p))
    return ("and", preds) if len(preds) > 1 else preds[0]


def _pred(p):
    if p.peek() is not None and p.peek().kind == "op" and p.peek().text == "(":
        # A parenthesised condition, or an expression that starts with "(".
        save = p.i
        p.i += 1
        try:
            c = _cond(p)
            if p.op(")") and _ends_pred(p):
                return c
        except _Syntax:
            pass
        p.i = save
    left = _expr(p)
    for o in ("=", "<>", "!=", ">=", "<=", ">", "<"):
        if p.op(o):
            return ("cmp", "<>" if o == "!=" else o, left, _expr(p))
    negate = bool(p.kw("NOT"))
    if p.kw("IN"):
        p.need_op("(")
        values = [_expr(p)]
        while p.op(","):
            values.append(_expr(p))
        p.need_op(")")
        return ("in", left, values, negate)
    if negate:
        p.fail()
    if p.kw("IS"):
        negate = bool(p.kw("NOT"))
        p.need_kw("NULL")
        return ("isnull", left, negate)
    p.fail()


def _ends_pred(p):
    t = p.peek()
    return t is None or (t.kind == "ident" and t.text.upper() in STOP_WORDS) or \
        (t.kind == "op" and t.text in (")", ",", ";"))


def _expr(p):
    left = _term(p)
    while True:
        t = p.peek()
        if t is not None and t.kind == "op" and t.text in ("+", "-", "*", "/"):
            p.i += 1
            left = ("op", t.text, left, _term(p))
        else:
            return left


def _term(p):
    t = p.peek()
    if t is None:
        p.fail()
    p.i += 1
    if t.kind == "op" and t.text == "(":
        e = _expr(p)
        p.need_op(")")
        return e
    if t.kind == "op" and t.text == "-":
        return ("op", "-", ("lit", 0), _term(p))
    if t.kind == "num":
        return ("lit", int(t.text) if "." not in t.text else float(t.text))
    if t.kind == "str":
        return ("lit", t.value)
    if t.kind == "var":
        return ("param", t.text)
    if t.kind != "ident":
        p.i -= 1
        p.fail()
    word = t.text.upper()
    if word == "NULL":
        return ("lit", None)
    if word == "CASE":
        branches = []
        while p.kw("WHEN"):
            cond = _cond(p)
            p.need_kw("THEN")
            branches.append((cond, _expr(p)))
        if not branches:
            p.fail()
        otherwise = _expr(p) if p.kw("ELSE") else ("lit", None)
        p.need_kw("END")
        return ("case", branches, otherwise)
    if p.op("("):
        if word == "CAST":
            e = _expr(p)
            p.need_kw("AS")
            ty = _type(p)
            p.need_op(")")
            return ("cast", ty, e)
        if word == "CONVERT":
            ty = _type(p)
            p.need_op(",")
            e = _expr(p)
            p.need_op(")")
            return ("cast", ty, e)
        if word in AGGREGATES:
            arg = ("star",) if p.op("*") else _expr(p)
            p.need_op(")")
            return ("agg", word, arg)
        args = []
        if not p.op(")"):
            args.append(_expr(p))
            while p.op(","):
                args.append(_expr(p))
            p.need_op(")")
        return ("call", word, args)
    parts = [t.value]
    while p.op("."):
        parts.append(p.ident().value)
    return ("col", parts)


def _type(p):
    name = p.ident().value.lower()
    if p.op("("):
        arg = p.peek()
        p.i += 1
        if arg is None or not (arg.kind == "num" or arg.text.upper() == "MAX"):
            p.fail()
        p.need_op(")")
        return "%s(%s)" % (name, arg.text.lower())
    return name


def has_aggregate(e):
    if e[0] == "agg":
        return True
    if e[0] == "case":
        return any(has_aggregate(x) for _, x in e[1]) or has_aggregate(e[2])
    return any(has_aggregate(x) for x in e[1:] if isinstance(x, tuple)) or \
        any(has_aggregate(x) for x in (e[2] if e[0] == "call" else []))


# ---------------------------------------------------------------------------
# Evaluation


def _norm(v, f=fold):
    return f(v) if isinstance(v, str) else v


def _coerce(a, b, f=fold):
    """Both sides of a comparison in one type, as SQL Server converts them."""
    if isinstance(a, str) and isinstance(b, (int, float)):
        try:
            return float(a), b
        except ValueError:
            raise CatalogError(245, 16, 1, "Conversion failed when converting the nvarchar "
                               "value '%s' to data type int." % a)
    if isinstance(b, str) and isinstance(a, (int, float)):
        x, y = _coerce(b, a, f)
        return y, x
    return _norm(a, f), _norm(b, f)


def _compare(o, a, b, f=fold):
    if a is None or b is None:
        return None
    a, b = _coerce(a, b, f)
    return {"=": a == b, "<>": a != b, ">": a > b, "<": a < b, ">=": a >= b,
            "<=": a <= b}[o]


class Evaluator:
    """Runs one parsed query against a context.

    The context answers:
      rows_of(parts) -> (column names, rows as dicts keyed by folded names)
      call(NAME, [values]) -> value           (scalar functions)
      param(name) -> value                    (bound parameters; CatalogError 137 if none)
    """

    def __init__(self, context):
        self.ctx = context
        self.fold = getattr(context, "fold", fold)

    def run(self, selects):
        names = None
        rows = []
        for s in selects:
            n, r = self._select(s)
            if names is None:
                names = n
            elif len(n) != len(names):
                raise CatalogError(205, 16, 1, "All queries combined using a UNION, INTERSECT "
                                   "or EXCEPT operator must have an equal number of expressions "
                                   "in their target lists.")
            rows += r
        return names, rows

    def _select(self, s):
        envs = [{}]
        scope = []
        for kind, parts, alias, on in s["sources"]:
            cols, rows = self.ctx.rows_of(parts)
            key = fold(alias or parts[-1])
            scope.append((key, cols))
            joined = []
            for env in envs:
                matched = False
                for r in rows:
                    e2 = dict(env)
                    e2[key] = r
                    if on is None or self._truth(on, e2, scope) is True:
                        joined.append(e2)
                        matched = True
                if kind == "left" and not matched:
                    e2 = dict(env)
                    e2[key] = None
                    joined.append(e2)
            envs = joined
        if s["where"] is not None:
            envs = [e for e in envs if self._truth(s["where"], e, scope) is True]
        names = [alias or self._name_of(e) for e, alias in s["items"]]
        if any(has_aggregate(e) for e, _ in s["items"]):
            return names, [[self._value(e, envs[0] if envs else {}, scope, envs)
                            for e, _ in s["items"]]]
        return names, [[self._value(e, env, scope) for e, _ in s["items"]] for env in envs]

    @staticmethod
    def _name_of(e):
        return e[1][-1] if e[0] == "col" else ""

    def _truth(self, c, env, scope):
        k = c[0]
        if k == "and":
            values = [self._truth(x, env, scope) for x in c[1]]
            if False in values:
                return False
            return None if None in values else True
        if k == "cmp":
            return _compare(c[1], self._value(c[2], env, scope), self._value(c[3], env, scope),
                            self.fold)
        if k == "in":
            v = self._value(c[1], env, scope)
            if v is None:
                return None
            hits = [_compare("=", v, self._value(x, env, scope), self.fold) for x in c[2]]
            found = True in hits
            return (not found) if c[3] else found
        if k == "isnull":
            isnull = self._value(c[1], env, scope) is None
            return (not isnull) if c[2] else isnull
        raise CatalogError(4145, 15, 1, "An expression of non-boolean type specified in a "
                           "context where a condition is expected.")

    def _column(self, parts, env, scope):
        name = fold(parts[-1])
        if len(parts) > 1:
            key = fold(parts[-2])
            for k, cols in scope:
                if k == key:
                    if name not in cols:
                        raise invalid_column(parts[-1])
                    row = env.get(key)
                    return None if row is None else row[name]
            raise CatalogError(4104, 16, 1, 'The multi-part identifier "%s" could not be bound.'
                               % ".".join(parts))
        for k, cols in scope:
            if name in cols:
                row = env.get(k)
                return None if row is None else row[name]
        raise invalid_column(parts[-1])

    def _value(self, e, env, scope, group=None):
        k = e[0]
        if k == "lit":
            return e[1]
        if k == "param":
            return self.ctx.param(e[1])
        if k == "col":
            return self._column(e[1], env, scope)
        if k == "cast":
            v = self._value(e[2], env, scope, group)
            if v is None:
                return None
            if e[1].startswith(("nvarchar", "varchar", "nchar", "char", "sysname")):
                return v if isinstance(v, str) else str(v)
            if e[1] in ("int", "bigint", "smallint", "tinyint", "bit"):
                return int(float(v))
            return v
        if k == "op":
            a = self._value(e[2], env, scope, group)
            b = self._value(e[3], env, scope, group)
            if a is None or b is None:
                return None
            if e[1] == "+" and (isinstance(a, str) or isinstance(b, str)):
                if isinstance(a, str) and isinstance(b, str):
                    return a + b
                a, b = _coerce(a, b)
            if e[1] == "/":
                if b == 0:
                    raise CatalogError(8134, 16, 1, "Divide by zero error encountered.")
                return a // b if isinstance(a, int) and isinstance(b, int) else a / b
            return {"+": a + b, "-": a - b, "*": a * b}[e[1]] if e[1] != "+" else a + b
        if k == "agg":
            if group is None:
                raise CatalogError(147, 15, 1, "An aggregate may not appear here.")
            if e[2][0] == "star":
                return len(group)
            values = [v for v in (self._value(e[2], g, scope) for g in group) if v is not None]
            if e[1] in ("COUNT", "COUNT_BIG"):
                return len(values)
            if not values:
                return None
            return {"MAX": max, "MIN": min, "SUM": sum}[e[1]](values)
        if k == "call":
            args = [self._value(a, env, scope, group) for a in e[2]]
            return self.ctx.call(e[1], args)
        if k == "case":
            for cond, value in e[1]:
                if self._truth(cond, env, scope) is True:
                    return self._value(value, env, scope, group)
            return self._value(e[2], env, scope, group)
        raise CatalogError(102, 15, 1, "Incorrect syntax near '%s'." % k)


# ---------------------------------------------------------------------------
# The sys.* views, generated from the catalog

# name: (system_type_id, bytes per character or fixed size)
TYPES = {
    "bigint": (127, 8), "binary": (173, 1), "bit": (104, 1), "char": (175, 1),
    "date": (40, 3), "datetime": (61, 8), "datetime2": (42, 8), "decimal": (106, 9),
    "float": (62, 8), "image": (34, 16), "int": (56, 4), "money": (60, 8),
    "nchar": (239, 2), "ntext": (99, 16), "numeric": (108, 9), "nvarchar": (231, 2),
    "real": (59, 4), "smallint": (52, 2), "text": (35, 16), "time": (41, 5),
    "tinyint": (48, 1), "uniqueidentifier": (36, 16), "varbinary": (165, 1),
    "varchar": (167, 1), "xml": (241, -1), "sysname": (231, 2),
    "timestamp": (189, 8), "rowversion": (189, 8), "sql_variant": (98, 8016),
    "hierarchyid": (240, 892), "geometry": (240, -1), "geography": (240, -1),
}
# The CLR types: their user_type_id differs from their system_type_id (240), which no row
# of sys.types has.
ASSEMBLY_TYPES = {"hierarchyid": 128, "geography": 129, "geometry": 130}
CHARACTER_TYPES = {"char", "varchar", "nchar", "nvarchar", "text", "ntext", "sysname"}


def type_parts(type_text):
    """'nvarchar(100)' -> ('nvarchar', 200 bytes); max is -1."""
    m = re.match(r"([a-z0-9_]+)(?:\((max|\d+)(?:,\d+)?\))?$", type_text)
    name = m.group(1) if m else type_text
    tid, unit = TYPES.get(name, (0, 0))
    if m and m.group(2) == "max":
        return name, -1
    if m and m.group(2) and name in ("char", "varchar", "nchar", "nvarchar", "binary",
                                     "varbinary"):
        return name, int(m.group(2)) * unit
    if name == "sysname":
        return name, 256
    return name, unit


def type_ids(base):
    """(system_type_id, user_type_id) of a type name."""
    tid = TYPES.get(base, (0, 0))[0]
    return tid, ASSEMBLY_TYPES.get(base, tid)


def version_major(text):
    try:
        return int(text.split(".")[0])
    except ValueError:
        return 0


def _rows(names, rows):
    """A view: folded column names, and rows as dicts with bools turned into bits."""
    cols = [fold(n) for n in names]
    out = []
    for r in rows:
        out.append({c: (int(v) if isinstance(v, bool) else v) for c, v in zip(cols, r)})
    return set(cols), out


def has_feature(since, server_version, engine_edition):
    """Whether a server has what SQL Server `since` (a major version) brought: Azure SQL
    Database (5) and Managed Instance (8) report 12 but have the newest catalog."""
    return engine_edition in (5, 8) or version_major(server_version) >= since


def sys_view(name, db, server_version, engine_edition=3):
    """(folded column names, rows) of one catalog view of `db`, or None if there is none."""
    def has(since):
        return has_feature(since, server_version, engine_edition)
    tables = db.tables
    oid = db.object_id
    n = fold(name)
    if n == "schemas":
        return _rows(["schema_id", "name", "principal_id"],
                     [(db.schema_id(s), s, 1) for s in db.all_schemas()])
    if n in ("tables", "objects"):
        names = ["object_id", "name", "schema_id", "type", "type_desc", "is_ms_shipped",
                 "parent_object_id"]
        if n == "tables":
            names += ["is_replicated", "is_merge_published", "is_sync_tran_subscribed",
                      "is_tracked_by_cdc", "lob_data_space_id"]
            if has(12):
                names.append("is_memory_optimized")
            if has(13):
                names += ["temporal_type", "temporal_type_desc", "history_table_id"]
            if has(16):
                names += ["ledger_type", "ledger_type_desc"]
        histories = {}
        for t in tables:
            h = db.table_by_name(t.extra["history_table"]) if t.extra.get("history_table") \
                else None
            if h is not None:
                histories[id(h)] = t
        rows = []
        for t in tables:
            r = [oid(t), t.name, db.schema_id(t.schema), "U", "USER_TABLE", False, 0]
            if n == "tables":
                r += [bool(t.extra.get("replicated")), bool(t.extra.get("merge_published")),
                      bool(t.extra.get("sync_tran_subscribed")), bool(t.extra.get("cdc")), 0]
                if has(12):
                    r.append(bool(t.extra.get("memory_optimized")))
                if has(13):
                    history = db.table_by_name(t.extra["history_table"]) \
                        if t.extra.get("history_table") else None
                    temporal = 1 if id(t) in histories else (
                        2 if t.extra.get("system_versioned") else 0)
                    r += [temporal, ["NON_TEMPORAL_TABLE", "HISTORY_TABLE",
                                     "SYSTEM_VERSIONED_TEMPORAL_TABLE"][temporal],
                          oid(history) if history is not None else None]
                if has(16):
                    kinds = ["NON_LEDGER_TABLE", "HISTORY_TABLE", "UPDATABLE_LEDGER_TABLE",
                             "APPEND_ONLY_LEDGER_TABLE"]
                    kind = t.extra.get("ledger", "NON_LEDGER_TABLE")
                    r += [kinds.index(kind), kind]
            rows.append(r)
        if n == "objects":
            for d in db.dependents:
                kind = d.get("type", "VIEW").upper()
                code = {"VIEW": "V", "SQL_SCALAR_FUNCTION": "FN", "SQL_STORED_PROCEDURE": "P",
                        "SQL_INLINE_TABLE_VALUED_FUNCTION": "IF"}.get(kind, "V")
                rows.append([db.dependent_id(d), d["name"], db.schema_id(d.get("schema", "dbo")),
                             code, kind, False, 0])
            for bid, bname, code, desc in db.bound_objects():
                rows.append([bid, bname, 1, code, desc, False, 0])
        return _rows(names, rows)
    if n == "columns":
        names = ["object_id", "column_id", "name", "system_type_id", "user_type_id",
                 "max_length", "is_nullable", "collation_name", "is_computed", "is_identity",
                 "is_replicated", "is_merge_published", "is_sparse", "is_column_set",
                 "is_rowguidcol", "rule_object_id", "default_object_id"]
        if has(13):
            names.append("encryption_type")
        bound = {fold(b[1]): b[0] for b in db.bound_objects()}
        rows = []
        for t in tables:
            defaults = {fold(d["column"]): db.constraint_id(t, d["name"])
                        for d in t.extra.get("defaults", []) if d.get("column")}
            for k, c in enumerate(t.columns, 1):
                base, size = type_parts(c.type)
                tid, uid = type_ids(base)
                x = c.extra
                r = [oid(t), k, c.name, tid, uid, size, c.nullable,
                     c.collation if base in CHARACTER_TYPES else None,
                     c.computed is not None, bool(c.identity), bool(t.extra.get("replicated")),
                     False, bool(x.get("sparse")), bool(x.get("column_set")),
                     bool(x.get("rowguidcol")), bound.get(fold(x.get("rule") or ""), 0),
                     bound.get(fold(x.get("bound_default") or ""),
                               defaults.get(fold(c.name), 0))]
                if has(13):
                    r.append(1 if x.get("encrypted") else None)
                rows.append(r)
        return _rows(names, rows)
    if n == "types":
        return _rows(["user_type_id", "system_type_id", "name", "is_user_defined",
                      "is_assembly_type"],
                     [(type_ids(name)[1], tid, name, False, name in ASSEMBLY_TYPES)
                      for name, (tid, _) in TYPES.items() if name not in ("sysname", "rowversion")]
                     + [(256, 231, "sysname", False, False)])
    if n in ("indexes", "index_columns", "data_spaces", "partitions", "stats",
             "stats_columns", "filegroups", "allocation_units"):
        return _index_views(n, db)
    if n in ("foreign_keys", "foreign_key_columns"):
        rows = []
        for t in tables:
            for fk in t.extra.get("foreign_keys", []):
                ref = db.table_by_name(fk["references"])
                if ref is None:
                    continue
                fid = db.constraint_id(t, fk["name"])
                if n == "foreign_keys":
                    rows.append([fid, fk["name"], oid(t), oid(ref), "F"])
                else:
                    for k, (pc, rc) in enumerate(zip(fk["columns"], fk["ref_columns"]), 1):
                        rows.append([fid, k, oid(t), t.column_id(pc), oid(ref),
                                     ref.column_id(rc)])
        if n == "foreign_keys":
            return _rows(["object_id", "name", "parent_object_id", "referenced_object_id",
                          "type"], rows)
        return _rows(["constraint_object_id", "constraint_column_id", "parent_object_id",
                      "parent_column_id", "referenced_object_id", "referenced_column_id"],
                     rows)
    if n in ("check_constraints", "default_constraints"):
        key = "checks" if n == "check_constraints" else "defaults"
        rows = []
        for t in tables:
            for c in t.extra.get(key, []):
                col = c.get("column")
                rows.append([db.constraint_id(t, c["name"]), c["name"], oid(t),
                             t.column_id(col) if col else 0, c.get("definition", "")])
        return _rows(["object_id", "name", "parent_object_id", "parent_column_id",
                      "definition"], rows)
    if n == "computed_columns":
        rows = []
        for t in tables:
            for k, c in enumerate(t.columns, 1):
                if c.computed is not None:
                    rows.append([oid(t), k, c.name, c.computed, False])
        return _rows(["object_id", "column_id", "name", "definition", "is_persisted"], rows)
    if n == "fulltext_index_columns":
        return _rows(["object_id", "column_id", "type_column_id", "language_id"],
                     [(oid(t), t.column_id(c), None, 1033) for t in tables
                      for c in t.extra.get("fulltext", [])])
    if n in ("sql_expression_dependencies", "sql_dependencies"):
        rows = []
        for d in db.dependents:
            for ref in d.get("references", []):
                # "schema.table.column", or "schema.table" for the table as a whole
                parts = ref.split(".")
                t = db.table(parts[0], parts[1])
                if t is None:
                    continue
                minor = t.column_id(parts[2]) if len(parts) > 2 else 0
                bound = bool(d.get("schema_bound"))
                if n == "sql_dependencies":
                    rows.append([1 if bound else 0, db.dependent_id(d), 0, oid(t), minor,
                                 True, False, False])
                else:
                    rows.append([db.dependent_id(d), 0, 1, oid(t), minor, bound, parts[1],
                                 parts[0]])
        if n == "sql_dependencies":
            return _rows(["class", "object_id", "column_id", "referenced_major_id",
                          "referenced_minor_id", "is_selected", "is_updated", "is_select_all"],
                         rows)
        return _rows(["referencing_id", "referencing_minor_id", "referencing_class",
                      "referenced_id", "referenced_minor_id", "is_schema_bound_reference",
                      "referenced_entity_name", "referenced_schema_name"], rows)
    if n == "sql_modules":
        return _rows(["object_id", "definition", "is_schema_bound"],
                     [(db.dependent_id(d), d.get("definition", ""), bool(d.get("schema_bound")))
                      for d in db.dependents])
    if n in ("triggers", "trigger_events", "server_triggers", "server_trigger_events"):
        return _trigger_views(n, db)
    if n == "database_files":
        return _rows(["file_id", "type", "type_desc", "name", "size", "max_size", "growth",
                      "is_percent_growth"], [f[:8] for f in database_files(db)])
    return None


# Event groups a DDL trigger may name, as the events they stand for here.
EVENT_GROUPS = {"DDL_TABLE_EVENTS": ["CREATE_TABLE", "ALTER_TABLE", "DROP_TABLE"],
                "DDL_TABLE_VIEW_EVENTS": ["CREATE_TABLE", "ALTER_TABLE", "DROP_TABLE"],
                "DDL_DATABASE_LEVEL_EVENTS": ["CREATE_TABLE", "ALTER_TABLE", "DROP_TABLE"]}


def _trigger_views(n, db):
    """Database DDL triggers: sys.trigger_events lists each event, a group expanded. The
    server's own triggers are none."""
    if n.startswith("server_"):
        return _rows(["object_id", "name", "type", "is_disabled"] if n == "server_triggers"
                     else ["object_id", "type", "type_desc", "event_group_type_desc"], [])
    rows = []
    for k, tr in enumerate(db.extra.get("ddl_triggers", [])):
        tid = db._id(("trigger", k))
        if n == "triggers":
            rows.append([tid, tr["name"], 0, "DATABASE", 0, "TR", "SQL_TRIGGER",
                         bool(tr.get("disabled")), False, False])
            continue
        for event in tr.get("events", []):
            for e in EVENT_GROUPS.get(event.upper(), [event.upper()]):
                rows.append([tid, 0, e, event.upper() if event.upper() in EVENT_GROUPS
                             else None, True])
    if n == "triggers":
        return _rows(["object_id", "name", "parent_class", "parent_class_desc", "parent_id",
                      "type", "type_desc", "is_disabled", "is_instead_of_trigger",
                      "is_ms_shipped"], rows)
    return _rows(["object_id", "type", "type_desc", "event_group_type_desc",
                  "is_trigger_event"], rows)


def database_files(db):
    """The data and log file: id, type, type_desc, name, size, max_size, growth,
    is_percent_growth (sys.database_files) and the pages in use (FILEPROPERTY)."""
    log = db.extra.get("log", {}) or {}
    growth = int(log.get("growth_pages", 128))
    return [(1, 0, "ROWS", db.name, 1024, -1, 128, False, 512),
            (2, 1, "LOG", db.name + "_log", int(log.get("size_pages", 1024)),
             int(log.get("max_size_pages", -1)), growth, False, int(log.get("used_pages", 100)))]


def replication_table(name, db):
    """The replication tables of a publication or subscription database (dbo.syspublications,
    sysarticles, sysmergepublications, sysmergearticles, MSreplication_subscriptions), as the
    scenario's "replication" gives them; None where the database has none of that kind."""
    repl = db.extra.get("replication") or {}
    n = fold(name)
    pubs = [p for p in repl.get("publications", [])
            if (p.get("type", "transactional") == "merge") == n.startswith("sysmerge")]
    if n in ("syspublications", "sysmergepublications", "sysarticles", "sysmergearticles"):
        if not pubs:
            return None
        if n.endswith("publications"):
            return _rows(["pubid", "name", "replicate_ddl", "publisher", "publisher_db"],
                         [(k + 1, p["name"], int(p.get("replicate_ddl", 1)),
                           p.get("publisher", "STANDIN"), p.get("publisher_db", db.name))
                          for k, p in enumerate(pubs)])
        rows = []
        for k, p in enumerate(pubs):
            for a in p.get("articles", []):
                t = db.table_by_name(a)
                if t is not None:
                    rows.append((len(rows) + 1, k + 1, db.object_id(t), t.name))
        return _rows(["artid", "pubid", "objid", "name"], rows)
    if n == "msreplication_subscriptions" and repl.get("subscriptions"):
        return _rows(["publisher", "publisher_db", "publication", "subscription_type"],
                     [(x["publisher"], x["publisher_db"], x["publication"], 0)
                      for x in repl["subscriptions"]])
    return None


def _index_views(n, db):
    oid = db.object_id
    rows = []
    filegroups = [(1, "PRIMARY", False)]
    for t in db.tables:
        fg = t.extra.get("filegroup")
        if fg and not any(f[1] == fg["name"] for f in filegroups):
            filegroups.append((len(filegroups) + 1, fg["name"], bool(fg.get("read_only"))))
    for t in db.tables:
        partitioned = bool(t.extra.get("partitioned"))
        fg = t.extra.get("filegroup")
        space = 65601 if partitioned else next(
            (f[0] for f in filegroups if fg and f[1] == fg["name"]), 1)
        indexes = t.extra.get("indexes", [])
        clustered = any(i.get("primary_key") or i.get("clustered") for i in indexes)
        listed = [] if clustered else [(0, None, "HEAP", False, False, [], [], 0)]
        next_id = 2
        for i in indexes:
            if (i.get("primary_key") or i.get("clustered")) and not any(
                    x[0] == 1 for x in listed):
                iid = 1
            else:
                iid = next_id
                next_id += 1
            kind = "CLUSTERED" if iid == 1 else "NONCLUSTERED"
            cols, incl = i.get("columns", []), i.get("included", [])
            code = 1 if iid == 1 else 2
            if i.get("columnstore"):
                # Every column of a columnstore index is an included one, all for a clustered.
                kind += " COLUMNSTORE"
                code = 5 if iid == 1 else 6
                cols, incl = [], [c.name for c in t.columns] if iid == 1 else cols + incl
            listed.append((iid, i["name"], kind, bool(i.get("primary_key")),
                           bool(i.get("unique_constraint")), cols, incl, code))
        if n == "indexes":
            for iid, name, kind, pk, uq, _, _, code in listed:
                rows.append([oid(t), name, iid, 0 if iid == 0 else code, kind,
                             pk or uq, pk, uq, space, False])
        elif n == "index_columns":
            part = t.extra.get("partition_column") if partitioned else None
            for iid, _, _, _, _, cols, incl, _ in listed:
                named = cols + incl
                if part and iid in (0, 1) and t.column_id(part) not in [
                        t.column_id(c) for c in named]:
                    named = named + [part]
                for k, c in enumerate(named, 1):
                    rows.append([oid(t), iid, k, t.column_id(c), k if c in cols else 0,
                                 c in incl, 1 if part and iid in (0, 1) and
                                 t.column_id(c) == t.column_id(part) else 0])
        elif n in ("partitions", "allocation_units"):
            count = int(t.extra.get("partition_count", 2 if partitioned else 1))
            for iid, *_ in listed:
                for p in range(1, count + 1):
                    share = t.rows // count + (1 if p <= t.rows % count else 0)
                    pid = oid(t) * 100 + iid * 10 + p
                    if n == "partitions":
                        rows.append([pid, pid, oid(t), iid, p, share])
                    else:
                        pages = int(t.extra.get("used_pages", 1)) // count if iid < 2 else 1
                        rows.append([pid, 1, "IN_ROW_DATA", pid, space, pages, pages])
        elif n in ("stats", "stats_columns"):
            stats = [(iid, name, False, False, cols) for iid, name, _, _, _, cols, _, _ in listed
                     if iid > 0]
            stats += [(1000 + k, s["name"], bool(s.get("auto_created")),
                       not s.get("auto_created"), s.get("columns", []))
                      for k, s in enumerate(t.extra.get("statistics", []))]
            for sid, name, auto, user, cols in stats:
                if n == "stats":
                    rows.append([oid(t), name, sid, auto, user, False])
                else:
                    for k, c in enumerate(cols, 1):
                        rows.append([oid(t), sid, k, t.column_id(c)])
    if n == "indexes":
        return _rows(["object_id", "name", "index_id", "type", "type_desc", "is_unique",
                      "is_primary_key", "is_unique_constraint", "data_space_id", "has_filter"],
                     rows)
    if n == "index_columns":
        return _rows(["object_id", "index_id", "index_column_id", "column_id",
                      "key_ordinal", "is_included_column", "partition_ordinal"], rows)
    if n == "partitions":
        return _rows(["partition_id", "hobt_id", "object_id", "index_id", "partition_number",
                      "rows"], rows)
    if n == "allocation_units":
        return _rows(["allocation_unit_id", "type", "type_desc", "container_id",
                      "data_space_id", "total_pages", "used_pages"], rows)
    if n == "stats":
        return _rows(["object_id", "name", "stats_id", "auto_created", "user_created",
                      "has_filter"], rows)
    if n == "stats_columns":
        return _rows(["object_id", "stats_id", "stats_column_id", "column_id"], rows)
    if n == "filegroups":
        return _rows(["data_space_id", "name", "type", "type_desc", "is_read_only"],
                     [(f[0], f[1], "FG", "ROWS_FILEGROUP", f[2]) for f in filegroups])
    return _rows(["data_space_id", "name", "type", "type_desc"],
                 [(f[0], f[1], "FG", "ROWS_FILEGROUP") for f in filegroups]
                 + [(65601, "ps_kivo", "PS", "PARTITION_SCHEME")])


def quotename(text):
    if text is None or len(text) > 128:
        return None
    return "[" + text.replace("]", "]]") + "]"


def data_rows(table):
    """The table's rows, from the scenario's per-column value lists; char(n) and nchar(n)
    values come back padded with blanks to n, as SQL Server stores them."""
    data = table.extra.get("data", {}) or {}
    count = max([len(v) for v in data.values()] + [0])
    cols = [fold(c.name) for c in table.columns]
    fixed = {}
    for c in table.columns:
        m = re.match(r"n?char\((\d+)\)$", c.type)
        if m:
            fixed[fold(c.name)] = int(m.group(1))
    rows = []
    for k in range(count):
        row = {c: None for c in cols}
        for name, values in data.items():
            if k < len(values):
                v = values[k]
                width = fixed.get(fold(name))
                row[fold(name)] = v.ljust(width) if width and isinstance(v, str) else v
        rows.append(row)
    return set(cols), rows


def datalength(value, type_hint="nvarchar"):
    if value is None:
        return None
    if isinstance(value, str):
        return len(value.encode("utf-16-le")) if type_hint.startswith("n") else len(value)
    return 4
