#!/usr/bin/env python3
"""Wine's own kernel running a driver service: the throwaway prefix the driver tests share, one
session of it with a known debug log, and the driver's debug lines read back from that log.

Wine starts a kernel-driver service in winedevice.exe, which services.exe starts; both inherit
the standard error and the WINEDEBUG of the first process of the server's session. So a session
begins with a process that stays until the session ends (a command interpreter reading a pipe):
its standard error is the session's log, and its presence keeps the services running, which
Wine otherwise stops a few seconds after the last program exits.

The driver's DbgPrint lines arrive on the debugstr channel, one line each, as
    TID:warn:debugstr:vDbgPrintExWithPrefix 00000065:00000008: TEXT

    wine_kernel.py prefix DIR     makes the prefix (a ctest fixture)
    wine_kernel.py remove DIR     removes it
"""
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_tolvane import find_wine  # noqa: E402

READY = b"corvax-session-ready"
SERVICES_KEY = "HKLM\\System\\CurrentControlSet\\Services\\"
PRINT_HEADER = re.compile(r"^[0-9a-f]+:warn:debugstr:vDbgPrintExWithPrefix ")
PRINT_MARK = re.compile(r"[0-9a-f]{8}:[0-9a-f]{8}: ")
DEBUG_STRING = re.compile(r'^[0-9a-f]+:warn:debugstr:OutputDebugStringA "(.*)"$')


def windows_path(path):
    """A Linux path as Wine's Z: drive names it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Session:
    """One wineserver session on a prefix, its log in a file, with what it runs in it."""

    def __init__(self, prefix, log, debug):
        self.wine = find_wine()
        self.server = os.path.join(os.path.dirname(self.wine), "wineserver")
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        self.log = log
        subprocess.run([self.server, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run([self.server, "-w"], env=self.env, timeout=60)
        self.log_file = open(log, "wb")
        self.keeper = subprocess.Popen([self.wine, "cmd.exe"], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=self.log_file,
                                       env=dict(self.env, WINEDEBUG=debug))
        # The first program of a session starts the services (through wineboot), and a
        # program runs its first line only once they are up. Until the keeper has answered,
        # another program could be the first and give the services its own standard error.
        self.keeper.stdin.write(b"echo " + READY + b"\r\n")
        self.keeper.stdin.flush()
        said = b""
        deadline = time.monotonic() + 180
        while READY + b"\r" not in said and time.monotonic() < deadline:
            if select.select([self.keeper.stdout], [], [], 1)[0]:
                chunk = os.read(self.keeper.stdout.fileno(), 4096)
                if not chunk:
                    break
                said += chunk
        if READY + b"\r" not in said:
            raise RuntimeError("the session's first program did not start: %r" % said)

    def run(self, args, stdin=b"", timeout=120):
        """Runs a program of the prefix: (exit code, standard output, standard error)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            # Files, not pipes: Wine's helper processes inherit the handles and would hold a
            # pipe open until the server winds down.
            process = subprocess.Popen([self.wine] + args, env=self.env, stdin=subprocess.PIPE,
                                       stdout=out, stderr=err)
            process.communicate(stdin, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return process.returncode, out.read(), err.read()

    def service_state(self, name):
        """The service's state number as "sc query" shows it (1 stopped, 4 running)."""
        _, out, _ = self.run(["sc", "query", name])
        found = re.search(rb"STATE\s*:\s*(\d+)", out)
        return int(found.group(1)) if found else None

    def log_text(self):
        self.log_file.flush()
        with open(self.log, "rb") as f:
            return f.read().decode("latin-1")

    def end(self):
        try:
            self.keeper.communicate(b"exit\r\n", timeout=60)
        except subprocess.TimeoutExpired:
            self.keeper.kill()
        subprocess.run([self.server, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run([self.server, "-w"], env=self.env, timeout=60)
        self.log_file.close()


def driver_prints(log_text):
    """The driver's prints, in order, without their line feeds: Wine writes each print as a line
    of its own, with a line feed whether the print had one or not."""
    prints = []
    for line in log_text.split("\n"):
        header = PRINT_HEADER.match(line)
        mark = PRINT_MARK.match(line, header.end()) if header else None
        if mark:
            prints.append(line[mark.end():])
    return prints


def debug_strings(log_text):
    """What programs of the session wrote with OutputDebugStringA (as Wine quotes it)."""
    found = []
    for line in log_text.split("\n"):
        match = DEBUG_STRING.match(line)
        if match:
            found.append(match.group(1).encode("latin-1").decode("unicode_escape"))
    return found


def make_prefix(prefix):
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    wine = find_wine()
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    started = time.monotonic()
    done = subprocess.run([wine, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=300)
    server = os.path.join(os.path.dirname(wine), "wineserver")
    subprocess.run([server, "-w"], env=env, timeout=120)
    ok = done.returncode == 0 and os.path.isdir(os.path.join(prefix, "drive_c", "windows"))
    print("%s prefix %s made in %.1f s" % ("ok  " if ok else "FAIL", prefix,
                                            time.monotonic() - started))
    return 0 if ok else 1


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("prefix", "remove"):
        sys.exit(__doc__)
    if sys.argv[1] == "prefix":
        return make_prefix(sys.argv[2])
    shutil.rmtree(sys.argv[2], ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
