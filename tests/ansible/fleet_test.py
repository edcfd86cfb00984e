#!/usr/bin/python3
"""The Ansible role on a fleet of hosts on this machine (connection: local).

Each host has its own web directory and its own SQL Server stand-in: one upgrades, another's
server refuses every login, and a third's cannot commit. The playbook must end with one success
and two failures in the summary, run the upgrade in one transaction after a check on its own
connection and keep each statement's time, count a rolled-back run as no change, never show the
password nor leave it in a file of the host's temporary folder, leave an upgraded host alone on
a second run (changed: false), and in check mode only read, write its own summary, and report
what it would install on a host without the companion.

Usage: fleet_test.py --cli PATH --playbook PATH   (run by CTest)
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tests", "tds"))
from standin_process import StandIn  # noqa: E402

PASSWORD = "Fl33t-distinctive-pw"
ARGS = None


def write_web_dir(folder, port):
    value = subprocess.run(
        [ARGS.cli, "encode",
         "Provider=SQLOLEDB.1;Data Source=127.0.0.1,%d;Initial Catalog=KivoDB;"
         "User ID=webapp;Password=stored-by-the-web-app" % port],
        check=True, capture_output=True, text=True, timeout=30).stdout.strip()
    with open(os.path.join(SOURCE, "samples/web.config.in"), encoding="utf-8") as f:
        config = f.read().replace("@CAYUSR@", value)
    os.makedirs(folder)
    with open(os.path.join(folder, "web.config"), "w", encoding="utf-8") as f:
        f.write(config)


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kivo-fleet-")
        with open(os.path.join(SOURCE, "samples/demo-scenario.json"), encoding="utf-8") as f:
            scenario = json.load(f)
        scenario["logins"][0]["password"] = PASSWORD
        refusing = dict(scenario, faults={"refuse_logins": True})
        log_full = dict(scenario, faults={"fail_commit": True})
        cls.servers = []
        hosts = {}
        # The companion through a wrapper that, while Ansible's module runs it, looks for the
        # password in every file of the host's temporary folder.
        cls.remote_tmp = os.path.join(cls.dir, "tmp")
        cls.leaks = os.path.join(cls.dir, "password-files.txt")
        wrapper = os.path.join(cls.dir, "kivo-dbupdate-cli")
        with open(wrapper, "w", encoding="utf-8") as f:
            f.write("#!/bin/sh\ngrep -rlF -e '%s' '%s' >>'%s' 2>/dev/null\nexec '%s' \"$@\"\n"
                    % (PASSWORD, cls.remote_tmp, cls.leaks, ARGS.cli))
        os.chmod(wrapper, 0o755)
        for host, scn in (("web-ok", scenario), ("web-refused", refusing),
                          ("web-log-full", log_full)):
            # The refused host's stand-in logs each login.
            server = StandIn(scn, folder=os.path.join(cls.dir, host, "server"),
                             verbose=host == "web-refused")
            cls.servers.append(server)
            write_web_dir(os.path.join(cls.dir, host, "www"), server.port)
            hosts[host] = {"kivo_dbupdate_web_dir": os.path.join(cls.dir, host, "www")}
        # A host without the companion, in check mode only: a package of a version no host has
        # (check mode never reads more than its name).
        deb = os.path.join(cls.dir, "kivo-dbupdate-cli_0.0~fleet_amd64.deb")
        open(deb, "wb").close()
        cls.new_host = {"web-new": {"kivo_dbupdate_web_dir": os.path.join(cls.dir, "web-ok", "www"),
                                    "kivo_dbupdate_binary": "", "kivo_dbupdate_deb": deb},
                        # Encryption required of a server that offers none.
                        "web-encrypted": dict(hosts["web-refused"], kivo_dbupdate_encrypt="require")}
        inventory = {"all": {"children": {"kivo_web": {
            "hosts": hosts,
            "vars": {
                "ansible_connection": "local",
                "ansible_python_interpreter": "/usr/bin/python3",
                "kivo_dbupdate_binary": wrapper,
                "kivo_dbupdate_sql_login": scenario["logins"][0]["name"],
                "kivo_dbupdate_password": PASSWORD,
                "kivo_dbupdate_environment": {"KIVO_ODBC_DRIVER": "FreeTDS"},
                "kivo_dbupdate_summary_path": os.path.join(cls.dir, "summary.json"),
                "kivo_dbupdate_check_summary_path": os.path.join(cls.dir, "check-summary.json"),
            }}}}}
        # No ansible.cfg of the machine or the folder applies.
        with open(os.path.join(cls.dir, "ansible.cfg"), "w", encoding="utf-8") as f:
            f.write("[defaults]\n")
        cls.inventory = os.path.join(cls.dir, "inventory.json")
        with open(cls.inventory, "w", encoding="utf-8") as f:
            json.dump(inventory, f)
        inventory["all"]["children"]["kivo_web"]["hosts"].update(cls.new_host)
        cls.check_inventory = os.path.join(cls.dir, "check-inventory.json")
        with open(cls.check_inventory, "w", encoding="utf-8") as f:
            json.dump(inventory, f)

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers:
            server.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def playbook(self, *options, inventory=None):
        check = "--check" in options
        summary = os.path.join(self.dir, "check-summary.json" if check else "summary.json")
        if os.path.exists(summary):
            os.remove(summary)
        if os.path.exists(self.leaks):
            os.remove(self.leaks)
        env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0",
                   ANSIBLE_LOCAL_TEMP=os.path.join(self.dir, "tmp-controller"),
                   ANSIBLE_REMOTE_TEMP=self.remote_tmp,
                   ANSIBLE_CONFIG=os.path.join(self.dir, "ansible.cfg"), ANSIBLE_STDOUT_CALLBACK="default")
        run = subprocess.run(
            ["ansible-playbook", "-vvv", "-i", inventory or self.inventory, ARGS.playbook,
             *options],
            env=env, cwd=self.dir, capture_output=True, text=True, timeout=240)
        output = run.stdout + run.stderr
        self.assertNotIn(PASSWORD, output)
        # The companion ran (the wrapper made the file), and found no file holding the password.
        self.assertTrue(os.path.exists(self.leaks), output)
        with open(self.leaks, encoding="utf-8") as f:
            self.assertEqual(f.read(), "", "the password is in these files of the host")
        self.assertTrue(os.path.exists(summary), output)
        with open(summary, encoding="utf-8") as f:
            text = f.read()
        self.assertNotIn(PASSWORD, text)
        results = {r["host"]: r for r in json.loads(text)["results"]}
        return run, output, json.loads(text), results

    def recap(self, output, host):
        """The host's counts in Ansible's PLAY RECAP, e.g. {"ok": 9, "changed": 0, ...}."""
        match = re.search(r"^%s\s*:\s*(.*)$" % re.escape(host), output, re.M)
        self.assertIsNotNone(match, output)
        return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", match.group(1))}

    def test_one_host_upgrades_and_the_refused_one_fails(self):
        servers = self.servers
        logins = servers[1].log().count(": login user=")
        run, output, summary, results = self.playbook()
        self.assertEqual(run.returncode, 2, output)  # a host failed
        self.assertEqual(summary["succeeded"], ["web-ok"], output)
        self.assertEqual(summary["failed"], ["web-refused", "web-log-full"], output)
        ok, refused = results["web-ok"], results["web-refused"]
        self.assertEqual((ok["exitStatus"], ok["verdict"], ok["changed"]), (0, "succeeded", True))
        self.assertIn("Kivo client was update successful", ok["report"]["statusLines"][-1])
        self.assertEqual(self.recap(output, "web-ok")["changed"], 1, output)
        # By default the run checks first on its own connection, then alters in one transaction,
        # and the kept report has every statement's time.
        report = ok["report"]
        self.assertEqual(report["check"]["counts"]["blocker"], 0)
        self.assertEqual(report["transaction"]["outcome"], "committed")
        statements = report["transaction"]["statements"] + [
            s for b in report["batches"] for s in b["statements"]]
        self.assertEqual(len(statements), 22)
        self.assertTrue(all(isinstance(s["durationMs"], int) for s in statements), statements)
        records = servers[0].records()
        begin = next(k for k, r in enumerate(records) if r["batch"] == "BEGIN TRANSACTION")
        run_records = [r["batch"] for r in records if r["connection"] == records[begin]["connection"]]
        before_begin = run_records[:run_records.index("BEGIN TRANSACTION")]
        self.assertTrue(any(b.startswith("SELECT") for b in before_begin), before_begin)
        self.assertEqual(run_records[-1], "COMMIT TRANSACTION")
        # A run whose COMMIT fails is rolled back: a failure, and no change.
        log_full = results["web-log-full"]
        self.assertEqual((log_full["exitStatus"], log_full["verdict"], log_full["changed"]),
                         (1, "failed", False))
        self.assertEqual(log_full["report"]["transaction"]["outcome"], "rolled back")
        self.assertEqual(log_full["report"]["statusLines"][-1],
                         "rolled back: the database is as it was")
        self.assertEqual(self.recap(output, "web-log-full")["changed"], 0, output)
        self.assertEqual((refused["exitStatus"], refused["verdict"]), (3, "refused"))
        self.assertIn("Login failed for user 'kivo'.", refused["detail"])
        self.assertIn("hint: the server refused the login", refused["detail"])
        # The refusal reaches Ansible's own output as the host's failure.
        self.assertIn("Login failed for user 'kivo'.", output)
        # The refused host's server saw one login, the check's: no second one for the run.
        self.assertEqual(servers[1].log().count(": login user=") - logins, 1)

        # Again: the check finds the host upgraded, so no ALTER goes out and nothing changed.
        altered = len(servers[0].records())
        run, output, summary, results = self.playbook()
        self.assertEqual(summary["succeeded"], ["web-ok"], output)
        ok = results["web-ok"]
        self.assertEqual((ok["exitStatus"], ok["verdict"], ok["changed"]), (0, "passed", False))
        self.assertIn("upgraded already", ok["detail"])
        self.assertEqual(self.recap(output, "web-ok")["changed"], 0, output)
        for batch in [r["batch"] for r in servers[0].records()[altered:]]:
            self.assertRegex(batch.lstrip().upper(), r"^(SELECT|SET|IF|WITH)\b", batch)

    def test_check_mode_runs_the_check_and_alters_nothing(self):
        servers = self.servers
        before = [len(s.records()) for s in servers]
        logins = servers[1].log().count(": login user=")
        # The record of the last real run stays as it is.
        last_run = os.path.join(self.dir, "summary.json")
        with open(last_run, "w", encoding="utf-8") as f:
            f.write('{"mode": "run"}\n')
        run, output, summary, results = self.playbook("--check", inventory=self.check_inventory)
        with open(last_run, encoding="utf-8") as f:
            self.assertEqual(f.read(), '{"mode": "run"}\n')
        self.assertEqual(run.returncode, 2, output)
        self.assertEqual(summary["mode"], "check")
        self.assertEqual((summary["succeeded"], summary["failed"]),
                         (["web-ok", "web-log-full", "web-new"], ["web-refused", "web-encrypted"]))
        ok, refused, new = results["web-ok"], results["web-refused"], results["web-new"]
        self.assertEqual((ok["exitStatus"], ok["verdict"], ok["report"]["report"]),
                         (0, "passed", "check"))
        self.assertEqual((refused["exitStatus"], refused["verdict"]), (3, "refused"))
        self.assertIn("Login failed for user 'kivo'.", refused["detail"])
        # Without the companion, what a run would install instead of a failure.
        self.assertEqual((new["install"], new["exitStatus"], new["report"]),
                         ("kivo-dbupdate-cli_0.0~fleet_amd64.deb", None, None))
        self.assertIn("would install kivo-dbupdate-cli_0.0~fleet_amd64.deb", new["detail"])
        # The check only reads: every request it sent is a query, none changes the catalog.
        batches = [r["batch"] for r in servers[0].records()[before[0]:]]
        self.assertTrue(batches)
        for batch in batches:
            self.assertRegex(batch.lstrip().upper(), r"^(SELECT|SET|IF|WITH)\b", batch)
            self.assertNotRegex(batch.upper(), r"\bINTO\b", batch)
        self.assertEqual(len(servers[1].records()), before[1])
        # The host that requires encryption is refused before its login reaches the server.
        encrypted = results["web-encrypted"]
        self.assertEqual((encrypted["exitStatus"], encrypted["verdict"]), (3, "refused"))
        self.assertIn("hint: the connection requires encryption", encrypted["detail"])
        self.assertEqual(servers[1].log().count(": login user=") - logins, 1)

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--playbook", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
