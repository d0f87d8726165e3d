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
status=0
rm -rf "$work"
mkdir -p "$work"

# mandoc cannot find this project's pages (not installed), so they are looked
# up here; other packages' pages (absent where /usr/share/man is left out)
# and an outdated mandoc.db of the machine are no fault of the pages.
pages=$(cd "$here" && echo *.[0-9])
for page in $pages; do
    mandoc -Tlint "$here/$page" >"$work/lint" 2>&1 || true
    for ref in $(sed -n 's/.*referenced manual not found: Xr \([a-z_.]*\) \([0-9]\).*/\1.\2/p' "$work/lint"); do
        case $ref in ostrel*.3 | faxupload.cgi.8)
            [ -f "$here/$ref" ] || { echo "$page: refers to a missing page $ref"; status=1; } ;;
        esac
    done
    grep -v -e 'STYLE: referenced manual not found: Xr ' -e 'outdated mandoc.db lacks' "$work/lint" && status=1
done
[ $status -eq 0 ] && echo "ok   mandoc -Tlint: $(echo $pages | wc -w) pages"

# Each literal block of an EXAMPLES section that begins with #include is a
# whole C program, taken with the roff escapes undone; so is each C block
# of the README.
for page in $pages ../README.md; do
    awk -v out="$work/$(basename "${page%.*}")" '
        /^\.Sh / { examples = ($2 == "EXAMPLES") }
        (examples && /^\.Bd -literal/) || /^```c$/ { block = 1; text = ""; next }
        block && (/^\.Ed/ || /^```$/) {
            block = 0
            if (text ~ /^#include/) { n++; f = out "-" n ".c"; printf "%s", text > f; close(f) }
            next
        }
        block { gsub(/\\e/, "\\"); gsub(/\\&/, ""); text = text $0 "\n" }' "$here/$page"
done
n=0
for src in "$work"/*.c; do
    [ -e "$src" ] || continue
    n=$((n + 1))
    # shellcheck disable=SC2086 # flag lists
    $cc -std=c99 -Wall -Wextra -Wpedantic -Werror $flags -I"$here/.." -o "${src%.c}" "$src" \
        "$build/libostrel.a" >"$src.log" 2>&1 ||
        { echo "EXAMPLES program $(basename "$src") does not build:" && cat "$src.log" && status=1; }
done
[ $n -gt 0 ] || { echo "no EXAMPLES program found"; status=1; }
[ $status -eq 0 ] && echo "ok   $n EXAMPLES and README programs built"
exit $status
