#!/usr/bin/env python3
"""Headless Chromium fills in the upload form served by lighttpd, picks a real file and submits it; the
document must be stored byte for byte and the browser must land on the fax-sending page.
Usage: browser.py FAXUPLOAD FAXSND INDEX_HTML LIGHTTPD_CONF_TEMPLATE

Chromium is driven through the DevTools protocol over --remote-debugging-pipe: JSON messages ended by a
NUL byte on file descriptors 3 (to the browser) and 4 (from it).
"""
import fcntl, json, os, select, subprocess, sys, time, urllib.parse

from e2e import (TAG, Server, bounded, check, check_no_new_spool, location, remove, salted, session_leader,
                 spool_files, stop, stored_path, write)

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run",
         "--remote-debugging-pipe", "--window-size=800,600", "about:blank"]


class Browser:
    def __init__(self, workdir):
        to_child, self.out = os.pipe()
        self.inp, from_child = os.pipe()

        def child():
            session_leader()
            a, b = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_child, from_child))
            os.dup2(a, 3)
            os.dup2(b, 4)

        # Its own TMPDIR: what the browser leaves there goes with the test's directory.
        with open(os.path.join(workdir, "chromium.log"), "wb") as log:
            self.proc = subprocess.Popen(
                ["chromium", f"--user-data-dir={os.path.join(workdir, 'profile')}", *FLAGS],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                env=dict(os.environ, TMPDIR=workdir), preexec_fn=child, pass_fds=(3, 4))
        os.close(to_child)
        os.close(from_child)
        self.buf, self.next_id, self.events, self.session = b"", 0, [], None

    def open_page(self):
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Page.enable")

    def close(self):
        stop(self.proc)
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

    def load(self, method, **params):
        """Calls `method` and waits until the page it leads to has loaded."""
        self.events.clear()
        self.call(method, **params)
        end = time.monotonic() + 30
        while not any(e["method"] == "Page.loadEventFired" for e in self.events):
            self.events.append(self._receive(max(0.0, end - time.monotonic())))

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")


def main():
    upload, faxsnd, index_html, conf = sys.argv[1:5]
    bounded(120)
    started, receiver, filename = time.monotonic(), f"+49 30 {TAG}", f"{TAG} letter.sff"
    path, data = stored_path(receiver, filename), salted(200 << 10, 9)
    before = spool_files()
    with Server("lighttpd", [upload, faxsnd], conf, index_html) as server:
        document = write(os.path.join(server.dir, filename), data)
        browser = Browser(server.dir)
        try:
            browser.open_page()
            browser.load("Page.navigate", url=server.base)
            check(browser.evaluate("document.title") == "Fax upload", "the form page did not load")
            browser.evaluate("document.getElementById('fxreceiver').focus()")
            browser.call("Input.insertText", text=receiver)
            root = browser.call("DOM.getDocument")["root"]["nodeId"]
            node = browser.call("DOM.querySelector", nodeId=root, selector="#fxdatei")["nodeId"]
            browser.call("DOM.setFileInputFiles", nodeId=node, files=[document])
            browser.load("Runtime.evaluate", expression="document.getElementById('send').click()")
            href = browser.evaluate("location.href")
            check(href == urllib.parse.urljoin(server.base, location(path)), f"browser landed on {href}")
            text = browser.evaluate("document.body.innerText")
            check("was stored" in text and receiver in text and filename in text
                  and f"{len(data)} bytes" in text, f"fax page shows: {text}")
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
