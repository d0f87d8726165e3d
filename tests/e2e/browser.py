#!/usr/bin/env python3
"""Headless Chromium fills in the upload form served by lighttpd, picks a real
file and submits it; the document must be stored byte for byte and the browser
must land on the fax-sending page.

Usage: browser.py FAXUPLOAD FAXSND INDEX_HTML LIGHTTPD_CONF_TEMPLATE [SCREENSHOT_DIR]

Chromium is driven through the DevTools protocol over --remote-debugging-pipe:
JSON messages ended by a NUL byte on file descriptors 3 (to the browser) and 4
(from it).
"""
import base64
import fcntl
import json
import os
import select
import subprocess
import sys
import time
import urllib.parse

from e2e import (Server, answer, bounded, check, check_no_new_spool, die_with_parent, private_tmp,
                 remove, salted, spool_files, stop, stored_path)

TAG = f"e2e{os.getpid()}"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run",
         "--remote-debugging-pipe", "--window-size=800,600", "about:blank"]


class Browser:
    def __init__(self, workdir):
        to_child, self.out = os.pipe()
        self.inp, from_child = os.pipe()

        def child():
            die_with_parent()
            os.setsid()  # its helper processes form one group, stopped together
            a = fcntl.fcntl(to_child, fcntl.F_DUPFD, 10)
            b = fcntl.fcntl(from_child, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)

        # Its own TMPDIR: what the browser leaves there goes with the test's directory.
        env = dict(os.environ, TMPDIR=workdir)
        with open(os.path.join(workdir, "chromium.log"), "wb") as log:
            self.proc = subprocess.Popen(
                ["chromium", f"--user-data-dir={os.path.join(workdir, 'profile')}", *FLAGS],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log, env=env,
                preexec_fn=child, pass_fds=(3, 4))
        os.close(to_child)
        os.close(from_child)
        self.buf = b""
        self.next_id = 0
        self.events = []
        self.session = None

    def close(self):
        try:
            os.write(self.out, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
            self.proc.wait(5)
        except (OSError, subprocess.TimeoutExpired):
            pass
        stop(self.proc, group=True)
        os.close(self.out)
        os.close(self.inp)

    def _receive(self, seconds=30):
        end = time.monotonic() + seconds
        while b"\0" not in self.buf:
            left = end - time.monotonic()
            check(left > 0 and select.select([self.inp], [], [], left)[0], "browser is silent")
            chunk = os.read(self.inp, 1 << 16)
            check(chunk, "browser went away")
            self.buf += chunk
        msg, _, self.buf = self.buf.partition(b"\0")
        return json.loads(msg)

    def call(self, method, **params):
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            msg["sessionId"] = self.session
        os.write(self.out, json.dumps(msg).encode() + b"\0")
        while True:
            reply = self._receive()
            if reply.get("id") == self.next_id:
                check("error" not in reply, f"{method}: {reply.get('error')}")
                return reply["result"]
            if "method" in reply:
                self.events.append(reply)

    def wait_event(self, method, seconds=30):
        end = time.monotonic() + seconds
        while True:
            for i, e in enumerate(self.events):
                if e["method"] == method:
                    return self.events.pop(i)
            self.events.append(self._receive(max(0.0, end - time.monotonic())))

    def open_page(self):
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Page.enable")

    def navigate(self, url):
        self.events.clear()
        self.call("Page.navigate", url=url)
        self.wait_event("Page.loadEventFired")

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression,
                         returnByValue=True)["result"].get("value")

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"]))


def main():
    upload, faxsnd, index_html, conf = sys.argv[1:5]
    shots = sys.argv[5] if len(sys.argv) > 5 else None
    private_tmp()
    bounded(120)
    started = time.monotonic()
    receiver = f"+49 30 {TAG}"
    filename = f"{TAG} letter.sff"
    path = stored_path(receiver, filename)
    data = salted(200 << 10, 9)
    before = spool_files()
    with Server("lighttpd", [upload, faxsnd], conf, index_html) as server:
        document = os.path.join(server.dir, filename)
        with open(document, "wb") as f:
            f.write(data)
        browser = Browser(server.dir)
        try:
            browser.open_page()
            browser.navigate(server.base)
            check(browser.evaluate("document.title") == "Fax upload", "the form page did not load")

            browser.evaluate("document.getElementById('fxreceiver').focus()")
            browser.call("Input.insertText", text=receiver)
            root = browser.call("DOM.getDocument")["root"]["nodeId"]
            node = browser.call("DOM.querySelector", nodeId=root, selector="#fxdatei")["nodeId"]
            browser.call("DOM.setFileInputFiles", nodeId=node, files=[document])
            if shots:
                browser.screenshot(os.path.join(shots, "form.png"))

            browser.events.clear()
            browser.evaluate("document.getElementById('send').click()")
            browser.wait_event("Page.loadEventFired")
            href = browser.evaluate("location.href")
            location = answer(path).decode()[len("Location: "):-2]
            check(href == urllib.parse.urljoin(server.base + "faxupload.cgi", location),
                  f"browser landed on {href}")
            text = browser.evaluate("document.body.innerText")
            check("was stored" in text and receiver in text and filename in text
                  and f"{len(data)} bytes" in text, f"fax page shows: {text}")
            if shots:
                browser.screenshot(os.path.join(shots, "result.png"))
        finally:
            browser.close()
    try:
        with open(path, "rb") as f:
            check(f.read() == data, f"{path} differs from the uploaded file")
    finally:
        remove(path)
    check_no_new_spool(before, "browser upload")
    print(f"browser: passed in {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    main()
