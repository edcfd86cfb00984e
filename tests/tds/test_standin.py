"""Tests of the SQL Server stand-in, through the real FreeTDS driver.

Run: cd tests/tds && /usr/bin/python3 -m unittest -v test_standin
They use unixODBC's libodbc.so.2 through ctypes (odbc_probe.py), isql and
tsql, and a raw socket where the driver cannot be made to send something.
"""

import copy
import json
import os
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import odbc_probe as odbc
import standin_process
from standin_process import PYTHON, SCRIPT

SCENARIO = {
    "databases": [
        {"name": "KivoDB", "schemas": ["CHXD", "MD"],
         "tables": [
             {"schema": "CHXD", "name": "T2011", "rows": 3,
              "columns": [{"name": "i13", "type": "varchar(50)", "nullable": False},
                          {"name": "i15", "type": "varchar(50)"}]},
             {"schema": "CHXD", "name": "TPRICE",
              "columns": [{"name": "i13", "type": "varchar(50)"},
                          {"name": "i15", "type": "varchar(50)"}],
              "indexes": [{"name": "IX_TPRICE_i15", "columns": ["i15"]},
                          {"name": "IX_TPRICE_i13_i15", "columns": ["i13", "i15"]}]},
             {"schema": "CHXD", "name": "CustomerContact", "rows": 7,
              "columns": [{"name": "ID", "type": "int", "nullable": False},
                          {"name": "N", "type": "varchar(50)"},
                          {"name": "Address", "type": "varchar(100)"}]},
             {"schema": "MD", "name": "Customer", "rows": 2, "not_alterable": ["limited"],
              "columns": [{"name": "N", "type": "varchar(50)"},
                          {"name": "Address", "type": "varchar(100)"}]},
             {"schema": "dbo", "name": "Plain", "columns": [{"name": "c", "type": "int"}]},
         ]},
        {"name": "Other", "tables": []},
    ],
    "logins": [
        {"name": "sa", "password": "pw", "default_database": "KivoDB"},
        {"name": "limited", "password": "Secret;1", "default_database": "KivoDB",
         "may_create_tables": False},
        {"name": "nodb", "password": "pw", "databases": ["Other"]},
    ],
}

HISTORY_CC = ("SELECT  CustomerContact.*, Cast(Null as Bigint) As ChangeU, "
              "Cast (Null as Bigint) As ChangeD INTO CHXD.CustomerContact_HIST "
              "FROM CHXD.CustomerContact;")


def scenario(**faults):
    s = copy.deepcopy(SCENARIO)
    s["faults"] = faults
    return s


class StandIn(standin_process.StandIn):
    """The stand-in with its log on, and its catalog read back from the record."""

    def __init__(self, scen):
        super().__init__(scen, verbose=True)

    def table(self, schema, name, db="KivoDB"):
        recs = self.records()
        dbs = recs[-1]["catalog"]["databases"] if recs else None
        for d in dbs or []:
            if d["name"] == db:
                for t in d["tables"]:
                    if t["schema"].lower() == schema.lower() and t["name"].lower() == name.lower():
                        return t
        return None

    def column(self, schema, name, col):
        t = self.table(schema, name)
        for c in (t or {}).get("columns", []):
            if c["name"].lower() == col.lower():
                return c
        return None


class ServerCase(unittest.TestCase):
    faults = {}

    def setUp(self):
        self.server = StandIn(scenario(**self.faults))
        self.addCleanup(self.server.stop)

    def connect(self, **kw):
        c = odbc.Connection()
        self.addCleanup(c.close)
        r = c.connect(self.server.conn_str(**kw))
        self.assertIn(r.rc, (odbc.SQL_SUCCESS, odbc.SQL_SUCCESS_WITH_INFO),
                      "%r\n%s" % (r, self.server.log()))
        return c

    def raw(self):
        r = RawClient(self.server.port)
        self.addCleanup(r.close)
        return r

    def tsql(self, script, user="sa", pw="pw", db="KivoDB"):
        p = subprocess.run(["tsql", "-H", "127.0.0.1", "-p", str(self.server.port), "-U", user,
                            "-P", pw, "-D", db], input=script, capture_output=True, text=True,
                           timeout=30)
        return p.stdout + p.stderr

    def isql(self, script, extra=()):
        p = subprocess.run(["isql", "-v", "-b", *extra, "-k", self.server.conn_str()], input=script,
                           capture_output=True, text=True, timeout=30)
        return p.stdout + p.stderr


PREFIX = "[FreeTDS][SQL Server]"


# ---------------------------------------------------------------------------


class LoginTest(ServerCase):
    def test_login_ok_gets_no_error_records(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        r = c.connect(self.server.conn_str())
        # The server sends INFO 5701 and 5703; FreeTDS keeps them to itself.
        self.assertEqual(r.rc, odbc.SQL_SUCCESS, r)
        self.assertEqual(r.diags, [])
        self.assertEqual(c.execute("select db_name(), suser_sname()").rows, [["KivoDB", "sa"]])
        self.assertIn("login user='sa'", self.server.log())

    def test_login_names_are_case_insensitive_passwords_are_not(self):
        self.connect(user="SA")
        c = odbc.Connection()
        self.addCleanup(c.close)
        self.assertEqual(c.connect(self.server.conn_str(pw="PW")).rc, odbc.SQL_ERROR)

    def test_default_database_when_none_is_named(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        cs = self.server.conn_str().replace("DATABASE=KivoDB;", "")
        self.assertEqual(c.connect(cs).rc, odbc.SQL_SUCCESS)
        self.assertEqual(c.execute("select db_name()").rows, [["KivoDB"]])

    def test_wrong_password(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        r = c.connect(self.server.conn_str(pw="bad"))
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertEqual((r.diags[0].state, r.diags[0].native, r.diags[0].text),
                         ("42000", 18456, PREFIX + "Login failed for user 'sa'."))
        self.assertEqual(r.diags[-1].state, "08001")

    def test_unknown_login(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        r = c.connect(self.server.conn_str(user="ghost"))
        self.assertEqual(r.natives()[0], 18456)
        self.assertEqual(r.diags[0].text, PREFIX + "Login failed for user 'ghost'.")

    def test_missing_database_gives_4060_and_18456(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        r = c.connect(self.server.conn_str(db="NoSuchDb"))
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        texts = {d.native: d.text for d in r.diags}
        self.assertEqual(texts[4060], PREFIX + 'Cannot open database "NoSuchDb" requested by the '
                         "login. The login failed.")
        self.assertEqual(texts[18456], PREFIX + "Login failed for user 'sa'.")

    def test_database_the_login_may_not_open(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        r = c.connect(self.server.conn_str(user="nodb", db="KivoDB"))
        self.assertIn(4060, r.natives())
        self.connect(user="nodb", db="Other")

    def test_password_with_semicolon_in_braces(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        r = c.connect(self.server.conn_str(user="limited", pw="{Secret;1}"))
        self.assertEqual(r.rc, odbc.SQL_SUCCESS, r)

    def test_severities_and_states_as_tsql_shows_them(self):
        out = self.tsql("select 1\ngo\n", pw="bad")
        self.assertIn("Msg 18456 (severity 14, state 1)", out)
        out = self.tsql("select 1\ngo\n", db="NoSuchDb")
        self.assertIn("Msg 4060 (severity 11, state 1)", out)
        self.assertIn("Msg 18456 (severity 14, state 1)", out)

    def test_trusted_connection_fails_without_hanging(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        t = time.monotonic()
        cs = self.server.conn_str().replace("UID=sa;PWD=pw;", "Trusted_Connection=Yes;")
        r = c.connect(cs)
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertLess(time.monotonic() - t, 20)

    def test_integrated_security_login_gets_18452(self):
        raw = self.raw()
        tokens = raw.login("sa", "pw", "KivoDB", sspi=True)
        self.assertEqual(tokens_errors(tokens), [(18452, 14, 1, "Login failed. The login is from "
                                                  "an untrusted domain and cannot be used with "
                                                  "Windows authentication.")])


class RefusedLoginTest(ServerCase):
    faults = {"refuse_logins": True}

    def test_every_login_is_refused(self):
        c = odbc.Connection()
        self.addCleanup(c.close)
        r = c.connect(self.server.conn_str())
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertEqual(r.natives()[0], 18456)
        self.assertEqual(self.server.records(), [])


class LoginTokensTest(ServerCase):
    def test_what_a_successful_login_answers(self):
        tokens = self.raw().login("sa", "pw", "KivoDB")
        kinds = [t[0] for t in tokens]
        self.assertEqual(kinds, ["ENVCHANGE", "INFO", "ENVCHANGE", "ENVCHANGE", "INFO",
                                 "LOGINACK", "ENVCHANGE", "DONE"])
        self.assertEqual(tokens[0][1], (1, "KivoDB", "master"))
        self.assertEqual(tokens[1][1], (5701, 0, 2, "Changed database context to 'KivoDB'."))
        self.assertEqual(tokens[2][1][0], 7)
        self.assertEqual(tokens[3][1], (2, "us_english", ""))
        self.assertEqual(tokens[4][1], (5703, 0, 1, "Changed language setting to us_english."))
        self.assertEqual(tokens[5][1][:2], (1, bytes([0x74, 0, 0, 4])))
        self.assertEqual(tokens[6][1], (4, "4096", "4096"))

    def test_attention_when_idle_is_answered_with_done_attn(self):
        raw = self.raw()
        raw.login("sa", "pw", "KivoDB")
        raw.send(0x06, b"")
        tokens = raw.read_tokens()
        self.assertEqual(tokens, [("DONE", (0x20, 0, 0))])
        raw.send(0x01, all_headers() + "select 7".encode("utf-16-le"))
        self.assertEqual(raw.read_tokens()[-1], ("DONE", (0x10, 0xC1, 1)))

    def test_batch_over_several_packets(self):
        raw = self.raw()
        raw.login("sa", "pw", "KivoDB")
        text = "".join("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(%d); " % n
                       for n in range(100, 220))
        raw.send(0x01, all_headers() + text.encode("utf-16-le"), packet_size=512)
        tokens = raw.read_tokens()
        self.assertEqual(len([t for t in tokens if t[0] == "DONE"]), 120)
        self.assertEqual(self.server.batches(), [text])
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "nvarchar(219)")


class ErrorTest(ServerCase):
    def run1(self, sql):
        c = self.connect()
        return c.execute(sql)

    def assertOnlyError(self, r, state, native, text):
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertEqual([(d.state, d.native, d.text) for d in r.diags],
                         [(state, native, PREFIX + text)])

    def test_4902_missing_table_name_as_written(self):
        r = self.run1("ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); ")
        self.assertOnlyError(r, "42000", 4902, 'Cannot find the object "CHXD.T_HIST" because it '
                             "does not exist or you do not have permissions.")

    def test_4902_table_the_login_may_not_alter(self):
        c = self.connect(user="limited", pw="{Secret;1}")
        r = c.execute("ALTER TABLE MD.Customer ALTER COLUMN N nvarchar(250); ")
        self.assertOnlyError(r, "42000", 4902, 'Cannot find the object "MD.Customer" because it '
                             "does not exist or you do not have permissions.")
        self.assertEqual(self.server.column("MD", "Customer", "N")["type"], "varchar(50)")
        # sa may.
        self.assertEqual(self.connect().execute("ALTER TABLE MD.Customer ALTER COLUMN N "
                                                "nvarchar(250);").rc, odbc.SQL_NO_DATA)

    def test_4924_missing_column(self):
        r = self.run1("ALTER TABLE CHXD.T2011 ALTER COLUMN i99 nvarchar(250); ")
        self.assertOnlyError(r, "42S22", 4924, "ALTER TABLE ALTER COLUMN failed because column "
                             "'i99' does not exist in table 'T2011'.")

    def test_5074_for_each_index_then_4922_and_column_unchanged(self):
        r = self.run1("ALTER TABLE CHXD.TPRICE ALTER COLUMN i15 nvarchar(250); ")
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertEqual([(d.state, d.native, d.text) for d in r.diags], [
            ("42000", 5074, PREFIX + "The index 'IX_TPRICE_i15' is dependent on column 'i15'."),
            ("42000", 5074, PREFIX + "The index 'IX_TPRICE_i13_i15' is dependent on column "
             "'i15'."),
            ("42000", 4922, PREFIX + "ALTER TABLE ALTER COLUMN i15 failed because one or more "
             "objects access this column."),
        ])
        self.assertEqual(self.server.column("CHXD", "TPRICE", "i15")["type"], "varchar(50)")

    def test_2714_history_table_exists(self):
        c = self.connect()
        self.assertEqual(c.execute(HISTORY_CC).rc, odbc.SQL_SUCCESS)
        r = c.execute(HISTORY_CC.replace("_HIST", "_hist"))
        self.assertOnlyError(r, "42S01", 2714, "There is already an object named "
                             "'CustomerContact_hist' in the database.")

    def test_208_missing_base_table(self):
        r = self.run1("SELECT  Customer.*, Cast(Null as Bigint) As ChangeU, Cast (Null as Bigint) "
                      "As ChangeD INTO CHXD.Customer_Hist FROM CHXD.Customer;")
        self.assertOnlyError(r, "42S02", 208, "Invalid object name 'CHXD.Customer'.")
        self.assertIsNone(self.server.table("CHXD", "Customer_Hist"))

    def test_262_login_without_create_permission(self):
        c = self.connect(user="limited", pw="{Secret;1}")
        r = c.execute(HISTORY_CC)
        self.assertOnlyError(r, "42000", 262, "CREATE TABLE permission denied in database "
                             "'KivoDB'.")
        self.assertIsNone(self.server.table("CHXD", "CustomerContact_HIST"))

    def test_numbers_severities_and_states_as_tsql_shows_them(self):
        out = self.tsql(
            "ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); \ngo\n"
            "ALTER TABLE CHXD.T2011 ALTER COLUMN i99 nvarchar(250);\ngo\n"
            "ALTER TABLE CHXD.TPRICE ALTER COLUMN i13 nvarchar(250);\ngo\n"
            + HISTORY_CC + "\ngo\n" + HISTORY_CC + "\ngo\n"
            "SELECT  * INTO CHXD.X FROM CHXD.Customer;\ngo\n")
        for expected in [
                "Msg 4902 (severity 16, state 1) from STANDIN Line 1:\n\t\"Cannot find the object "
                "\"CHXD.T_HIST\" because it does not exist or you do not have permissions.\"",
                "Msg 4924 (severity 16, state 1) from STANDIN Line 1:\n\t\"ALTER TABLE ALTER "
                "COLUMN failed because column 'i99' does not exist in table 'T2011'.\"",
                "Msg 5074 (severity 16, state 1) from STANDIN Line 1:\n\t\"The index "
                "'IX_TPRICE_i13_i15' is dependent on column 'i13'.\"",
                "Msg 4922 (severity 16, state 9) from STANDIN Line 1:\n\t\"ALTER TABLE ALTER "
                "COLUMN i13 failed because one or more objects access this column.\"",
                "Msg 2714 (severity 16, state 6) from STANDIN Line 1:\n\t\"There is already an "
                "object named 'CustomerContact_HIST' in the database.\"",
                "Msg 208 (severity 16, state 1) from STANDIN Line 1:\n\t\"Invalid object name "
                "'CHXD.Customer'.\""]:
            self.assertIn(expected, out)
        out = self.tsql(HISTORY_CC + "\ngo\n", user="limited", pw="Secret;1")
        self.assertIn("Msg 262 (severity 14, state 1)", out)

    def test_syntax_error_runs_nothing_of_the_batch(self):
        c = self.connect()
        r = c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250); ALTER TABEL x")
        self.assertEqual(r.natives(), [102])
        self.assertEqual(r.diags[0].text, PREFIX + "Incorrect syntax near 'TABEL'.")
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "varchar(50)")

    def test_line_numbers_of_statements_in_a_batch(self):
        out = self.tsql("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250);\n"
                        "ALTER TABLE CHXD.Nope ALTER COLUMN i15 nvarchar(250);\ngo\n")
        self.assertIn("Msg 4902 (severity 16, state 1) from STANDIN Line 2:", out)


class AlterAndSelectIntoTest(ServerCase):
    def test_alter_changes_type_and_makes_nullable(self):
        c = self.connect()
        self.assertEqual(c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ").rc,
                         odbc.SQL_NO_DATA)
        self.assertEqual(self.server.column("CHXD", "T2011", "i13"),
                         {"name": "i13", "type": "nvarchar(250)", "nullable": True})

    def test_alter_not_null_and_spelling_of_types(self):
        c = self.connect()
        c.execute("ALTER TABLE [CHXD].[t2011] ALTER COLUMN [I15] NVARCHAR ( MAX ) NOT NULL")
        self.assertEqual(self.server.column("CHXD", "T2011", "i15"),
                         {"name": "i15", "type": "nvarchar(max)", "nullable": False})

    def test_unqualified_names_use_dbo(self):
        c = self.connect()
        self.assertEqual(c.execute("ALTER TABLE plain ALTER COLUMN c bigint").rc, odbc.SQL_NO_DATA)
        self.assertEqual(self.server.column("dbo", "Plain", "c")["type"], "bigint")
        self.assertEqual(c.execute("ALTER TABLE KivoDB.dbo.Plain ALTER COLUMN c int").rc,
                         odbc.SQL_NO_DATA)
        self.assertEqual(c.execute("ALTER TABLE KivoDB..Plain ALTER COLUMN c int").rc,
                         odbc.SQL_NO_DATA)

    def test_select_into_creates_history_table(self):
        c = self.connect()
        r = c.execute(HISTORY_CC)
        self.assertEqual(r.rc, odbc.SQL_SUCCESS)
        self.assertEqual(r.rowcount, 7)
        t = self.server.table("CHXD", "CustomerContact_HIST")
        self.assertEqual(t["name"], "CustomerContact_HIST")
        self.assertEqual(t["rows"], 7)
        self.assertEqual(t["indexes"], [])
        self.assertEqual(t["columns"], [
            {"name": "ID", "type": "int", "nullable": False},
            {"name": "N", "type": "varchar(50)", "nullable": True},
            {"name": "Address", "type": "varchar(100)", "nullable": True},
            {"name": "ChangeU", "type": "bigint", "nullable": True},
            {"name": "ChangeD", "type": "bigint", "nullable": True},
        ])

    def test_names_are_case_insensitive_and_keep_their_creation_case(self):
        c = self.connect()
        c.execute(HISTORY_CC)
        r = c.execute("ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN N nvarchar(250); ")
        self.assertEqual(r.rc, odbc.SQL_NO_DATA, r)
        r = c.execute("ALTER TABLE chxd.CUSTOMERCONTACT_hist ALTER COLUMN address nvarchar(250);")
        self.assertEqual(r.rc, odbc.SQL_NO_DATA, r)
        t = self.server.table("CHXD", "CustomerContact_HIST")
        self.assertEqual(t["name"], "CustomerContact_HIST")
        self.assertEqual([(x["name"], x["type"]) for x in t["columns"][1:3]],
                         [("N", "nvarchar(250)"), ("Address", "nvarchar(250)")])

    def test_select_into_other_forms(self):
        c = self.connect()
        self.assertEqual(c.execute("select * into CHXD.Copy1 from CHXD.T2011 t").rc,
                         odbc.SQL_SUCCESS)
        self.assertEqual([x["name"] for x in self.server.table("CHXD", "Copy1")["columns"]],
                         ["i13", "i15"])
        r = c.execute("select x.* into CHXD.Copy2 from CHXD.T2011 t")
        self.assertEqual(r.natives(), [107])
        r = c.execute("select i13 as a, i13 as A into CHXD.Copy3 from CHXD.T2011")
        self.assertEqual(r.natives(), [2705])
        r = c.execute("select * into NoSchema.Copy4 from CHXD.T2011")
        self.assertEqual(r.natives(), [2760])


class BatchTest(ServerCase):
    def test_other_errors_end_only_their_statement(self):
        out = self.tsql("ALTER TABLE CHXD.T_HIST ALTER COLUMN i13 nvarchar(250); "
                        "ALTER TABLE CHXD.T2011 ALTER COLUMN i99 nvarchar(250); "
                        "ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250);\ngo\n")
        self.assertIn("Msg 4902", out)
        self.assertIn("Msg 4924", out)
        self.assertEqual(self.server.column("CHXD", "T2011", "i13")["type"], "nvarchar(250)")
        self.assertEqual(self.server.records()[-1]["errors"], [4902, 4924])

    def test_208_ends_the_rest_of_its_batch(self):
        out = self.tsql("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); "
                        "SELECT * INTO CHXD.H FROM CHXD.Missing; "
                        "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250); "
                        "ALTER TABLE CHXD.Nope ALTER COLUMN i15 nvarchar(250);\ngo\n")
        self.assertIn("Msg 208", out)
        self.assertNotIn("Msg 4902", out)
        self.assertEqual(self.server.column("CHXD", "T2011", "i13")["type"], "nvarchar(250)")
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "varchar(50)")
        self.assertEqual(self.server.records()[-1]["errors"], [208])

    def test_odbc_sees_the_first_failing_statement_and_the_next_request_works(self):
        c = self.connect()
        r = c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); "
                      "ALTER TABLE CHXD.TPRICE ALTER COLUMN i15 nvarchar(250); "
                      "ALTER TABLE CHXD.Nope ALTER COLUMN i15 nvarchar(250); "
                      "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250);")
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertEqual(r.natives(), [5074, 5074, 4922])
        # The server ran the whole batch; freeing the statement sent an attention.
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "nvarchar(250)")
        self.assertEqual(self.server.records()[-1]["errors"], [5074, 5074, 4922, 4902])
        self.assertEqual(c.execute("select 42").rows, [["42"]])

    def test_xact_abort_on_ends_the_batch_at_any_error(self):
        c = self.connect()
        c.execute("SET XACT_ABORT ON")
        c.execute("ALTER TABLE CHXD.Nope ALTER COLUMN i15 nvarchar(250); "
                  "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250);")
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "varchar(50)")


class SessionTest(ServerCase):
    """SET options and truncation (locks and invisible tables: the e2e tests)."""

    def setUp(self):
        scen = scenario()
        scen["databases"][0]["tables"][0]["data"] = {"i15": ["x" * 30]}
        self.server = StandIn(scen)
        self.addCleanup(self.server.stop)

    def test_options_are_recorded_and_a_shorter_type_truncates_only_without_ansi_warnings(self):
        c = self.connect()
        shrink = "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 varchar(20);"
        self.assertEqual(c.execute(shrink).natives(), [8152])
        for sql in ("SET ANSI_WARNINGS OFF;", "SET IMPLICIT_TRANSACTIONS ON;",
                    "SET LOCK_TIMEOUT 100;"):
            self.assertEqual(c.execute(sql).natives(), [])
        self.assertEqual(c.execute(shrink).rc, odbc.SQL_NO_DATA)
        self.assertEqual(self.server.records()[-1]["session"],
                         {"ansi_warnings": False, "implicit_transactions": True,
                          "xact_abort": False, "lock_timeout": 100})
        self.assertEqual(c.execute("SELECT i15 FROM CHXD.T2011").rows, [["x" * 20]])


class RecordTest(ServerCase):
    def test_record_holds_exact_texts_and_catalog_after_each_batch(self):
        c = self.connect()
        first = "ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); "
        second = "ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); "
        c.execute("SET TEXTSIZE 2147483647")
        c.execute("select @@version")
        c.execute(first)
        c.execute(second)
        c.execute(HISTORY_CC)
        recs = self.server.records()
        self.assertEqual([r["batch"] for r in recs],
                         ["SET TEXTSIZE 2147483647", "select @@version", first, second,
                          HISTORY_CC])
        self.assertEqual([r["housekeeping"] for r in recs], [True, True, False, False, False])
        self.assertEqual(self.server.batches(), [first, second, HISTORY_CC])
        self.assertEqual([r["errors"] for r in recs], [[], [], [], [4902], []])
        self.assertEqual([r["seq"] for r in recs], [1, 2, 3, 4, 5])
        self.assertTrue(all(r["login"] == "sa" and r["database"] == "KivoDB" for r in recs))

        def i13(rec):
            db = rec["catalog"]["databases"][0]
            return [t for t in db["tables"] if t["name"] == "T2011"][0]["columns"][0]["type"]

        self.assertEqual([i13(r) for r in recs],
                         ["varchar(50)", "varchar(50)", "nvarchar(250)", "nvarchar(250)",
                          "nvarchar(250)"])
        names = [[t["name"] for t in r["catalog"]["databases"][0]["tables"]] for r in recs]
        self.assertNotIn("CustomerContact_HIST", names[3])
        self.assertIn("CustomerContact_HIST", names[4])

    def test_record_line_is_there_when_the_answer_is(self):
        c = self.connect()
        for n in range(30):
            c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(%d)" % (100 + n))
            self.assertEqual(len(self.server.records()), n + 1)


class DropTest(ServerCase):
    faults = {"drop_at_request": 3}

    def test_connection_dropped_when_the_nth_request_arrives(self):
        c = self.connect()
        self.assertEqual(c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ").rc,
                         odbc.SQL_NO_DATA)
        self.assertEqual(c.execute("ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); ").rc,
                         odbc.SQL_ERROR)
        r = c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250);")
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertEqual([(d.native, d.text) for d in r.diags],
                         [(20017, PREFIX + "Unexpected EOF from the server")])
        r = c.execute("select 1")
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertEqual(r.diags[0].state, "08S01")
        recs = self.server.records()
        self.assertEqual([r["dropped"] for r in recs], [False, False, True])
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "varchar(50)")
        # Only the n-th request is dropped; a new connection works.
        c2 = self.connect()
        self.assertEqual(c2.execute("select 1").rows, [["1"]])


class DelayTest(ServerCase):
    faults = {"delay_ms": 2500}

    def test_each_statement_waits(self):
        c = self.connect()
        t = time.monotonic()
        self.assertEqual(c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ").rc,
                         odbc.SQL_NO_DATA)
        self.assertGreaterEqual(time.monotonic() - t, 2.4)
        t = time.monotonic()
        c.execute("select @@spid")  # the driver's kind of statement is not delayed
        self.assertLess(time.monotonic() - t, 1.0)

    def test_cancel_after_first_error_cuts_the_rest_of_the_batch_short(self):
        c = self.connect()
        r = c.execute("ALTER TABLE CHXD.Nope ALTER COLUMN i13 nvarchar(250); "
                      "ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); "
                      "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250);")
        self.assertEqual(r.natives(), [4902])
        # Freeing the statement sent an attention while statement 2 waited.
        rec = self.server.records()[-1]
        self.assertTrue(rec["cancelled"])
        self.assertEqual(rec["errors"], [4902])
        self.assertEqual(self.server.column("CHXD", "T2011", "i13")["type"], "varchar(50)")
        self.assertEqual(c.execute("select 6").rows, [["6"]])

    def test_query_timeout_sends_attention_that_is_answered(self):
        c = self.connect()
        t = time.monotonic()
        r = c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ", timeout=1)
        self.assertLess(time.monotonic() - t, 2.2)  # well before the delay ends
        self.assertEqual(r.rc, odbc.SQL_ERROR)
        self.assertEqual(r.diags[0].state, "HYT00")
        self.assertEqual(self.server.records()[-1]["cancelled"], True)
        self.assertEqual(self.server.column("CHXD", "T2011", "i13")["type"], "varchar(50)")
        self.assertEqual(c.execute("select 5").rows, [["5"]])


class ClientToolsTest(ServerCase):
    def test_isql_with_prepared_statements(self):
        out = self.isql("select @@spid\nALTER TABLE CHXD.Nope ALTER COLUMN i13 nvarchar(250)\n"
                        "ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250)\nselect 2\n")
        self.assertIn('Cannot find the object "CHXD.Nope"', out)
        self.assertIn("| 2", out)
        self.assertEqual(self.server.column("CHXD", "T2011", "i13")["type"], "nvarchar(250)")
        recs = self.server.records()
        self.assertEqual([r["rpc"] for r in recs], ["sp_prepexec"] * 4)

    def test_isql_with_exec_direct(self):
        out = self.isql("ALTER TABLE CHXD.T2011 ALTER COLUMN i99 nvarchar(250)\nselect 3\n",
                        extra=("-e",))
        self.assertIn("column 'i99' does not exist in table 'T2011'", out)
        self.assertIn("| 3", out)
        self.assertEqual([r["rpc"] for r in self.server.records()], [None, None])

    def test_tsql_result_and_use(self):
        out = self.tsql("select @@version\ngo\nuse Other\ngo\nselect db_name()\ngo\n")
        self.assertIn("Microsoft SQL Server", out)
        self.assertIn("Other", out)


class CatalogQueryTest(ServerCase):
    """Catalog queries are evaluated against the scenario's catalog, whatever their text."""

    def setUp(self):
        scen = scenario()
        db = scen["databases"][0]
        db["collation"] = "Latin1_General_CI_AS"
        db["tables"][0]["columns"][0]["collation"] = "Latin1_General_BIN"
        db["tables"][0]["data"] = {"i13": ["x" * 300, "short", None]}
        db["tables"][1]["partitioned"] = True
        db["dependents"] = [{"schema": "CHXD", "name": "vT", "schema_bound": True,
                             "references": ["CHXD.T2011.i15"]}]
        scen["server_version"] = "10.50.6000.34"
        scen["logins"][1]["may_read_dependencies"] = False
        self.server = StandIn(scen)
        self.addCleanup(self.server.stop)

    def rows(self, sql, **kw):
        r = self.connect(**kw).execute(sql)
        self.assertEqual(r.rc, odbc.SQL_SUCCESS, r)
        return r.rows

    def test_joins_filters_and_nulls(self):
        self.assertEqual(self.rows(
            "SELECT s.name + N'.' + t.name AS tbl, c.name, c.is_nullable, c.collation_name "
            "FROM sys.columns AS c JOIN sys.tables AS t ON t.object_id = c.object_id "
            "JOIN sys.schemas AS s ON s.schema_id = t.schema_id "
            "WHERE s.name IN (N'chxd') AND t.name = 'T2011'"),
            [["CHXD.T2011", "i13", "0", "Latin1_General_BIN"],
             ["CHXD.T2011", "i15", "1", "Latin1_General_CI_AS"]])
        # A left join keeps the rows without a partner, with NULLs; IS NULL finds them.
        self.assertEqual(self.rows(
            "SELECT t.name, i.name FROM sys.tables AS t LEFT JOIN sys.indexes AS i "
            "ON i.object_id = t.object_id AND i.index_id = 2 "
            "WHERE i.name IS NULL AND t.name IN ('Plain', 'TPRICE')"), [["Plain", None]])

    def test_union_aggregates_and_user_tables(self):
        self.assertEqual(self.rows(
            "SELECT N'long' AS what, COUNT_BIG(*) AS n, MAX(DATALENGTH(CONVERT(nvarchar(max), "
            "[i13]))) / 2 AS longest FROM [CHXD].[T2011] "
            "WHERE DATALENGTH(CONVERT(nvarchar(max), [i13])) > 500 "
            "UNION ALL SELECT N'all', COUNT(i13), NULL FROM CHXD.T2011"),
            [["long", "1", "300"], ["all", "2", None]])

    def test_functions_version_and_partitions(self):
        self.assertEqual(self.rows(
            "SELECT CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)), d.collation_name, "
            "OBJECT_NAME(OBJECT_ID(N'[CHXD].[TPRICE]')), "
            "HAS_PERMS_BY_NAME(N'[MD].[Customer]', N'OBJECT', N'ALTER') "
            "FROM sys.databases AS d WHERE d.database_id = DB_ID()"),
            [["10.50.6000.34", "Latin1_General_CI_AS", "TPRICE", "1"]])
        self.assertEqual(self.rows(
            "SELECT ds.type FROM sys.tables AS t JOIN sys.indexes AS i ON i.object_id = "
            "t.object_id JOIN sys.data_spaces AS ds ON ds.data_space_id = i.data_space_id "
            "WHERE t.name = 'TPRICE' AND i.index_id IN (0, 1)"), [["PS"]])
        # Columns that 2008 R2 does not have are not there.
        r = self.connect().execute("SELECT t.temporal_type FROM sys.tables AS t")
        self.assertEqual(r.natives(), [207])

    def test_permissions_and_refusals(self):
        c = self.connect(user="limited", pw="{Secret;1}")
        r = c.execute("SELECT HAS_PERMS_BY_NAME(N'[MD].[Customer]', N'OBJECT', N'ALTER'), "
                      "HAS_PERMS_BY_NAME(DB_NAME(), N'DATABASE', N'CREATE TABLE') "
                      "FROM sys.schemas AS s WHERE s.name = 'MD'")
        self.assertEqual(r.rows, [["0", "0"]])
        r = c.execute("SELECT d.referencing_id FROM sys.sql_expression_dependencies AS d")
        self.assertEqual(r.natives(), [229])
        self.assertEqual(self.rows(
            "SELECT OBJECT_NAME(d.referencing_id), COL_NAME(d.referenced_id, "
            "d.referenced_minor_id), d.is_schema_bound_reference "
            "FROM sys.sql_expression_dependencies AS d"), [["vT", "i15", "1"]])
        r = self.connect().execute("SELECT x.name FROM sys.nothing AS x")
        self.assertEqual(r.natives(), [208])


class RefusedCatalogTest(ServerCase):
    faults = {"refuse_catalog": True}

    def test_every_catalog_view_is_refused(self):
        r = self.connect().execute("SELECT s.name FROM sys.schemas AS s")
        self.assertEqual(r.natives(), [229])


class TransactionTest(ServerCase):
    faults = {"doom_on": "ALTER TABLE CHXD.CustomerContact", "fail_commit": True}

    def state(self, c):
        return c.execute("SELECT @@TRANCOUNT, XACT_STATE()").rows[0]

    def test_rollback_takes_back_every_change_since_the_outermost_begin(self):
        c = self.connect()
        self.assertEqual(c.execute("COMMIT").natives(), [3902])
        self.assertEqual(c.execute("ROLLBACK TRANSACTION").natives(), [3903])
        c.execute("BEGIN TRANSACTION")
        c.execute("BEGIN TRAN")
        c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250)")
        c.execute(HISTORY_CC)
        self.assertEqual(self.state(c), ["2", "1"])
        self.assertEqual(c.execute("COMMIT").natives(), [])
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "nvarchar(250)")
        self.assertEqual(c.execute("ROLLBACK").natives(), [])
        self.assertEqual(self.state(c), ["0", "0"])
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "varchar(50)")
        self.assertIsNone(self.server.table("CHXD", "CustomerContact_HIST"))

    def test_a_doomed_transaction_ends_with_its_request_and_a_commit_can_fail(self):
        c = self.connect()
        c.execute("BEGIN TRANSACTION")
        c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250)")
        r = c.execute("ALTER TABLE CHXD.CustomerContact ALTER COLUMN N nvarchar(250)")
        self.assertEqual(r.natives(), [3998], r)
        self.assertEqual(self.state(c), ["0", "0"])
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "varchar(50)")
        # The log is full: the commit fails and the transaction stays open.
        c.execute("BEGIN TRANSACTION")
        c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250)")
        self.assertEqual(c.execute("COMMIT TRANSACTION").natives(), [9002])
        self.assertEqual(self.state(c), ["1", "1"])

    def test_a_connection_that_ends_rolls_its_transaction_back(self):
        c = self.connect()
        c.execute("BEGIN TRANSACTION")
        c.execute("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250)")
        c.close()
        for _ in range(100):
            if self.server.records()[-1].get("event") == "rollback":
                break
            time.sleep(0.05)
        self.assertEqual(self.server.records()[-1].get("event"), "rollback")
        self.assertEqual(self.server.column("CHXD", "T2011", "i15")["type"], "varchar(50)")
        self.assertNotIn(None, self.server.batches())


class ProcessTest(unittest.TestCase):
    def test_sigterm_ends_it(self):
        s = StandIn(scenario())
        self.addCleanup(s.stop)
        s.proc.send_signal(signal.SIGTERM)
        self.assertEqual(s.proc.wait(5), 0)

    def test_exit_with_parent(self):
        d = tempfile.TemporaryDirectory()
        self.addCleanup(d.cleanup)
        path = os.path.join(d.name, "s.json")
        with open(path, "w") as f:
            json.dump(scenario(), f)
        # A parent that starts the stand-in, prints its pid and dies.
        code = ("import subprocess,sys\n"
                "p=subprocess.Popen([%r,%r,'--scenario',%r,'--exit-with-parent'],"
                "stdout=subprocess.PIPE,text=True)\n"
                "print(p.stdout.readline().strip(), p.pid, flush=True)\n" % (PYTHON, SCRIPT, path))
        out = subprocess.run([PYTHON, "-c", code], capture_output=True, text=True,
                             timeout=20).stdout.split()
        self.assertEqual(out[0], "PORT")
        pid = int(out[2])
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                break
            time.sleep(0.05)
        else:
            os.kill(pid, signal.SIGKILL)
            self.fail("stand-in outlived its parent")


# ---------------------------------------------------------------------------
# A raw TDS client for what the driver will not send on request.


def all_headers():
    # Transaction descriptor header, as TDS 7.2+ clients send it.
    return struct.pack("<IIHQI", 22, 18, 2, 0, 1)


class RawClient:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)

    def close(self):
        self.sock.close()

    def send(self, ptype, payload, packet_size=4096):
        room = packet_size - 8
        chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b""]
        for k, chunk in enumerate(chunks):
            status = 1 if k == len(chunks) - 1 else 0
            self.sock.sendall(struct.pack(">BBHHBB", ptype, status, len(chunk) + 8, 0, k + 1, 0)
                              + chunk)

    def read_message(self):
        data = b""
        while True:
            head = self.recv(8)
            length = struct.unpack(">H", head[2:4])[0]
            data += self.recv(length - 8)
            if head[1] & 1:
                return data

    def recv(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise EOFError()
            buf += chunk
        return buf

    def read_tokens(self):
        return parse_tokens(self.read_message())

    def login(self, user, password, database, sspi=False):
        self.send(0x12, prelogin())
        self.read_message()
        self.send(0x10, login7(user, password, database, sspi))
        return self.read_tokens()


def prelogin():
    version = b"\x0b\x00\x00\x00\x00\x00"
    opts = [(0, version), (1, b"\x00"), (0xFF, b"")]
    head = b""
    body = b""
    offset = 2 * 5 + 1
    for kind, data in opts[:-1]:
        head += struct.pack(">BHH", kind, offset + len(body), len(data))
        body += data
    return head + b"\xff" + body


def login7(user, password, database, sspi):
    def enc_pw(pw):
        return bytes((((b << 4) & 0xF0) | (b >> 4)) ^ 0xA5 for b in pw.encode("utf-16-le"))

    fields = [("host", "raw".encode("utf-16-le")), ("user", user.encode("utf-16-le")),
              ("password", enc_pw(password)), ("app", "raw".encode("utf-16-le")),
              ("server", b""), ("ext", b""), ("lib", "raw".encode("utf-16-le")),
              ("language", b""), ("database", database.encode("utf-16-le"))]
    fixed = 94
    offsets = b""
    data = b""
    for _, raw in fields:
        offsets += struct.pack("<HH", fixed + len(data), len(raw) // 2)
        data += raw
    offsets += b"\x00" * 6  # client id
    offsets += struct.pack("<HH", fixed + len(data), 0)  # sspi
    offsets += struct.pack("<HH", fixed + len(data), 0)  # attach db file
    offsets += struct.pack("<HH", fixed + len(data), 0)  # change password
    offsets += struct.pack("<I", 0)
    flags2 = 0x80 if sspi else 0
    head = struct.pack("<IIIIII", 0, 0x74000004, 4096, 7, os.getpid(), 0)
    head += bytes([0xE0, 0x03 | flags2, 0, 0]) + struct.pack("<iI", 0, 0x409)
    body = head + offsets + data
    return struct.pack("<I", len(body)) + body[4:]


def parse_tokens(data):
    def bvar(pos):
        n = data[pos]
        return data[pos + 1:pos + 1 + 2 * n].decode("utf-16-le"), pos + 1 + 2 * n

    out = []
    pos = 0
    while pos < len(data):
        tok = data[pos]
        pos += 1
        if tok == 0xE3:
            ln = struct.unpack_from("<H", data, pos)[0]
            body = data[pos + 2:pos + 2 + ln]
            kind = body[0]
            if kind in (1, 2, 4):
                n1 = body[1]
                new = body[2:2 + 2 * n1].decode("utf-16-le")
                rest = body[2 + 2 * n1:]
                old = rest[1:1 + 2 * rest[0]].decode("utf-16-le")
                out.append(("ENVCHANGE", (kind, new, old)))
            else:
                out.append(("ENVCHANGE", (kind, body[1:])))
            pos += 2 + ln
        elif tok in (0xAA, 0xAB):
            ln = struct.unpack_from("<H", data, pos)[0]
            number, state, severity = struct.unpack_from("<iBB", data, pos + 2)
            tl = struct.unpack_from("<H", data, pos + 8)[0]
            text = data[pos + 10:pos + 10 + 2 * tl].decode("utf-16-le")
            out.append(("ERROR" if tok == 0xAA else "INFO", (number, severity, state, text)))
            pos += 2 + ln
        elif tok == 0xAD:
            ln = struct.unpack_from("<H", data, pos)[0]
            body = data[pos + 2:pos + 2 + ln]
            out.append(("LOGINACK", (body[0], body[1:5])))
            pos += 2 + ln
        elif tok in (0xFD, 0xFE, 0xFF):
            status, cmd, rows = struct.unpack_from("<HHQ", data, pos)
            out.append(("DONE", (status, cmd, rows)))
            pos += 12
        elif tok == 0x81:  # COLMETADATA: skip the rest, tests only look at the DONE
            end = len(data) - 13  # the final DONE
            out.append(("COLMETADATA", None))
            pos = end
        else:
            raise ValueError("token 0x%02x" % tok)
    return out


def tokens_errors(tokens):
    return [t[1] for t in tokens if t[0] == "ERROR"]


if __name__ == "__main__":
    unittest.main()
