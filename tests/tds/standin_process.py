"""Starts the SQL Server stand-in (standin.py) as a child process for the Python callers:
its own tests, the Ansible fleet test and bench/run (the C++ tests have standin_process.h).

    with StandIn(scenario) as server:
        connect to 127.0.0.1:server.port, then read server.records()

The scenario (a dict, in the format scenario.py documents) is written into the folder, a
fresh temporary one unless given, with the record and the server's stderr beside it. The
constructor waits up to `timeout` seconds for the "PORT <n>" line and raises RuntimeError
with the server's stderr when it does not come. stop() sends SIGTERM (SIGKILL after 5 s);
the server also ends by itself when the process that started it dies.
"""

import json
import os
import select
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "standin.py")
PYTHON = "/usr/bin/python3"


class StandIn:
    def __init__(self, scenario, folder=None, record=True, verbose=False, timeout=10):
        self.temporary = None
        if folder is None:
            self.temporary = tempfile.TemporaryDirectory(prefix="standin-")
            folder = self.temporary.name
        os.makedirs(folder, exist_ok=True)
        self.folder = folder
        self.scenario_path = os.path.join(folder, "scenario.json")
        self.record_path = os.path.join(folder, "record.jsonl") if record else None
        self.stderr_path = os.path.join(folder, "stderr.txt")
        with open(self.scenario_path, "w", encoding="utf-8") as f:
            json.dump(scenario, f)
        argv = [PYTHON, SCRIPT, "--scenario", self.scenario_path, "--port", "0",
                "--exit-with-parent"]
        if record:
            argv += ["--record", self.record_path]
        if verbose:
            argv.append("--verbose")
        self.stderr = open(self.stderr_path, "w", encoding="utf-8")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.stderr, bufsize=0)
        line = self._first_line(timeout)
        if not line.startswith("PORT "):
            self.stop(remove=False)
            log = self.log()
            self._remove()
            raise RuntimeError("the stand-in did not start: %r %s" % (line, log))
        self.port = int(line.split()[1])

    def _first_line(self, timeout):
        # Unbuffered reads, so that the wait is bounded even if the server never prints.
        out = b""
        deadline = time.monotonic() + timeout
        while b"\n" not in out:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                break
            chunk = os.read(self.proc.stdout.fileno(), 256)
            if not chunk:
                break
            out += chunk
        return out.decode("utf-8", "replace").split("\n")[0]

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    def conn_str(self, db="KivoDB", user="sa", pw="pw"):
        return ("DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=%d;DATABASE=%s;UID=%s;PWD=%s;"
                "TDS_Version=7.4" % (self.port, db, user, pw))

    def records(self):
        """The record's complete lines; a line still being written is left out."""
        if self.record_path is None or not os.path.exists(self.record_path):
            return []
        with open(self.record_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def batches(self):
        """Texts of the requests, without the driver's housekeeping ones."""
        return [r["batch"] for r in self.records() if not r["housekeeping"]]

    def log(self):
        with open(self.stderr_path, encoding="utf-8") as f:
            return f.read()

    def stop(self, remove=True):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()
        self.stderr.close()
        if remove:
            self._remove()

    def _remove(self):
        if self.temporary is not None:
            self.temporary.cleanup()
            self.temporary = None
