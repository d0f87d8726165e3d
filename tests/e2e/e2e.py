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
BOUNDARY = "----e2eFormBoundary7MA4YWxkTrZu0gW"
LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


class Failure(Exception):
    pass


class Stopped(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def bounded(seconds):
    """Ends the test after `seconds`, and on SIGTERM/SIGINT, through an exception,
    so that the finally-blocks still stop the servers."""
    def stop(signum, _frame):
        raise Stopped(f"stopped by signal {signum} (time limit {seconds} s)")
    for s in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT):
        signal.signal(s, stop)
    signal.alarm(seconds)


def private_tmp():
    """Runs this script again with a /tmp of its own, where the system lets
    us (a private mount namespace, as root): other test runs on this machine
    then neither fail our leftover checks nor see our files."""
    argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec "$@"', "sh"]
    # A checkout under /tmp would vanish behind the new one.
    ours = [os.path.realpath(p) for p in [__file__] + sys.argv[1:] if os.path.exists(p)]
    if any(p.startswith("/tmp/") for p in ours):
        return
    if os.environ.get("OSTREL_E2E_TMP") or os.geteuid() != 0 or not shutil.which("unshare") or \
            subprocess.call(argv + ["true"], stderr=subprocess.DEVNULL) != 0:
        return
    os.environ["OSTREL_E2E_TMP"] = "private"
    os.execvp(argv[0], argv + [sys.executable, *sys.argv])


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
    """Stops a process this test started, by its pid (and its own group: a
    child stuck in its signal handler, as mini_httpd's can be, gets SIGKILL)."""
    if proc is None:
        return
    kill = (lambda s: os.killpg(proc.pid, s)) if group else proc.send_signal
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            if group or proc.poll() is None:
                kill(sig)
            proc.wait(5)
        except (subprocess.TimeoutExpired, ProcessLookupError):
            pass


APACHE = "/usr/lib/apache2/modules/mod_"
# Each server's configuration: {d} its directory, {root} the document root, {port}.
# nginx's workers run as root to reach the socket of fcgiwrap, started as root.
NGINX = """daemon off; pid {d}/nginx.pid; error_log {d}/error.log; user root root;
events {{ worker_connections 64; }}
http {{ access_log off; client_max_body_size 0; client_body_temp_path {d}/body;
  fastcgi_temp_path {d}/fcgi; proxy_temp_path {d}/proxy; scgi_temp_path {d}/scgi;
  uwsgi_temp_path {d}/uwsgi;
  server {{ listen {host}:{port}; root {root};
    location ~ \\.cgi$ {{ include /etc/nginx/fastcgi_params; fastcgi_pass unix:{d}/fcgi.sock;
      fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name; }} }} }}
"""
APACHE_CONF = """ServerRoot {d}
Listen {host}:{port}
ServerName {host}
PidFile {d}/apache.pid
DefaultRuntimeDir {d}
ErrorLog {d}/error.log
LoadModule authz_core_module {m}authz_core.so
DocumentRoot {root}
<Directory {root}>
  Options ExecCGI FollowSymLinks
  SetHandler cgi-script
  Require all granted
</Directory>
"""
# mod_cgi forks the programs from the server's processes, mod_cgid from a daemon
# of its own: each with the MPM it is made for.
APACHE_MODS = {"apache_cgi": "LoadModule mpm_prefork_module {m}mpm_prefork.so\n"
                             "LoadModule cgi_module {m}cgi.so\n",
               "apache_cgid": "LoadModule mpm_event_module {m}mpm_event.so\n"
                              "LoadModule cgid_module {m}cgid.so\nScriptSock {d}/cgid.sock\n"}
KINDS = ("lighttpd", "busybox", "mini_httpd", "nginx", "apache_cgi", "apache_cgid")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def commands(kind, d, root, port, conf_template):
    """The command lines that start a server of `kind` (helpers first)."""
    fill = dict(d=d, root=root, port=port, host=HOST, m=APACHE)
    if kind == "lighttpd":
        with open(conf_template) as f:
            text = f.read()
        text = text.replace("@DOCROOT@", root).replace("@PORT@", str(port)).replace("@STATEDIR@", d)
        return [["lighttpd", "-D", "-f", write(f"{d}/lighttpd.conf", text)]]
    if kind == "busybox":
        return [["busybox", "httpd", "-f", "-p", f"{HOST}:{port}", "-h", root]]
    if kind == "mini_httpd":  # as root, it would run the programs as nobody
        return [["mini_httpd", "-D", "-h", HOST, "-p", str(port), "-d", root, "-c", "**.cgi",
                 "-u", "root", "-l", f"{d}/error.log"]]
    if kind == "nginx":
        return [["fcgiwrap", "-c", "4", "-s", f"unix:{d}/fcgi.sock"],
                ["nginx", "-p", d, "-c", write(f"{d}/nginx.conf", NGINX.format(**fill))]]
    # Apache started as root serves as an ordinary user; the directory is open to it.
    user = "User www-data\nGroup www-data\n" if os.geteuid() == 0 else ""
    conf = write(f"{d}/apache.conf", (APACHE_MODS[kind] + APACHE_CONF).format(**fill) + user)
    return [["apache2", "-DFOREGROUND", "-f", conf]]


def session_leader():
    die_with_parent()
    os.setsid()  # its workers and programs stay in its group and session


class Server:
    """A web server of one of KINDS running the programs as CGI (lighttpd and
    Apache from the document root, the others from cgi-bin/), on a free port
    of 127.0.0.1, in a fresh directory that it removes again.  The server and
    its helpers each lead a session: the group stops together, and the
    session tells which programs are theirs."""

    def __init__(self, kind, programs, conf_template=None, index_html=None):
        self.kind = kind
        self.dir = tempfile.mkdtemp(prefix="faxupload-e2e-")
        os.chmod(self.dir, 0o755)
        root = os.path.join(self.dir, "www")
        sub = "" if kind in ("lighttpd", "nginx") or kind.startswith("apache") else "cgi-bin/"
        self.cgi_dir = os.path.join(root, sub)
        os.makedirs(self.cgi_dir)
        # Copies, not links: Apache runs them as www-data, which may not reach
        # into the build tree (a checkout under /root).
        for p in programs:
            shutil.copy2(p, os.path.join(self.cgi_dir, os.path.basename(p)))
        if index_html:
            shutil.copy(index_html, os.path.join(root, "index.html"))
        self.log = os.path.join(self.dir, "server.log")
        self.procs = []
        for _ in range(3):  # the port may be taken between picking and binding
            self.port = free_port()
            with open(self.log, "ab") as log:
                self.procs = [subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                               preexec_fn=session_leader)
                              for argv in commands(kind, self.dir, root, self.port, conf_template)]
            if wait_for_port(self.port, self.procs[-1]) and all(p.poll() is None for p in self.procs):
                break
            self.stop()
        else:
            raise Failure(f"{kind} did not start:\n{self.read_log()}")
        self.base = f"http://{HOST}:{self.port}/{sub}"

    def programs(self):
        """Pids of faxupload.cgi (or its emulator) running under this server."""
        sessions, found = {p.pid for p in self.procs}, []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/stat") as f:
                    sid = int(f.read().rsplit(")", 1)[1].split()[3])
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    argv = f.read().split(b"\0")
            except (OSError, IndexError, ValueError):
                continue
            if sid in sessions and any(a.rsplit(b"/", 1)[-1] == b"faxupload.cgi" for a in argv):
                found.append(int(pid))
        return found

    def read_log(self):
        text = ""
        for name in (self.log, os.path.join(self.dir, "error.log")):
            if os.path.exists(name):
                with open(name, errors="replace") as f:
                    text += f.read()
        return text

    def stop(self):
        for p in reversed(self.procs):
            stop(p, group=True)

    def close(self):
        self.stop()
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


def form(receiver, filename, data, boundary=BOUNDARY):
    """The upload form as a browser sends it: the receiver, then the document."""
    b = boundary.encode()
    return (b"--" + b + b"\r\nContent-Disposition: form-data; name=\"fxreceiver\"\r\n\r\n" +
            receiver.encode() + b"\r\n--" + b +
            b"\r\nContent-Disposition: form-data; name=\"fxdatei\"; filename=\"" + filename.encode() +
            b"\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + b"\r\n--" + b + b"--\r\n")


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
