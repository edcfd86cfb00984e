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

A select whose list holds an aggregate gives one row over all rows that pass
WHERE (there is no GROUP BY). Comparisons of text ignore case, as the
catalog's collation does; NULL compares as unknown.

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
              "AS", "IN", "IS", "NOT", "ALL"}


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
    return any(has_aggregate(x) for x in e[1:] if isinstance(x, tuple)) or \
        any(has_aggregate(x) for x in (e[2] if e[0] == "call" else []))


# ---------------------------------------------------------------------------
# Evaluation


def _norm(v):
    return fold(v) if isinstance(v, str) else v


def _coerce(a, b):
    """Both sides of a comparison in one type, as SQL Server converts them."""
    if isinstance(a, str) and isinstance(b, (int, float)):
        try:
            return float(a), b
        except ValueError:
            raise CatalogError(245, 16, 1, "Conversion failed when converting the nvarchar "
                               "value '%s' to data type int." % a)
    if isinstance(b, str) and isinstance(a, (int, float)):
        x, y = _coerce(b, a)
        return y, x
    return _norm(a), _norm(b)


def _compare(o, a, b):
    if a is None or b is None:
        return None
    a, b = _coerce(a, b)
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
            return _compare(c[1], self._value(c[2], env, scope), self._value(c[3], env, scope))
        if k == "in":
            v = self._value(c[1], env, scope)
            if v is None:
                return None
            hits = [_compare("=", v, self._value(x, env, scope)) for x in c[2]]
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
}
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


def sys_view(name, db, server_version):
    """(folded column names, rows) of one catalog view of `db`, or None if there is none."""
    major = version_major(server_version)
    tables = db.tables
    oid = db.object_id
    n = fold(name)
    if n == "schemas":
        return _rows(["schema_id", "name", "principal_id"],
                     [(db.schema_id(s), s, 1) for s in db.all_schemas()])
    if n in ("tables", "objects"):
        names = ["object_id", "name", "schema_id", "type", "type_desc", "is_ms_shipped"]
        if n == "tables":
            names += ["is_replicated", "is_merge_published", "is_sync_tran_subscribed",
                      "lob_data_space_id"]
            if major >= 12:
                names.append("is_memory_optimized")
            if major >= 13:
                names += ["temporal_type", "temporal_type_desc", "history_table_id"]
        rows = []
        for t in tables:
            r = [oid(t), t.name, db.schema_id(t.schema), "U", "USER_TABLE", False]
            if n == "tables":
                r += [bool(t.extra.get("replicated")), bool(t.extra.get("merge_published")),
                      False, 0]
                if major >= 12:
                    r.append(bool(t.extra.get("memory_optimized")))
                if major >= 13:
                    temporal = 2 if t.extra.get("system_versioned") else 0
                    r += [temporal, "SYSTEM_VERSIONED_TEMPORAL_TABLE" if temporal else
                          "NON_TEMPORAL_TABLE", None]
            rows.append(r)
        if n == "objects":
            for d in db.dependents:
                kind = d.get("type", "VIEW").upper()
                code = {"VIEW": "V", "SQL_SCALAR_FUNCTION": "FN", "SQL_STORED_PROCEDURE": "P",
                        "SQL_INLINE_TABLE_VALUED_FUNCTION": "IF"}.get(kind, "V")
                rows.append([db.dependent_id(d), d["name"], db.schema_id(d.get("schema", "dbo")),
                             code, kind, False])
        return _rows(names, rows)
    if n == "columns":
        rows = []
        for t in tables:
            for k, c in enumerate(t.columns, 1):
                base, size = type_parts(c.type)
                tid = TYPES.get(base, (0, 0))[0]
                rows.append([oid(t), k, c.name, tid, tid, size, c.nullable,
                             c.collation if base in CHARACTER_TYPES else None,
                             c.computed is not None, bool(c.identity),
                             bool(t.extra.get("replicated")), False])
        return _rows(["object_id", "column_id", "name", "system_type_id", "user_type_id",
                      "max_length", "is_nullable", "collation_name", "is_computed",
                      "is_identity", "is_replicated", "is_merge_published"], rows)
    if n == "types":
        return _rows(["user_type_id", "system_type_id", "name", "is_user_defined"],
                     [(tid, tid, name, False) for name, (tid, _) in TYPES.items()
                      if name != "sysname"] + [(256, 231, "sysname", False)])
    if n in ("indexes", "index_columns", "data_spaces", "partitions", "stats",
             "stats_columns"):
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
    if n == "sql_expression_dependencies":
        rows = []
        for d in db.dependents:
            for ref in d.get("references", []):
                # "schema.table.column", or "schema.table" for the table as a whole
                parts = ref.split(".")
                t = db.table(parts[0], parts[1])
                if t is None:
                    continue
                minor = t.column_id(parts[2]) if len(parts) > 2 else 0
                rows.append([db.dependent_id(d), 0, 1, oid(t), minor,
                             bool(d.get("schema_bound")), parts[1], parts[0]])
        return _rows(["referencing_id", "referencing_minor_id", "referencing_class",
                      "referenced_id", "referenced_minor_id", "is_schema_bound_reference",
                      "referenced_entity_name", "referenced_schema_name"], rows)
    return None


def _index_views(n, db):
    oid = db.object_id
    rows = []
    for t in db.tables:
        partitioned = bool(t.extra.get("partitioned"))
        space = 65601 if partitioned else 1
        indexes = t.extra.get("indexes", [])
        clustered = any(i.get("primary_key") or i.get("clustered") for i in indexes)
        listed = [] if clustered else [(0, None, "HEAP", False, False, [], [])]
        next_id = 2
        for i in indexes:
            if (i.get("primary_key") or i.get("clustered")) and not any(
                    x[0] == 1 for x in listed):
                iid = 1
            else:
                iid = next_id
                next_id += 1
            listed.append((iid, i["name"], "CLUSTERED" if iid == 1 else "NONCLUSTERED",
                           bool(i.get("primary_key")), bool(i.get("unique_constraint")),
                           i.get("columns", []), i.get("included", [])))
        if n == "indexes":
            for iid, name, kind, pk, uq, _, _ in listed:
                rows.append([oid(t), name, iid, 0 if iid == 0 else (1 if iid == 1 else 2), kind,
                             pk or uq, pk, uq, space, False])
        elif n == "index_columns":
            for iid, _, _, _, _, cols, incl in listed:
                for k, c in enumerate(cols + incl, 1):
                    rows.append([oid(t), iid, k, t.column_id(c), k if c in cols else 0,
                                 c in incl])
        elif n == "partitions":
            count = int(t.extra.get("partition_count", 2 if partitioned else 1))
            for iid, *_ in listed:
                for p in range(1, count + 1):
                    share = t.rows // count + (1 if p <= t.rows % count else 0)
                    rows.append([oid(t) * 100 + iid * 10 + p, oid(t), iid, p, share])
        elif n in ("stats", "stats_columns"):
            stats = [(iid, name, False, False, cols) for iid, name, _, _, _, cols, _ in listed
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
                      "key_ordinal", "is_included_column"], rows)
    if n == "partitions":
        return _rows(["partition_id", "object_id", "index_id", "partition_number", "rows"], rows)
    if n == "stats":
        return _rows(["object_id", "name", "stats_id", "auto_created", "user_created",
                      "has_filter"], rows)
    if n == "stats_columns":
        return _rows(["object_id", "stats_id", "stats_column_id", "column_id"], rows)
    return _rows(["data_space_id", "name", "type", "type_desc"],
                 [(1, "PRIMARY", "FG", "ROWS_FILEGROUP"),
                  (65601, "ps_kivo", "PS", "PARTITION_SCHEME")])


def quotename(text):
    if text is None or len(text) > 128:
        return None
    return "[" + text.replace("]", "]]") + "]"


def data_rows(table):
    """The table's rows, from the scenario's per-column value lists."""
    data = table.extra.get("data", {}) or {}
    count = max([len(v) for v in data.values()] + [0])
    cols = [fold(c.name) for c in table.columns]
    rows = []
    for k in range(count):
        row = {c: None for c in cols}
        for name, values in data.items():
            if k < len(values):
                row[fold(name)] = values[k]
        rows.append(row)
    return set(cols), rows


def datalength(value, type_hint="nvarchar"):
    if value is None:
        return None
    if isinstance(value, str):
        return len(value.encode("utf-16-le")) if type_hint.startswith("n") else len(value)
    return 4
