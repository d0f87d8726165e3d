#!/usr/bin/env python3
"""faxupload.cgi behind a real web server, driven by curl.

Usage: servers.py lighttpd|busybox FAXUPLOAD FAXSND [LIGHTTPD_CONF_TEMPLATE]

lighttpd turns the relative Location answer into a 302 that curl follows.
BusyBox httpd passes the answer through under "200 OK", so there the raw
answer is compared byte for byte and its Location is followed by hand.
"""
import os
import socket
import subprocess
import sys
import time
import urllib.parse

from e2e import (HOST, Server, answer, bounded, check, check_no_new_spool, remove, salted,
                 spool_files, stored_path)

TAG = f"e2e{os.getpid()}"


def cases():
    # (what, receiver or None for no field, data or None for no file part,
    #  client file name, stored)
    return [
        ("0 bytes", TAG + "-zero", b"", "empty.sff", True),
        ("1 KiB", f"+49 30 R&D;<{TAG}>", salted(1024, 1), "fax letter.sff", True),
        ("3 MiB", TAG + "-big", salted(3 << 20, 2), "big.sff", True),
        # One refusal through the server and the fax page; the others are
        # the handler's tests (Handler.NothingToStore, Handler.RefusedNames).
        ("receiver with /", "a/b", salted(100, 5), TAG + ".sff", False),
    ]


def curl(*args):
    r = subprocess.run(["curl", "-sS", "--max-time", "60", *args], capture_output=True)
    check(r.returncode == 0, f"curl {' '.join(args)}: {r.stderr.decode(errors='replace')}")
    return r.stdout.decode()


def post(server, workdir, receiver, data, filename):
    """curl arguments that send the upload form."""
    args = []
    if receiver is not None:
        args += ["--form-string", f"fxreceiver={receiver}"]
    if data is not None:
        doc = os.path.join(workdir, "document")
        with open(doc, "wb") as f:
            f.write(data)
        args += ["-F", f"fxdatei=@{doc};filename={filename};type=application/octet-stream"]
    return args + [server.base + "faxupload.cgi"]


def check_page(page, what, data, receiver, path):
    if path:
        escaped = receiver.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        check(b"was stored" in page, f"{what}: fax page does not show the stored document")
        check(f"<td>{escaped}</td>".encode() in page, f"{what}: fax page lacks the receiver")
        check(f"<td>{len(data)} bytes</td>".encode() in page, f"{what}: fax page lacks the size")
    else:
        check(b"The upload failed" in page, f"{what}: fax page does not show the failure")


def run_case(server, workdir, what, receiver, data, filename, stored):
    path = stored_path(receiver, filename) if stored else None
    try:
        exchange(server, workdir, what, receiver, data, filename, path)
    finally:
        if path:
            remove(path)
    strays = [p for p in os.listdir("/tmp") if TAG in p]
    check(not strays, f"{what}: unexpected files under /tmp: {strays}")


def exchange(server, workdir, what, receiver, data, filename, path):
    expected = answer(path)
    location = expected.decode()[len("Location: "):-2]
    upload_url = server.base + "faxupload.cgi"
    page_file = os.path.join(workdir, "page")
    remove(page_file)
    before = spool_files()

    if server.kind == "lighttpd":
        head_file = os.path.join(workdir, "head")
        out = curl("-L", "--max-redirs", "2", "-D", head_file, "-o", page_file,
                   "-w", "%{http_code} %{num_redirects} %{url_effective}",
                   *post(server, workdir, receiver, data, filename))
        with open(head_file, "rb") as f:
            heads = [h.split(b"\r\n") for h in f.read().split(b"\r\n\r\n")]
        first = [h for h in heads if b" 100 " not in h[0]][0]  # past "100 Continue"
        check(first[0].startswith(b"HTTP/1.1 302 "), f"{what}: first answer {first[0]!r}")
        check(b"Location: " + location.encode() in first, f"{what}: Location in {first}")
        code, redirects, url = out.split(" ", 2)
        check(code == "200" and redirects == "1", f"{what}: {out}")
        check(url == urllib.parse.urljoin(upload_url, location), f"{what}: landed on {url}")
    else:
        raw = os.path.join(workdir, "raw")
        curl("-i", "-o", raw, *post(server, workdir, receiver, data, filename))
        with open(raw, "rb") as f:
            status, _, rest = f.read().partition(b"\r\n")
        check(status.startswith(b"HTTP/1.") and b" 200 " in status, f"{what}: status {status!r}")
        check(rest == expected, f"{what}: answer {rest!r}, expected {expected!r}")
        code = curl("-o", page_file, "-w", "%{http_code}", urllib.parse.urljoin(upload_url, location))
        check(code == "200", f"{what}: fax page answered {code}")

    with open(page_file, "rb") as f:
        check_page(f.read(), what, data, receiver, path)
    check_no_new_spool(before, what)
    if path:
        with open(path, "rb") as f:
            check(f.read() == data, f"{what}: {path} differs from the upload")


def aborted_upload(server):
    """A client that goes away in the middle of the document leaves no spool file."""
    before = spool_files()
    head = (b"--XyZ\r\nContent-Disposition: form-data; name=\"fxreceiver\"\r\n\r\n" + TAG.encode() +
            b"\r\n--XyZ\r\nContent-Disposition: form-data; name=\"fxdatei\"; filename=\"cut.sff\"\r\n"
            b"Content-Type: application/octet-stream\r\n\r\n")
    target = server.base.split("/", 3)[3]
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(f"POST /{target}faxupload.cgi HTTP/1.0\r\nHost: {HOST}\r\n"
                  "Content-Type: multipart/form-data; boundary=XyZ\r\n"
                  f"Content-Length: {len(head) + (1 << 20)}\r\n\r\n".encode() + head)
        s.sendall(salted(256 << 10, 8))
        time.sleep(0.3)  # let the program start spooling
    check_no_new_spool(before, "aborted upload", seconds=10)
    check(not os.path.exists(stored_path(TAG, "cut.sff")), "aborted upload was stored")


def main():
    kind, programs, conf = sys.argv[1], sys.argv[2:4], sys.argv[4] if len(sys.argv) > 4 else None
    bounded(180)
    started = time.monotonic()
    with Server(kind, programs, conf) as server:
        for case in cases():
            t = time.monotonic()
            run_case(server, server.dir, *case)
            print(f"ok   {case[0]} ({time.monotonic() - t:.2f} s)", flush=True)
        t = time.monotonic()
        aborted_upload(server)
        print(f"ok   aborted upload ({time.monotonic() - t:.2f} s)")
    print(f"{kind}: all passed in {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    main()
