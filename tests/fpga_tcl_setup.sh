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
