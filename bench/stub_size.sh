#!/usr/bin/env bash
# Prints the size of each front-end stub beside its target (the 32-bit one at most 1 MiB, the
# x86-64 one at most 1.25 MiB) and the file bytes of each of its sections, largest first.
#
#   bench/stub_size.sh [BUILD_ROOT]        (default: build, as left by scripts/build.sh)
#
# It also says whether anything follows the last section: a shipped stub must end with its last
# section, since that is where the .ZTBNDL section is laid out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${1:-build}

python3 - "$root" <<'PY'
import os, struct, sys

root = sys.argv[1]
stubs = [("windows", "i686", 1 << 20), ("windows64", "x86-64", 5 << 18)]

def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    count, = struct.unpack_from("<H", data, pe + 6)
    optional, = struct.unpack_from("<H", data, pe + 20)
    table = pe + 24 + optional
    for i in range(count):
        name, vsize, _, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        yield name.rstrip(b"\0").decode("latin-1"), vsize, rawsize, rawptr

for subdir, arch, target in stubs:
    path = os.path.join(root, subdir, "InstallerLogic.exe")
    if not os.path.isfile(path):
        print(f"{arch:7s} {path}: not built")
        continue
    data = open(path, "rb").read()
    size = len(data)
    verdict = "within" if size <= target else f"over by {size - target} bytes"
    print(f"{arch:7s} {path}: {size} bytes ({size / 1048576:.3f} MiB), target {target} "
          f"({target / 1048576:.2f} MiB): {size / target:.0%} of it, {verdict}")
    rows = list(sections(data))
    end = max(ptr + raw for _, _, raw, ptr in rows)
    for name, vsize, raw, _ in sorted(rows, key=lambda r: -r[2]):
        print(f"          {name:9s} {raw:9d} in the file {vsize:9d} in memory")
    headers = min(ptr for _, _, raw, ptr in rows if raw)
    print(f"          {'headers':9s} {headers:9d}")
    print("          nothing after the last section" if end == size
          else f"          {size - end} bytes after the last section")
PY
