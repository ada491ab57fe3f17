# SPDX-License-Identifier: MIT
# Sourced by the tests that read the block's Tcl files against its RTL: they need tclsh and
# Yosys, take the design's folder as $1 (dir), and work in a scratch folder (tmp) that goes
# when they end.
for tool in tclsh yosys; do
    command -v $tool >/dev/null || { echo "$tool is missing: apt-get install tcl yosys"; exit 1; }
done
dir=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# fails_saying WHAT PATTERN COMMAND...: a planted fault (WHAT) makes COMMAND fail and say
# PATTERN; if not, it says how and sets status to 1.
fails_saying() {
    what=$1 pattern=$2
    shift 2
    if out=$("$@"); then
        echo "passed with $what"; status=1
    elif ! echo "$out" | grep -q "$pattern"; then
        printf 'with %s, not "%s" but:\n%s\n' "$what" "$pattern" "$out"; status=1
    else
        echo "fails with $what: $(echo "$out" | grep -m1 "$pattern")"
    fi
}
