#!/usr/bin/env python3
"""Many uploads at once through lighttpd on 127.0.0.1.
Usage: load.py FAXUPLOAD FAXSND LIGHTTPD_CONF_TEMPLATE [COUNT] [SAME]

COUNT uploads of 1 MiB for distinct receivers, all in parallel; then SAME uploads in parallel for one
receiver and one file name.  Every request is answered, every stored file is complete and correct (for
the shared name: exactly one of the uploads, whole), and no spool file or temporary copy is left behind.
"""
import http.client, os, sys, threading, time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e import (BOUNDARY, HOST, TAG, Server, bounded, check, check_no_new_spool, form,  # noqa: E402
                 location, remove, salted, spool_files, stored_path)

SIZE = 1 << 20


def upload(server, start, receiver, filename, data):
    """Posts one form once all are ready; returns the seconds its answer took."""
    conn = http.client.HTTPConnection(HOST, server.port, timeout=120)
    start.wait()
    t = time.monotonic()
    try:
        conn.request("POST", "/faxupload.cgi", form(receiver, filename, data),
                     {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY})
        resp = conn.getresponse()
        resp.read()
        check(resp.status == 302, f"{receiver}: answered {resp.status}")
        where = resp.getheader("Location")
        check(where == location(stored_path(receiver, filename)), f"{receiver}: Location {where}")
        return time.monotonic() - t
    finally:
        conn.close()


def wave(server, jobs, what):
    """Runs (receiver, filename, data) uploads all at once."""
    start, t = threading.Barrier(len(jobs)), time.monotonic()
    with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        slowest = max(pool.map(lambda job: upload(server, start, *job), jobs))
    print(f"ok   {what} in parallel: {time.monotonic() - t:.1f} s, slowest answer {slowest:.1f} s", flush=True)


def main():
    programs, conf = sys.argv[1:3], sys.argv[3]
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 200
    same = int(sys.argv[5]) if len(sys.argv) > 5 else 50
    bounded(400)
    jobs = [(f"{TAG}-{i}", "doc.sff", salted(SIZE, i)) for i in range(count)]
    datas = [salted(SIZE, 10000 + j) for j in range(same)]
    paths = [stored_path(r, f) for r, f, _ in jobs] + [stored_path(f"{TAG}-same", "same.sff")]
    before = spool_files()
    try:
        with Server("lighttpd", programs, conf) as server:
            wave(server, jobs, f"{count} uploads of 1 MiB")
            for receiver, filename, data in jobs:
                with open(stored_path(receiver, filename), "rb") as f:
                    check(f.read() == data, f"{receiver}: stored file differs from the upload")
                remove(stored_path(receiver, filename))

            wave(server, [(f"{TAG}-same", "same.sff", d) for d in datas], f"{same} uploads of one name")
            with open(paths[-1], "rb") as f:
                stored = f.read()
            check(stored in datas, f"same name: the stored file ({len(stored)} bytes) is none of the uploads")
            print(f"ok   stored upload #{datas.index(stored)} of one name whole", flush=True)

            check_no_new_spool(before, "load", seconds=10)
            strays = [p for p in os.listdir("/tmp") if TAG in p and "/tmp/" + p not in paths]
            check(not strays, f"unexpected files under /tmp: {strays}")
    finally:
        for p in paths:
            remove(p)
    print(f"load: {count + same} uploads answered and stored correctly")


if __name__ == "__main__":
    main()
