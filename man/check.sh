#!/bin/sh
# The manual pages: mandoc -Tlint reports nothing, every page that one of
# them refers to among ostrel's own exists, and every C program in an
# EXAMPLES section (and the README's) compiles without a warning and links
# against the build tree's library.
# Usage: check.sh <build-dir> <work-dir> <cc> [flags]
# (flags go to every compile and link, e.g. the build's sanitizer options)
set -eu
build=$1 work=$2 cc=$3 flags=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
status=0
rm -rf "$work"
mkdir -p "$work"

# Pages of this project are not installed where mandoc looks for them, so
# "referenced manual not found" for them is checked here instead.  Other
# packages' pages (lighttpd, busybox, syslog...) are absent from images that
# leave out /usr/share/man, and an outdated mandoc.db of the machine is no
# fault of the pages either: neither is checked.
pages=$(cd "$here" && ls ./*.[0-9] | sed 's|^\./||')
for page in $pages; do
    mandoc -Tlint "$here/$page" >"$work/lint" 2>&1 || true
    own=$(grep -o 'referenced manual not found: Xr [a-z_.]* [0-9]' "$work/lint" |
        awk '{ print $6 "." $7 }' || true)
    for ref in $own; do
        case $ref in
        ostrel*.3 | faxupload.cgi.8)
            [ -f "$here/$ref" ] || { echo "$page: refers to a missing page $ref"; status=1; } ;;
        esac
    done
    if grep -v -e 'STYLE: referenced manual not found: Xr ' \
        -e 'outdated mandoc.db lacks' "$work/lint" >"$work/lint.left"; then
        cat "$work/lint.left"
        status=1
    fi
done
[ $status -eq 0 ] && echo "ok   mandoc -Tlint: $(echo $pages | wc -w) pages"

# Each literal block of an EXAMPLES section that begins with #include is a
# whole C program: extracted with the roff escapes undone.
n=0
for page in $pages; do
    awk -v out="$work/${page%.*}" '
        /^\.Sh / { examples = ($2 == "EXAMPLES") }
        examples && /^\.Bd -literal/ { block = 1; text = ""; next }
        block && /^\.Ed/ {
            block = 0
            if (text ~ /^#include/) { n++; f = out "-" n ".c"; printf "%s", text > f; close(f) }
            next
        }
        block {
            gsub(/\\e/, "\\"); gsub(/\\&/, "")
            text = text $0 "\n"
        }' "$here/$page"
done
# And the program of the README's "Using the library".
awk -v out="$work/README" '
    /^```c$/ { block = 1; text = ""; next }
    block && /^```$/ { block = 0; n++; f = out "-" n ".c"; printf "%s", text > f; close(f); next }
    block { text = text $0 "\n" }' "$root/README.md"
for src in "$work"/*.c; do
    [ -e "$src" ] || continue
    n=$((n + 1))
    # shellcheck disable=SC2086 # flag lists
    if ! $cc -std=c99 -Wall -Wextra -Wpedantic -Werror $flags -I"$root" -o "${src%.c}" "$src" \
        "$build/libostrel.a" >"$src.log" 2>&1; then
        echo "EXAMPLES program $(basename "$src") does not build:"
        cat "$src.log"
        status=1
    fi
done
[ $n -gt 0 ] || { echo "no EXAMPLES program found"; status=1; }
[ $status -eq 0 ] && echo "ok   $n EXAMPLES and README programs built"
exit $status
