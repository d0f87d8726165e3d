#!/bin/sh
# The examples as a user meets them: the build tree installed into a scratch
# prefix, the programs built from it through pkg-config (examples/Makefile),
# then served by lighttpd with mod_cgi on 127.0.0.1 and driven with curl,
# hostile input included.  Each program also runs once more outside the
# server under valgrind (or, in a sanitizer build, under its leak checker).
# Spool files /tmp/ostrel* that appear during the run must be gone at its end.
# Usage: check.sh <cmake> <build-dir> <work-dir> <cc> [flags]
# (flags go to every compile and link, e.g. the build's sanitizer options)
set -eu
cmake=$1 build=$2 work=$3 cc=$4 flags=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
prefix=$work/prefix
www=$work/www
out=$work/out
failed=0 passed=0 case_failed=0
pid=""

rm -rf "$work"
mkdir -p "$work/bin" "$www" "$out"

spool_files() {
    for f in /tmp/ostrel*; do
        [ -e "$f" ] && echo "$f"
    done | sort
    return 0
}
spool_files >"$work/spool.before"

fail() {
    echo "FAIL $case: $*"
    case_failed=1
}

# --- installation --------------------------------------------------------------
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"
for page in man3/ostrel.3 man3/ostrel_request.3 man3/ostrel_readers.3 man3/ostrel_decode.3 \
    man3/ostrel_cookies.3 man3/ostrel_response.3 man3/ostrel_trace.3 man3/cgi_get_upload.3 \
    man8/faxupload.cgi.8; do
    [ -f "$prefix/share/man/$page" ] || { echo "not installed: share/man/$page"; exit 1; }
done
# man finds the pages through MANPATH and renders each (a function's page
# through its .so link to the group page).
for name in ostrel ostrel_request ostrel_readers ostrel_decode ostrel_cookies \
    ostrel_response ostrel_trace cgi_get_upload faxupload.cgi; do
    text=$(MANPATH="$prefix/share/man" MANPAGER=cat MANWIDTH=80 man "$name" 2>&1) ||
        { echo "man $name: $text"; exit 1; }
    [ "$(echo "$text" | wc -l)" -gt 20 ] || { echo "man $name rendered: $text"; exit 1; }
done
echo "ok   manual pages installed and rendered"

# --- build through pkg-config --------------------------------------------------
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" make -s -C "$work/bin" -f "$here/Makefile" \
    SRCDIR="$here" CC="$cc" CFLAGS="-O2 -Werror $flags" LDFLAGS="$flags" >"$work/make.log" 2>&1 ||
    { cat "$work/make.log"; exit 1; }
for p in form upload visits; do
    ln -s "$work/bin/$p.cgi" "$www/$p.cgi"
done
echo "ok   examples built with pkg-config"

# --- lighttpd ----------------------------------------------------------------------
stop_server() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        pid=""
    fi
}
trap stop_server EXIT
trap 'exit 1' HUP INT TERM

start_server() {
    for attempt in 1 2 3; do
        port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        sed -e "s|@DOCROOT@|$www|" -e "s|@PORT@|$port|" -e "s|@STATEDIR@|$work|g" \
            "$root/demo/lighttpd.conf.in" >"$work/lighttpd.conf"
        # setpriv: the kernel ends the server should this script be killed.
        setpriv --pdeathsig TERM lighttpd -D -f "$work/lighttpd.conf" </dev/null \
            >>"$work/server.log" 2>&1 &
        pid=$!
        i=0
        while [ $i -lt 100 ] && kill -0 "$pid" 2>/dev/null; do
            curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/" && return 0
            sleep 0.1
            i=$((i + 1))
        done
        stop_server # the port may have been taken in between: another one
    done
    echo "lighttpd did not start (attempt $attempt):"
    cat "$work/server.log" "$work/error.log" 2>/dev/null
    exit 1
}
start_server
base="http://127.0.0.1:$port"

# request <case> <expected status> <path> [curl arguments]: the answer's
# header block goes to $out/<case>.head, its body to $out/<case>.body.
request() {
    case=$1 status=$2 path=$3 case_failed=0
    shift 3
    code=$(curl -sS --max-time 30 -D "$out/$case.head" -o "$out/$case.body" \
        -w '%{http_code}' "$@" "$base/$path") || { fail "curl failed"; return 0; }
    [ "$code" = "$status" ] || fail "status $code, expected $status"
}
has() { # has <what> <text>: the body contains text
    grep -qF -- "$2" "$out/$case.$1" || fail "$1 lacks: $2"
}
lacks() {
    ! grep -qF -- "$2" "$out/$case.$1" || fail "$1 holds: $2"
}
done_case() {
    if [ "$case_failed" -eq 0 ]; then
        echo "ok   $case"
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
}

# A multipart body written by hand, for what curl will not send: an empty
# file input, a part without a type, a body cut short.
crlf() { printf '%s\r\n' "$@"; }

# --- form.cgi -----------------------------------------------------------------------
request form-get-markup 200 "form.cgi?name=%3Cscript%3Ealert(1)%3C%2Fscript%3E&note=a%26b%22c"
has body 'Hello, &lt;script&gt;alert(1)&lt;/script&gt;.'
has body '<dt>note</dt><dd>a&amp;b"c</dd>'
lacks body '<script>'
has head 'Content-type: text/html; charset=utf-8'
done_case

request form-post-markup 200 form.cgi --data-urlencode 'name=<i>Zoë</i>' \
    --data-urlencode 'note=</textarea><b>&amp;'
has body 'Hello, &lt;i&gt;Zoë&lt;/i&gt;.'
has body '<dd>&lt;/textarea&gt;&lt;b&gt;&amp;amp;</dd>'
lacks body '<i>'
done_case

request form-multipart 200 form.cgi --form-string 'name=<b>x</b>' --form-string 'note=two words'
has body 'Hello, &lt;b&gt;x&lt;/b&gt;.'
has body '<dd>two words</dd>'
done_case

request form-markup-in-name 200 'form.cgi?%3Cimg%20src%3Dx%3E=1'
has body '<dt>&lt;img src=x&gt;</dt><dd>1</dd>'
lacks body '<img'
done_case

request form-missing-field 200 'form.cgi?note=only'
has body 'Hello, stranger.'
has body '<dt>note</dt><dd>only</dd>'
done_case

request form-empty-value 200 'form.cgi?name='
has body 'Hello, stranger.'
has body '<dt>name</dt><dd></dd>'
done_case

request form-no-input 200 form.cgi
has body 'Hello, stranger.'
has body 'No fields.'
done_case

request form-post-empty 200 form.cgi --data ''
has body 'No fields.'
done_case

request form-head 405 form.cgi --head
has head 'Allow: GET, POST'
done_case

# --- upload.cgi ------------------------------------------------------------------
printf 'hello' >"$work/a.txt"
head -c 1048576 /dev/urandom >"$work/big.bin"
request upload-two 200 upload.cgi --form-string 'note=<x>' \
    -F "file=@$work/a.txt;type=text/plain" \
    -F "file=@$work/big.bin;filename=dir/evil<b>.bin;type=application/octet-stream"
has body 'Note: &lt;x&gt;'
has body '<tr><td>file</td><td>a.txt</td><td>text/plain</td><td>5</td></tr>'
has body '<tr><td>file</td><td>evil&lt;b&gt;.bin</td><td>application/octet-stream</td><td>1048576</td></tr>'
lacks body 'dir/'
lacks body '<b>'
done_case

{
    crlf '--XyZ' 'Content-Disposition: form-data; name="none"; filename=""' \
        'Content-Type: application/octet-stream' '' ''
    crlf '--XyZ' 'Content-Disposition: form-data; name="zero"; filename="empty.txt"' \
        'Content-Type: text/plain' '' ''
    crlf '--XyZ' 'Content-Disposition: form-data; name="plain"; filename="t<y>pe"' '' 'data'
    crlf '--XyZ--'
} >"$work/empty.body"
request upload-empty 200 upload.cgi -H 'Content-Type: multipart/form-data; boundary=XyZ' \
    --data-binary "@$work/empty.body"
has body '<tr><td>zero</td><td>empty.txt</td><td>text/plain</td><td>0</td></tr>'
has body '<tr><td>plain</td><td>t&lt;y&gt;pe</td><td>unknown</td><td>4</td></tr>'
lacks body '<td>none</td>'
done_case

{
    crlf '--XyZ' 'Content-Disposition: form-data; name="note"' '' 'cut'
    crlf '--XyZ' 'Content-Disposition: form-data; name="file"; filename="cut.bin"' ''
    head -c 100000 /dev/urandom
} >"$work/cut.body"
request upload-cut-short 200 upload.cgi -H 'Content-Type: multipart/form-data; boundary=XyZ' \
    --data-binary "@$work/cut.body"
has body 'Note: cut'
has body 'No files.'
done_case

request upload-no-input 200 upload.cgi
has body 'No files.'
has body 'enctype="multipart/form-data"'
done_case

# --- visits.cgi --------------------------------------------------------------------
request visits-first 200 visits.cgi
has body 'Visit number 1.'
has head 'Set-Cookie: visits=1; Path=/; Max-Age=31536000; HttpOnly'
done_case

request visits-jar-1 200 visits.cgi -c "$work/jar" -b "$work/jar"
done_case
request visits-jar-2 200 visits.cgi -c "$work/jar" -b "$work/jar"
done_case
request visits-jar-3 200 visits.cgi -c "$work/jar" -b "$work/jar"
has body 'Visit number 3.'
has head 'Set-Cookie: visits=3;'
done_case

request visits-among-others 200 'visits.cgi?page=2' -b 'theme=dark; visits=41; lang=de'
has body 'Visit number 42.'
done_case

n=0
for bad in '<script>alert(1)</script>' '99999999999999999999' '-5' '12abc' ''; do
    n=$((n + 1))
    request "visits-hostile-cookie-$n" 200 visits.cgi -b "visits=$bad"
    has body 'Visit number 1.'
    lacks body '<script>'
    done_case
done

stop_server

# --- leaks, outside the server -------------------------------------------------
# run <case> <program> <stdin> VAR=value...: the program must exit 0 without
# a leak.  The line reader's buffer stays reachable by design: not a leak.
if [ -z "$flags" ] && command -v valgrind >/dev/null; then
    checker="valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=99"
else
    checker="" # a sanitizer build fails the program on a leak itself
fi
run() {
    case=$1 program=$2 input=$3 case_failed=0
    shift 3
    # shellcheck disable=SC2086 # the checker's words
    env -i PATH="$PATH" "$@" $checker "$work/bin/$program" <"$input" >"$out/$case.body" \
        2>"$out/$case.err" || fail "exit status $?: $(cat "$out/$case.err")"
    done_case
}
run leaks-form form.cgi /dev/null REQUEST_METHOD=GET 'QUERY_STRING=name=%3Cb%3E&name=2&x=' \
    HTTP_COOKIE='a=1'
run leaks-upload upload.cgi "$work/empty.body" REQUEST_METHOD=POST \
    'CONTENT_TYPE=multipart/form-data; boundary=XyZ' "CONTENT_LENGTH=$(wc -c <"$work/empty.body")"
run leaks-upload-cut upload.cgi "$work/cut.body" REQUEST_METHOD=POST \
    'CONTENT_TYPE=multipart/form-data; boundary=XyZ' "CONTENT_LENGTH=$(wc -c <"$work/cut.body")"
run leaks-visits visits.cgi /dev/null REQUEST_METHOD=GET 'HTTP_COOKIE=$Version=1; visits=3; x="y"'
run leaks-visits-query visits.cgi /dev/null REQUEST_METHOD=GET QUERY_STRING=a=1 HTTP_COOKIE=visits=3

# --- spool files ---------------------------------------------------------------------
# Other test runs on this machine make short-lived spool files of their own:
# what appeared during this run gets a few seconds' grace.
case=spool-files case_failed=0
i=0
while :; do
    spool_files | comm -13 "$work/spool.before" - >"$work/spool.left"
    [ -s "$work/spool.left" ] && [ $i -lt 30 ] || break
    sleep 0.1
    i=$((i + 1))
done
[ -s "$work/spool.left" ] && fail "left behind: $(tr '\n' ' ' <"$work/spool.left")"
done_case

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] || { cat "$work/error.log" 2>/dev/null; exit 1; }
