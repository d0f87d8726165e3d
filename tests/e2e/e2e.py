"""Helpers for the end-to-end tests: servers on 127.0.0.1, spool checks, data."""
import contextlib, ctypes, glob, os, random, shutil, signal, socket, subprocess, sys, tempfile, time, urllib.parse

HOST = "127.0.0.1"
BOUNDARY = "----e2eFormBoundary7MA4YWxkTrZu0gW"
TAG = f"e2e{os.getpid()}"  # in the names of the test's files under /tmp
LIBC = ctypes.CDLL(None)  # opened before any fork: session_leader runs between fork and exec


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def case(failed, name, test, *args, **kw):
    """Runs one case of a test's table: "ok" or "FAIL" and why, and a failed case's name into `failed`."""
    t = time.monotonic()
    try:
        test(*args, **kw)
        print(f"ok   {name} ({time.monotonic() - t:.2f} s)", flush=True)
    except (Failure, OSError) as e:
        failed.append(name)
        print(f"FAIL {name} ({time.monotonic() - t:.2f} s): {e}", flush=True)


def bounded(seconds):
    """Ends the test after `seconds`, and on SIGTERM/SIGINT, through SystemExit,
    which the cases do not catch and the finally-blocks still stop the servers."""
    def stop(signum, _frame):
        sys.exit(f"stopped by signal {signum} (time limit {seconds} s)")
    for s in (signal.SIGALRM, signal.SIGTERM, signal.SIGINT):
        signal.signal(s, stop)
    signal.alarm(seconds)


def session_leader():
    """For a child: the kernel ends it with the test (PR_SET_PDEATHSIG), and
    its own children stay in its group, stopped together."""
    LIBC.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    os.setsid()


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end and proc.poll() is None:
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def stop(proc):
    """Stops a process group this test started, by the leader's pid: a child
    stuck in its signal handler, as mini_httpd's can be, gets SIGKILL."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
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
APACHE_MODS = {"apache_cgi": "LoadModule mpm_prefork_module {m}mpm_prefork.so\nLoadModule cgi_module {m}cgi.so\n",
               "apache_cgid": "LoadModule mpm_event_module {m}mpm_event.so\nLoadModule cgid_module {m}cgid.so\n"
                              "ScriptSock {d}/cgid.sock\n"}


def write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path


def commands(kind, d, root, port, conf_template):
    """The command lines that start a server of `kind` (helpers first)."""
    fill = dict(d=d, root=root, port=port, host=HOST, m=APACHE)
    if kind == "lighttpd":
        with open(conf_template) as f:
            text = f.read().replace("@DOCROOT@", root).replace("@PORT@", str(port))
        return [["lighttpd", "-D", "-f", write(f"{d}/lighttpd.conf", text.replace("@STATEDIR@", d))]]
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


class Server:
    """A web server of a kind above (lighttpd, busybox, mini_httpd, nginx, apache_cgi, apache_cgid) running
    the programs as CGI from the document root or (BusyBox, mini_httpd) cgi-bin/, on a free port of 127.0.0.1,
    in a fresh directory that it removes again.  The server and its helpers each lead a session: the group
    stops together, and the session tells which programs are theirs."""

    def __init__(self, kind, programs, conf_template=None, index_html=None):
        self.kind = kind
        self.dir = tempfile.mkdtemp(prefix="faxupload-e2e-")
        os.chmod(self.dir, 0o755)
        root = os.path.join(self.dir, "www")
        sub = "cgi-bin/" if kind in ("busybox", "mini_httpd") else ""
        os.makedirs(os.path.join(root, sub))
        # Copies, not links: Apache runs them as www-data, which may not reach
        # into the build tree (a checkout under /root).
        for p in programs:
            shutil.copy2(p, os.path.join(root, sub, os.path.basename(p)))
        if index_html:
            shutil.copy(index_html, os.path.join(root, "index.html"))
        self.log = os.path.join(self.dir, "server.log")
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
        """Pids of faxupload.cgi running under this server."""
        sessions, found = {p.pid for p in self.procs}, []
        for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    argv = map(os.path.basename, f.read().split(b"\0"))
                    if b"faxupload.cgi" in argv and os.getsid(pid) in sessions:
                        found.append(pid)
            except OSError:
                pass
        return found

    def read_log(self):
        logs = [n for n in (self.log, os.path.join(self.dir, "error.log")) if os.path.exists(n)]
        return "".join(open(n, errors="replace").read() for n in logs)

    def stop(self):
        for p in reversed(self.procs):
            stop(p)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if exc[0] is not None:
            sys.stderr.write(self.read_log())
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def spool_files():
    return set(glob.glob("/tmp/ostrel*"))


def check_no_new_spool(before, what, seconds=3.0):
    """Spool files that appeared since `before` must be gone.  The programs remove theirs before they
    answer; in a /tmp shared with other test runs (tools/private-tmp could not make one of our own),
    the short-lived files of those runs get `seconds` to go as well."""
    end = time.monotonic() + (0 if os.environ.get("OSTREL_PRIVATE_TMP") else seconds)
    while (left := spool_files() - before) and time.monotonic() < end:
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


def form(receiver, filename, data):
    """The upload form as a browser sends it: the receiver, then the document."""
    b = b"--" + BOUNDARY.encode()
    return (b + b'\r\nContent-Disposition: form-data; name="fxreceiver"\r\n\r\n' + receiver.encode() + b"\r\n" + b +
            b'\r\nContent-Disposition: form-data; name="fxdatei"; filename="' + filename.encode() +
            b'"\r\nContent-Type: application/octet-stream\r\n\r\n' + data + b"\r\n" + b + b"--\r\n")


def stored_path(receiver, filename):
    return f"/tmp/{receiver}.{filename}.sff"


def location(path=None):
    """Where faxupload.cgi redirects to: the fax page, with the stored path encoded."""
    return "./faxsnd.cgi?action=upload&work=ok" + ("&faxfile=" + urllib.parse.quote(path, safe="/-._~") if path else "")


def split_reply(reply):
    """An HTTP reply's status line and what follows it, past any 100 Continue."""
    while reply.startswith(b"HTTP/1.1 100 "):
        reply = reply.partition(b"\r\n\r\n")[2]
    status, _, rest = reply.partition(b"\r\n")
    return status, rest


def remove(path):
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
