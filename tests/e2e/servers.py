#!/usr/bin/env python3
"""faxupload.cgi behind a real web server, sent to by clients of several kinds.
Usage: servers.py KIND FAXUPLOAD FAXSND [LIGHTTPD_CONF_TEMPLATE]   (KIND: see e2e.Server)

One table: each case is a client behaviour with its usual outcome, and DEPARTS says where a server
differs.  What the servers hand the program differs most for a chunked body: nginx and lighttpd decode
it and pass its length, Apache decodes it and passes no length, BusyBox httpd passes the raw chunk
framing cut short, and mini_httpd the raw framing too (from the connection itself when the headers came
without body bytes).  The answer is a 302 with the program's Location (BusyBox httpd passes it through
under "200 OK", mini_httpd under "302 Found"); the fax page it points to is then fetched.  Every client
waits LIMIT seconds at most; after each case no faxupload.cgi outlives its client by more than a second,
and no spool file or file of the test's is left under /tmp.
"""
import html, os, socket, subprocess, sys, threading, time, urllib.parse
from concurrent.futures import ThreadPoolExecutor

from e2e import (BOUNDARY, HOST, TAG, Server, bounded, case, check, check_no_new_spool, form,
                 location, remove, salted, split_reply, spool_files, stored_path, write)

LIMIT = 20
STORED, REFUSED, GONE = "stored", "refused", "nothing stored"
# mini_httpd 1.30 shuts the connection for writing as soon as it has copied
# to the program the body that came with the headers, before the program
# answers: the reply may be empty, the outcome on disk is the same.
CUT = ", reply may be empty"


def curl(server, receiver, data, filename, *opts):
    """Sends the form with curl; the raw answer, b"" for an empty reply."""
    doc = write(os.path.join(server.dir, f"doc{threading.get_ident()}"), data)
    r = subprocess.run(["curl", "-sS", "-i", "--max-time", str(LIMIT), *opts,
                        "--form-string", f"fxreceiver={receiver}",
                        "-F", f"fxdatei=@{doc};filename={filename};type=application/octet-stream",
                        server.base + "faxupload.cgi"], capture_output=True)
    check(r.returncode in (0, 52), f"curl: {r.stderr.decode(errors='replace').strip()}")
    return r.stdout


def raw(server, receiver, data, filename, pause=0.0, cut=None):
    """Sends the form over a socket: headers, then after `pause` the body in
    ten pieces `pause` apart; with `cut`, only that many body bytes, then it
    goes away.  The answer, read to its end."""
    payload = form(receiver, filename, data)
    with socket.create_connection((HOST, server.port), timeout=LIMIT) as s:
        s.sendall(f"POST /{server.base.split('/', 3)[3]}faxupload.cgi HTTP/1.1\r\nHost: {HOST}\r\n"
                  f"Content-Type: multipart/form-data; boundary={BOUNDARY}\r\n"
                  f"Content-Length: {len(payload)}\r\nConnection: close\r\n\r\n".encode())
        if cut is not None:
            s.sendall(payload[:cut])
            time.sleep(0.3)  # let the program start spooling
            return None
        step = len(payload) // 10 + 1
        for at in range(0, len(payload), step):
            time.sleep(pause)
            s.sendall(payload[at:at + step])
        return b"".join(iter(lambda: s.recv(1 << 16), b""))


# (what, client, bytes of document, receiver ("" for the test's own), outcome)
CASES = [
    ("0 bytes", curl, 0, "", STORED),
    ("1 KiB", curl, 1024, f"+49 30 R&D;<{TAG}>", STORED),
    ("3 MiB", curl, 3 << 20, "", STORED),  # curl asks "Expect: 100-continue" itself
    # One refusal through the server and the fax page; the others are the
    # handler's tests (Handler.NothingToStore, Handler.RefusedNames).
    ("receiver with /", curl, 100, "a/b", REFUSED),
    ("Expect: 100-continue", lambda *a: curl(*a, "-H", "Expect: 100-continue"), 64 << 10, "", STORED),
    ("HTTP/1.0", lambda *a: curl(*a, "--http1.0"), 64 << 10, "", STORED),
    ("chunked", lambda *a: curl(*a, "-H", "Transfer-Encoding: chunked"), 64 << 10, "", STORED),
    ("slow client", lambda *a: raw(*a, pause=0.1), 64 << 10, "", STORED),
    ("aborted mid-body", lambda *a: raw(*a, cut=256 << 10), 1 << 20, "", GONE),
    ("4 in parallel", curl, 16 << 10, "", STORED),
]
# Where a server's outcome differs.  The raw chunk framing must be refused;
# mini_httpd cuts the replies to bodies that come with the headers.
DEPARTS = {("busybox", "chunked"): REFUSED, ("mini_httpd", "chunked"): REFUSED,
           **{("mini_httpd", c): o + CUT for c, o in [("0 bytes", STORED), ("1 KiB", STORED), ("HTTP/1.0", STORED),
                                                      ("receiver with /", REFUSED), ("4 in parallel", STORED)]}}


def check_answer(server, reply, receiver, data, path, outcome):
    if outcome.endswith(CUT) and not reply:
        return
    expected = f"Location: {location(path)}\n\n".encode()
    status, rest = split_reply(reply)
    through = {"busybox": b" 200 ", "mini_httpd": b" 302 "}.get(server.kind)
    if through:  # the program's answer follows the status line as it wrote it
        check(through in status and rest == expected, f"answer {reply[:300]!r}, expected {expected!r}")
    else:
        check(b" 302 " in status and b"\r\n" + expected[:-2] + b"\r\n" in b"\r\n" + rest,
              f"answer {reply[:300]!r}, expected {expected[:-2]!r}")
    r = subprocess.run(["curl", "-sS", "--max-time", str(LIMIT), urllib.parse.urljoin(server.base, location(path))],
                       capture_output=True)
    check(r.returncode == 0, f"fax page: {r.stderr.decode(errors='replace')}")
    page = r.stdout
    if path:
        check(b"was stored" in page and f"<td>{html.escape(receiver, False)}</td>".encode() in page
              and f"<td>{len(data)} bytes</td>".encode() in page, f"fax page: {page!r}")
    else:
        check(b"The upload failed" in page, "fax page does not show the failure")


def run_case(server, no, what, client, size, receiver, outcome):
    jobs = [(receiver or f"{TAG}-{no}-{j}", salted(size, no * 10 + j), f"{TAG} doc.sff")
            for j in range(4 if what == "4 in parallel" else 1)]
    paths = [stored_path(r, f) for r, _, f in jobs]
    before = spool_files()
    try:
        with ThreadPoolExecutor(len(jobs)) as pool:
            replies = list(pool.map(lambda j: client(server, *j), jobs))
        # Without an answer the program may not even have started yet.
        end = time.monotonic() + 1
        while time.monotonic() < end and (server.programs() or not all(replies)):
            time.sleep(0.05)
        check(not server.programs(), "faxupload.cgi outlives its client by more than a second")
        for (receiver, data, _), path, reply in zip(jobs, paths, replies):
            if outcome.startswith(STORED):
                with open(path, "rb") as f:
                    check(f.read() == data, f"{path} differs from the upload")
            else:
                check(not os.path.exists(path), f"{path} was stored")
            if outcome != GONE:
                check_answer(server, reply, receiver, data, path if os.path.exists(path) else None, outcome)
        check_no_new_spool(before, what)
    finally:
        strays = [p for p in os.listdir("/tmp") if TAG in p and "/tmp/" + p not in paths]
        for p in paths + ["/tmp/" + p for p in strays]:
            remove(p)
    check(not strays, f"unexpected files under /tmp: {strays}")


def main():
    kind, programs, conf = sys.argv[1], sys.argv[2:4], sys.argv[4] if len(sys.argv) > 4 else None
    bounded(300)
    started, failed = time.monotonic(), []
    with Server(kind, programs, conf) as server:
        for no, (what, client, size, receiver, outcome) in enumerate(CASES):
            outcome = DEPARTS.get((kind, what), outcome)
            case(failed, f"{what}: {outcome}", run_case, server, no, what, client, size, receiver, outcome)
    print(f"{kind}: {len(CASES) - len(failed)} passed, {len(failed)} failed "
          f"in {time.monotonic() - started:.1f} s")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
