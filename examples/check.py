#!/usr/bin/env python3
"""The installed tree as a user meets it.  Usage: check.py install|examples WORK_DIR CMAKE BUILD_DIR CC CXX [FLAGS]
(FLAGS go to every compile and link, e.g. the build's sanitizer options)

Both install the build tree into WORK_DIR/prefix.  install: the files are there, and a C and a C++ program
(tests/install) build against them and run, through pkg-config and through find_package.  examples: the manual
pages render, the examples build through pkg-config (examples/Makefile), lighttpd serves them on 127.0.0.1 to
curl, hostile input included, and each runs once more outside the server under valgrind (or, with FLAGS, under
the sanitizer's leak checker).  Spool files that appear during the run must be gone at its end.
"""
import os, shutil, subprocess, sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from e2e import Server, bounded, case, check, check_no_new_spool, split_reply, spool_files, write  # noqa: E402

mode, work, cmake, build, cc, cxx = sys.argv[1:7]
flags = sys.argv[7] if len(sys.argv) > 7 else ""
prefix, bindir, consumer = f"{work}/prefix", f"{work}/bin", os.path.join(ROOT, "tests", "install")
pkg_config = dict(os.environ, PKG_CONFIG_PATH=f"{prefix}/lib/pkgconfig")
MAN = [f"man3/{p}.3" for p in ("ostrel ostrel_request ostrel_readers ostrel_decode ostrel_cookies ostrel_response "
                               "ostrel_trace cgi_get_upload cgi_read_request").split()] + ["man8/faxupload.cgi.8"]
INSTALLED = ["include/cgi/cgi.h", "lib/libostrel.a", "lib/pkgconfig/ostrel.pc", "libexec/cgi-bin/faxupload.cgi",
             *(f"lib/cmake/ostrel/ostrel{n}.cmake" for n in ("Config", "ConfigVersion", "Targets")),
             *(f"share/man/{p}" for p in MAN)]
failed = []
shutil.rmtree(work, ignore_errors=True)
os.makedirs(bindir)


def sh(*argv, **kw):
    """Runs a command that must succeed; its output."""
    r = subprocess.run(argv, capture_output=True, **kw)
    check(r.returncode == 0, f"{' '.join(argv)}: exit status {r.returncode}\n{(r.stdout + r.stderr).decode()}")
    return r.stdout.decode(errors="replace")


def installed():
    for f in INSTALLED:
        check(os.path.isfile(f"{prefix}/{f}"), f"not installed: {f}")
    check(os.access(f"{prefix}/libexec/cgi-bin/faxupload.cgi", os.X_OK), "faxupload.cgi not executable")


def consumers():
    cflags, libs = (sh("pkg-config", opt, "ostrel", env=pkg_config).split() for opt in ("--cflags", "--libs"))
    # The C program is linked by the C driver: no C++ runtime comes along unless ostrel.pc asks.
    sh(cc, *flags.split(), *cflags, "-o", f"{work}/pc_c", f"{consumer}/consumer.c", *libs)
    sh(cxx, *flags.split(), *cflags, "-o", f"{work}/pc_cpp", f"{consumer}/consumer.cpp", *libs)
    # find_package(ostrel) and the imported target ostrel::ostrel.
    sh(cmake, "-S", consumer, "-B", f"{work}/consumer", f"-DCMAKE_PREFIX_PATH={prefix}", f"-DCMAKE_C_COMPILER={cc}",
       f"-DCMAKE_CXX_COMPILER={cxx}", f"-DCMAKE_C_FLAGS={flags}", f"-DCMAKE_CXX_FLAGS={flags}",
       f"-DCMAKE_EXE_LINKER_FLAGS={flags}")
    sh(cmake, "--build", f"{work}/consumer")
    for program in ("pc_c", "pc_cpp", "consumer/consumer_c", "consumer/consumer_cpp"):
        said, expected = sh(f"{work}/{program}").strip(), "c++ consumer ok" if "cpp" in program else "c consumer ok"
        check(said == expected, f"{program} printed {said!r}")


def man_pages():
    """man finds each page through MANPATH and renders it (a function's page
    through its .so link to the group page)."""
    env = dict(os.environ, MANPATH=f"{prefix}/share/man", MANPAGER="cat", MANWIDTH="80")
    for page in MAN:
        text = sh("man", os.path.basename(page).rsplit(".", 1)[0], env=env)
        check(text.count("\n") > 20, f"{page} rendered: {text}")


def request(server, status, path, args, expect):
    """Asks with curl: the status, then each text of `expect` in the body
    ("!text": not in the body; "^text": in the header block)."""
    r = subprocess.run(["curl", "-sS", "-i", "--max-time", "30", *args, server.base + path], capture_output=True)
    check(r.returncode == 0, f"curl: {r.stderr.decode(errors='replace')}")
    line, rest = split_reply(r.stdout)
    head, _, body = rest.partition(b"\r\n\r\n")
    check(line.split(b" ")[1] == str(status).encode(), f"answered {line!r}, not {status}")
    for text in expect:
        where, present = (head, True) if text[0] == "^" else (body, text[0] != "!")
        text = text.lstrip("^!")
        check((text.encode() in where) == present, f"{'header' if where is head else 'body'} "
              f"{'lacks' if present else 'holds'}: {text}")


# Multipart bodies written by hand, for what curl will not send: an empty
# file input, a part without a type, a body cut short.
crlf = "\r\n".join
EMPTY = write(f"{work}/empty.body", crlf((
    "--XyZ", 'Content-Disposition: form-data; name="none"; filename=""', "Content-Type: application/octet-stream",
    "", "", "--XyZ", 'Content-Disposition: form-data; name="zero"; filename="empty.txt"', "Content-Type: text/plain",
    "", "", "--XyZ", 'Content-Disposition: form-data; name="plain"; filename="t<y>pe"', "", "data", "--XyZ--", ""
)).encode())
CUT = write(f"{work}/cut.body", crlf((
    "--XyZ", 'Content-Disposition: form-data; name="note"', "", "cut",
    "--XyZ", 'Content-Disposition: form-data; name="file"; filename="cut.bin"', "", "")).encode() + os.urandom(100000))
MULTIPART = ("-H", "Content-Type: multipart/form-data; boundary=XyZ")
JAR = ("-c", f"{work}/jar", "-b", f"{work}/jar")
# (name, status, path, curl arguments, expected texts as request() reads them)
REQUESTS = [
    ("form-get-markup", 200, "form.cgi?name=%3Cscript%3Ealert(1)%3C%2Fscript%3E&note=a%26b%22c", (),
     ["Hello, &lt;script&gt;alert(1)&lt;/script&gt;.", '<dt>note</dt><dd>a&amp;b"c</dd>', "!<script>",
      "^Content-type: text/html; charset=utf-8"]),
    ("form-post-markup", 200, "form.cgi", ("--data-urlencode", "name=<i>Zoë</i>",
                                           "--data-urlencode", "note=</textarea><b>&amp;"),
     ["Hello, &lt;i&gt;Zoë&lt;/i&gt;.", "<dd>&lt;/textarea&gt;&lt;b&gt;&amp;amp;</dd>", "!<i>"]),
    ("form-multipart", 200, "form.cgi", ("--form-string", "name=<b>x</b>", "--form-string", "note=two words"),
     ["Hello, &lt;b&gt;x&lt;/b&gt;.", "<dd>two words</dd>"]),
    ("form-markup-in-name", 200, "form.cgi?%3Cimg%20src%3Dx%3E=1", (),
     ["<dt>&lt;img src=x&gt;</dt><dd>1</dd>", "!<img"]),
    ("form-missing-field", 200, "form.cgi?note=only", (), ["Hello, stranger.", "<dt>note</dt><dd>only</dd>"]),
    ("form-empty-value", 200, "form.cgi?name=", (), ["Hello, stranger.", "<dt>name</dt><dd></dd>"]),
    ("form-no-input", 200, "form.cgi", (), ["Hello, stranger.", "No fields."]),
    ("form-post-empty", 200, "form.cgi", ("--data", ""), ["No fields."]),
    ("form-head", 405, "form.cgi", ("--head",), ["^Allow: GET, POST"]),
    ("upload-two", 200, "upload.cgi", ("--form-string", "note=<x>", "-F", f"file=@{work}/a.txt;type=text/plain", "-F",
                                       f"file=@{work}/big.bin;filename=dir/evil<b>.bin;type=application/octet-stream"),
     ["Note: &lt;x&gt;", "<tr><td>file</td><td>a.txt</td><td>text/plain</td><td>5</td></tr>",
      "<tr><td>file</td><td>evil&lt;b&gt;.bin</td><td>application/octet-stream</td><td>1048576</td></tr>",
      "!dir/", "!<b>"]),
    ("upload-empty", 200, "upload.cgi", (*MULTIPART, "--data-binary", "@" + EMPTY),
     ["<tr><td>zero</td><td>empty.txt</td><td>text/plain</td><td>0</td></tr>",
      "<tr><td>plain</td><td>t&lt;y&gt;pe</td><td>unknown</td><td>4</td></tr>", "!<td>none</td>"]),
    ("upload-cut-short", 200, "upload.cgi", (*MULTIPART, "--data-binary", "@" + CUT), ["Note: cut", "No files."]),
    ("upload-no-input", 200, "upload.cgi", (), ["No files.", 'enctype="multipart/form-data"']),
    ("visits-first", 200, "visits.cgi", (),
     ["Visit number 1.", "^Set-Cookie: visits=1; Path=/; Max-Age=31536000; HttpOnly"]),
    *((f"visits-jar-{n}", 200, "visits.cgi", JAR, []) for n in (1, 2)),
    ("visits-jar-3", 200, "visits.cgi", JAR, ["Visit number 3.", "^Set-Cookie: visits=3;"]),
    ("visits-among-others", 200, "visits.cgi?page=2", ("-b", "theme=dark; visits=41; lang=de"),
     ["Visit number 42."]),
    *((f"visits-hostile-cookie-{n}", 200, "visits.cgi", ("-b", "visits=" + bad), ["Visit number 1.", "!<script>"])
      for n, bad in enumerate(["<script>alert(1)</script>", "99999999999999999999", "-5", "12abc", ""], 1)),
]
# (name, program, standard input, environment): each must exit 0 without a leak
# under the checker.  The line reader's buffer stays reachable by design: not a leak.
POST = dict(REQUEST_METHOD="POST", CONTENT_TYPE="multipart/form-data; boundary=XyZ")
RUNS = [
    ("leaks-form", "form.cgi", os.devnull,
     dict(REQUEST_METHOD="GET", QUERY_STRING="name=%3Cb%3E&name=2&x=", HTTP_COOKIE="a=1")),
    ("leaks-upload", "upload.cgi", EMPTY, dict(POST, CONTENT_LENGTH=str(os.path.getsize(EMPTY)))),
    ("leaks-upload-cut", "upload.cgi", CUT, dict(POST, CONTENT_LENGTH=str(os.path.getsize(CUT)))),
    ("leaks-visits", "visits.cgi", os.devnull, dict(REQUEST_METHOD="GET", HTTP_COOKIE='$Version=1; visits=3; x="y"')),
    ("leaks-visits-query", "visits.cgi", os.devnull,
     dict(REQUEST_METHOD="GET", QUERY_STRING="a=1", HTTP_COOKIE="visits=3")),
]
# A sanitizer build fails the program on a leak itself.
CHECKER = [] if flags or not shutil.which("valgrind") else [
    "valgrind", "--quiet", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99"]


def run(program, stdin, env):
    with open(stdin, "rb") as f:
        sh(*CHECKER, f"{bindir}/{program}", stdin=f, env=dict(env, PATH=os.environ["PATH"]))


def examples():
    write(f"{work}/a.txt", b"hello")
    write(f"{work}/big.bin", os.urandom(1 << 20))
    programs = [f"{bindir}/{p}.cgi" for p in ("form", "upload", "visits")]
    with Server("lighttpd", programs, os.path.join(ROOT, "demo", "lighttpd.conf.in")) as server:
        for name, *request_args in REQUESTS:
            case(failed, name, request, server, *request_args)
        if failed:
            print(server.read_log())
    for name, *run_args in RUNS:
        case(failed, name, run, *run_args)


bounded(280)
before = spool_files()
sh(cmake, "--install", build, "--prefix", prefix)
case(failed, "installed", installed)
if mode == "install":
    case(failed, "C and C++ programs built through pkg-config and find_package", consumers)
else:
    case(failed, "manual pages rendered", man_pages)
    case(failed, "examples built with pkg-config", sh, "make", "-s", "-C", bindir, "-f", f"{HERE}/Makefile",
         f"SRCDIR={HERE}", f"CC={cc}", f"CFLAGS=-O2 -Werror {flags}", f"LDFLAGS={flags}", env=pkg_config)
    if not failed:
        examples()
    case(failed, "spool files", check_no_new_spool, before, "examples")
print(f"{mode}: {'failed: ' + ', '.join(failed) if failed else 'passed'}")
sys.exit(1 if failed else 0)
