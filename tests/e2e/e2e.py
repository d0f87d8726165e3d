"""Helpers for the end-to-end tests: servers on 127.0.0.1, spool checks, data."""
import ctypes
import glob
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

HOST = "127.0.0.1"
SPOOL = "/tmp/ostrel*"
LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def bounded(seconds):
    """Ends the test after `seconds`, and on SIGTERM/SIGINT, through an exception,
    so that the finally-blocks still stop the servers."""
    def stop(signum, _frame):
        raise Failure(f"stopped by signal {signum} (time limit {seconds} s)")
    for s in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT):
        signal.signal(s, stop)
    signal.alarm(seconds)


def die_with_parent():
    # A server outlives a test killed with SIGKILL unless the kernel ends it.
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if proc.poll() is not None:
            return False
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def stop(proc, group=False):
    """Stops a process this test started, by its pid (and its own group)."""
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM) if group else proc.terminate()
        proc.wait(5)
    except (subprocess.TimeoutExpired, ProcessLookupError):
        try:
            os.killpg(proc.pid, signal.SIGKILL) if group else proc.kill()
        except ProcessLookupError:
            pass
        proc.wait(5)


class Server:
    """lighttpd with mod_cgi (programs in the document root) or BusyBox httpd
    (programs under cgi-bin/), on a free port of 127.0.0.1, in a fresh
    directory that it removes again."""

    def __init__(self, kind, programs, conf_template=None, index_html=None):
        self.kind = kind
        self.dir = tempfile.mkdtemp(prefix="faxupload-e2e-")
        root = os.path.join(self.dir, "www")
        self.cgi_dir = os.path.join(root, "cgi-bin") if kind == "busybox" else root
        os.makedirs(self.cgi_dir)
        for p in programs:
            os.symlink(os.path.abspath(p), os.path.join(self.cgi_dir, os.path.basename(p)))
        if index_html:
            shutil.copy(index_html, os.path.join(root, "index.html"))
        self.log = os.path.join(self.dir, "server.log")
        self.proc = None
        for _ in range(3):  # the port may be taken between picking and binding
            self.port = free_port()
            if kind == "lighttpd":
                conf = os.path.join(self.dir, "lighttpd.conf")
                with open(conf_template) as f:
                    text = f.read()
                with open(conf, "w") as f:
                    f.write(text.replace("@DOCROOT@", root).replace("@PORT@", str(self.port))
                            .replace("@STATEDIR@", self.dir))
                argv = ["lighttpd", "-D", "-f", conf]
            else:
                argv = ["busybox", "httpd", "-f", "-p", f"{HOST}:{self.port}", "-h", root]
            with open(self.log, "ab") as log:
                self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                             stderr=log, preexec_fn=die_with_parent)
            if wait_for_port(self.port, self.proc):
                break
            stop(self.proc)
        else:
            raise Failure(f"{kind} did not start:\n{self.read_log()}")
        base = f"http://{HOST}:{self.port}/"
        self.base = base + "cgi-bin/" if kind == "busybox" else base

    def read_log(self):
        text = ""
        for name in (self.log, os.path.join(self.dir, "error.log")):
            if os.path.exists(name):
                with open(name, errors="replace") as f:
                    text += f.read()
        return text

    def close(self):
        stop(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if exc[0] is not None:
            sys.stderr.write(self.read_log())
        self.close()


def spool_files():
    return set(glob.glob(SPOOL))


def check_no_new_spool(before, what, seconds=3.0):
    """Spool files that appeared since `before` must be gone.  The program
    removes its own before it answers; the grace of `seconds` lets pass the
    short-lived ones of other test runs on this machine (a resource lock does
    not reach beyond one ctest)."""
    end = time.monotonic() + seconds
    while True:
        left = spool_files() - before
        if not left or time.monotonic() >= end:
            break
        time.sleep(0.05)
    check(not left, f"{what}: spool files left behind: {sorted(left)}")


def salted(size, seed):
    """Random bytes with CR LF, "--" and near-boundary runs sprinkled in, so
    that data lines look like delimiters without being one."""
    rnd = random.Random(seed)
    data = bytearray(rnd.randbytes(size))
    salts = [b"\r\n", b"--", b"\r\n--", b"\r\n------------", b"--\r\n", b"\r\n\r\n", b"\n--",
             b"\r\n------WebKitFormBoundary", b"\r"]
    for _ in range(size // 256):
        s = rnd.choice(salts)
        at = rnd.randrange(0, max(1, size - len(s)))
        data[at:at + len(s)] = s[:size - at]
    return bytes(data)


def stored_path(receiver, filename):
    return f"/tmp/{receiver}.{filename}.sff"


def answer(path=None):
    """What faxupload.cgi writes: the redirect, with the stored path encoded."""
    loc = "Location: ./faxsnd.cgi?action=upload&work=ok"
    if path:
        loc += "&faxfile=" + urllib.parse.quote(path, safe="/-._~")
    return (loc + "\n\n").encode()


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
