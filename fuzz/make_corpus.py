#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the edge cases the
tests know: one file per seed, named after what it holds."""
import os, re, shutil


def body(boundary, parts, end=True):
    b = b""
    for name, value, filename in parts:
        b += b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"" + name + b"\""
        if filename is not None:
            b += b"; filename=\"" + filename + b"\"\r\nContent-Type: application/octet-stream"
        b += b"\r\n\r\n" + value + b"\r\n"
    return b + (b"--" + boundary + b"--\r\n" if end else b"")


def mp(flags, parts, end=True, boundary=b"XyZ"):
    """A multipart seed: flags, the boundary value, and a body of `parts`."""
    return bytes([flags]) + boundary + b"\n" + body(b"--" + boundary, parts, end)


FORM = [(b"fxreceiver", b"123", None), (b"fxdatei", b"%PDF data", b"fax.sff")]

SEEDS = {
    "decode": {
        "empty": b"", "plain": b"no escapes here", "escapes": b"a%41b%2b%2B%e4%E4%FF", "plus": b"a+b",
        "malformed": b"%zz%G1%4z100%", "double": b"%%41", "nul": b"a%00b", "trailing": b"abc%41%42%4",
    },
    # flags byte (bit 0: well-formed single file; bits 1-3: buffer size; bit 4:
    # that file's data repeated past 300 KiB), boundary value, line feed, body
    "multipart": {
        "upload": mp(0, FORM),
        "split-delimiter": mp(2, [(b"f", b"a\r\n-\r\nb\r", b"x")]),
        "delimiter-with-tail": mp(4, [(b"f", b"d", b"x")]).replace(b"d\r\n--XyZ\r\n", b"d\r\n--XyZabc\r\n"),
        "empty-file": mp(6, [(b"f", b"", b"x")]),
        "nul-data": mp(8, [(b"f", b"a\x00b", b"x")]),
        "truncated-file": mp(10, [(b"f", b"abc\r\n--X", b"x")], end=False)[:-2],
        "truncated-value": mp(12, [(b"v", b"l1\r\nl2", None)], end=False)[:-2],
        "no-name": b"\x0eXyZ\n--XyZ\r\nContent-Disposition: form-data; filename=\"f\"\r\n\r\nx\r\n--XyZ--\r\n",
        "same-name": mp(0, [(b"a", b"x", None), (b"a", b"y", None), (b"f", b"1", b"p"), (b"f", b"2", b"q")]),
        "file-names": mp(0, [(b"f", b"1", b"D:/dir/letter.sff"), (b"g", b"2", b"D:\\dir\\l.sff"),
                             (b"h", b"3", b"dir/"), (b"i", b"4", b"a%2Fb.sff"), (b"j", b"5", b"")]),
        "keywords": b"\x00XyZ\n--XyZ\r\ncontent-disposition: FORM-DATA; name=\"a\"\r\n"
                    b"CONTENT-TYPE: text/plain\r\n\r\n100%\r\nContent-Type: x\r\n%41\r\n--XyZ--\r\nepilogue\r\n",
        "unclosed-quote": b"\x00XyZ\n--XyZ\r\nContent-Disposition: form-data; name=\"a\r\n\r\nv\r\n--XyZ--\r\n",
        "high-boundary": mp(0, [(b"f", b"data", b"x")], boundary=b"\xe4\xff"),
        "preamble": b"\x00XyZ\npreamble\r\n\r\n" + body(b"--XyZ", FORM),
        "long-line": mp(0, [(b"v", b"L" * 300, None)]),
        "well-formed": b"\x01XyZ\npayload \r\n--XyZ not quite\r\n-",
        "well-formed-cr": b"\x03XyZ\nends in CR\r",
        "well-formed-empty": b"\x05XyZ\n",
        "well-formed-nul": b"\x07XyZ\n\x00\x00\r\n\x00--",
        # A piece of the portable spool full up to "\r\n", then a delimiter broken
        "well-formed-piece-end": b"\x11XyZ\n" + b"x" * 16381 + b"\r\n--XyQ",
        "well-formed-lines": b"\x1fXyZ\nline\x00\r\n--X\n\r",
    },
    # mode byte (0 GET, 1 POST, 2 console, 3 multipart through CONTENT_TYPE)
    "form": {
        "get-repeat": b"\x00a=1&a=2&%61=3", "get-skip": b"\x00a&b=2&=x&c=", "get-equals": b"\x00a=b=c&d=%zz",
        "get-plus": b"\x00a+b=c+d&e=%2B&f=%26b", "get-semicolon": b"\x00a=1;b=2&c=3;d=4",
        "get-empty-pairs": b"\x00&a=1&&b=2&", "get-nul": b"\x00a=%00b&c%00d=e",
        "post-short": b"\x013\na=12345", "post-line": b"\x0110\na=1\nb=2", "post-zero": b"\x010\na=1",
        "post-negative": b"\x01-5\na=1", "post-text": b"\x01abc\na=1", "post-huge": b"\x012147483648\na=1",
        "post-space": b"\x01 +7\na=1&b=2", "post-empty-body": b"\x015\n",
        "console": b"\x02a=1\nb=2\n", "console-crlf": b"\x02a=1\r\nb=2", "console-empty-line": b"\x02\n",
        "console-long": b"\x02a=" + b"v" * 248 + b"\n", "console-nul": b"\x02a=1\x00junk\nb=2\n",
        "multipart": b"\x03multipart/form-data; boundary=XyZ\n" + body(b"--XyZ", FORM),
        "multipart-quoted": b"\x03multipart/form-data; boundary=\"XyZ\"\n" + body(b"--XyZ", FORM),
        "multipart-params": b"\x03multipart/form-data; boundary=XyZ; charset=utf-8\n" + body(b"--XyZ", FORM),
        "multipart-no-boundary": b"\x03multipart/form-data\na=1&b=2",
    },
    "cookies": {
        "empty": b"", "separators": b" ;;, ", "plain": b"a=1; b=2", "comma": b"a=1, b=2",
        "spaces": b"a=1 ; b=2", "equals": b"a = = 1; a b=1; a=b=c", "nameless": b"a; b=2; =x",
        "quoted": b"a=\"x;y\"z; b=2", "unclosed": b"a=\"xyz", "empty-quotes": b"a=\"\"",
        "rfc2109": b"$Version=1; a=1; $Path=/; b=2; $Domain=d", "late-version": b"a=1; b=2; $Version=1; c=3",
        "versions": b"$VERSION=2; a=1; $Versions=3; $Pat=1; b=2", "attributes-only": b"$Path=/",
        "port": b"$Port=80", "repeated": b"a=1; $Path=/; $Path=/y; $Path=; x=1;x=2", "tab": b"a\t=1",
    },
    # NUL-separated: content type, redirect URL, text, then header name/value pairs
    "response": {
        "plain": b"text/plain\x00http://h/p?a=1&b=2\x00<b>&amp;\"q\"\x00X-A\x00v",
        "crlf": b"text/html\r\nX-Evil: 1\x00/x\r\nSet-Cookie: a=1\x00a\r\nb\x00X-B: c\x00v\r\nX-C: d",
        "cut-names": b"\x00\x00\x00 lead\x00v\x00:colon\x00v\x00\r\x00v\x00n\x00\n",
        "quotes": b"a\x00\"><script>\x00&&&<<<>>>\x00N\x00", "empty": b"",
    },
}

for target, seeds in SEEDS.items():
    d = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    for name, data in seeds.items():
        assert re.fullmatch(r"[a-z0-9-]+", name)
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)
