#!/usr/bin/env python3
"""Many uploads at once through lighttpd on 127.0.0.1.

Usage: load.py FAXUPLOAD FAXSND LIGHTTPD_CONF_TEMPLATE [COUNT] [SAME]

COUNT uploads of 1 MiB for distinct receivers, all in parallel; then SAME
uploads in parallel for one receiver and one file name.  Every request is
answered, every stored file is complete and correct (for the shared name:
exactly one of the uploads, whole), and no spool file or temporary copy is
left behind.
"""
import glob
import http.client
import os
import sys
import threading
import time
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e import (BOUNDARY, HOST, Server, answer, bounded, check, check_no_new_spool, form,  # noqa: E402
                 private_tmp, remove, salted, stored_path)

TAG = f"load{os.getpid()}"
SIZE = 1 << 20


def upload(server, start, receiver, filename, data):
    """Posts one form once all are ready; returns (status, Location, seconds)."""
    payload = form(receiver, filename, data)
    conn = http.client.HTTPConnection(HOST, server.port, timeout=120)
    start.wait()
    t = time.monotonic()
    try:
        conn.request("POST", "/faxupload.cgi", payload,
                     {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY})
        resp = conn.getresponse()
        resp.read()
        return resp.status, resp.getheader("Location"), time.monotonic() - t
    finally:
        conn.close()


def expected_location(receiver, filename):
    return answer(stored_path(receiver, filename)).decode()[len("Location: "):-2]


def wave(server, jobs):
    """Runs (receiver, filename, data) uploads all at once."""
    start = threading.Barrier(len(jobs))
    with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        futures = [pool.submit(upload, server, start, *job) for job in jobs]
        return [f.result() for f in futures]


def leftovers(before):
    return sorted(set(glob.glob("/tmp/ostrel-store*")) - before)


def main():
    programs, conf = sys.argv[1:3], sys.argv[3]
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 200
    same = int(sys.argv[5]) if len(sys.argv) > 5 else 50
    private_tmp()
    bounded(400)
    paths = []
    try:
        with Server("lighttpd", programs, conf) as server:
            before_spool, before_store = set(glob.glob("/tmp/ostrel*")), set(glob.glob("/tmp/ostrel-store*"))

            jobs = [(f"{TAG}-{i}", "doc.sff", salted(SIZE, i)) for i in range(count)]
            paths += [stored_path(r, f) for r, f, _ in jobs]
            t = time.monotonic()
            results = wave(server, jobs)
            took = time.monotonic() - t
            for (receiver, filename, data), (status, location, _) in zip(jobs, results):
                check(status == 302, f"{receiver}: answered {status}")
                check(location == expected_location(receiver, filename), f"{receiver}: Location {location}")
                with open(stored_path(receiver, filename), "rb") as f:
                    check(f.read() == data, f"{receiver}: stored file differs from the upload")
            slowest = max(r[2] for r in results)
            print(f"ok   {count} uploads of 1 MiB in parallel: {took:.1f} s, slowest answer {slowest:.1f} s",
                  flush=True)
            for p in paths:
                remove(p)

            datas = [salted(SIZE, 10000 + j) for j in range(same)]
            receiver, filename = f"{TAG}-same", "same.sff"
            paths.append(stored_path(receiver, filename))
            t = time.monotonic()
            results = wave(server, [(receiver, filename, d) for d in datas])
            took = time.monotonic() - t
            for status, location, _ in results:
                check(status == 302, f"same name: answered {status}")
                check(location == expected_location(receiver, filename), f"same name: Location {location}")
            with open(stored_path(receiver, filename), "rb") as f:
                stored = f.read()
            check(len(stored) == SIZE, f"same name: stored {len(stored)} bytes, not {SIZE}")
            check(stored in datas, "same name: the stored file is none of the uploads")
            print(f"ok   {same} uploads of one name in parallel: {took:.1f} s, "
                  f"stored upload #{datas.index(stored)} whole", flush=True)

            check_no_new_spool(before_spool, "load", seconds=10)
            left = leftovers(before_store)
            check(not left, f"temporary copies left behind: {left}")
            strays = [p for p in os.listdir("/tmp") if TAG in p and "/tmp/" + p not in paths]
            check(not strays, f"unexpected files under /tmp: {strays}")
    finally:
        for p in paths:
            remove(p)
    print(f"load: {count + same} uploads answered and stored correctly")


if __name__ == "__main__":
    main()
