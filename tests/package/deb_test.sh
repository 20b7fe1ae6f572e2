#!/usr/bin/env bash
# The Debian package of ztpack: made with cpack from the native build, unpacked with dpkg-deb
# (nothing installed on this machine), and the unpacked ztpack run on a small manifest: keys,
# make with the package's own default stub (its key place empty: make writes the fresh keys),
# verify with the keys from the installer's stub and against those expected, extract; and no
# byte of the build's development keys anywhere in the package. Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pkg/*.deb)
echo "== $(basename "$deb")"
dpkg-deb -f "$deb" Package Version Architecture Depends
dpkg-deb -c "$deb" | awk '{print $NF}'
dpkg-deb -x "$deb" "$work/root"
z="$work/root/usr/bin/ztpack"
"$z" --version

mkdir -p "$work/payload/docs"
printf 'dep-silent,readme.txt,readme.txt\ndep-x64-silent,docs/x64.txt,docs\\x64.txt\n' \
  >"$work/payload/install_script"
echo "read me" >"$work/payload/readme.txt"
echo "64-bit only" >"$work/payload/docs/x64.txt"
printf '#!/bin/sh\necho setup\n' >"$work/setup.sh"
stubs="$work/root/usr/share/ztpack/stubs"
if [ ! -f "$stubs/InstallerLogic-x86.exe" ]; then
  echo "the package carries no stub (the Windows builds were not there)"; exit 77
fi

# No byte of the development keys in the package: neither in the stubs nor in ztpack.
if [ -f "$build/../dev-keys/root.der" ]; then
  python3 - "$work/root" "$build/../dev-keys" <<'PY'
import os, sys
root, keys = sys.argv[1], sys.argv[2]
# The moduli: a 32-byte stretch of each is enough to find any copy of the key.
needles = {name: open(os.path.join(keys, name), "rb").read()[64:96] for name in ("root.der", "setup.der")}
found = []
for top, _, files in os.walk(root):
    for f in files:
        data = open(os.path.join(top, f), "rb").read()
        found += [f"{os.path.join(top, f)} holds {n}" for n, b in needles.items() if b in data]
if found:
    sys.exit("development key bytes in the package:\n" + "\n".join(found))
print("== no development key in the package")
PY
fi

# The setup program: the tree's report program where it was built (it runs under Wine), else a
# script (make, verify and extract only).
setup="$build/../windows/tests/report_setup.exe"
[ -f "$setup" ] || { setup="$work/setup.sh"; printf '#!/bin/sh\necho setup\n' >"$setup"; }
start=$(date +%s.%N)
"$z" keygen --out "$work/keys" >/dev/null
{
  echo "setup = \"$setup\""
  echo 'mode = "silent"'
  echo 'output = "out/installer.exe"'
  echo '[payload]'
  echo 'folder = "payload"'
  echo '[keys]'
  echo 'dir = "keys"'
  echo '[identity]'
  echo "icon = \"$source/demo/app.ico\""
  echo 'product_name = "Packaged App"'
  echo 'company_name = "Example Ltd"'
  echo 'file_version = "3.2.1.0"'
} >"$work/app.toml"
"$z" make -q "$work/app.toml"
"$z" verify -q "$work/out/installer.exe" | tee "$work/verify.txt"
grep -q "root key SHA256:" "$work/verify.txt"
"$z" verify -q --root-key "$work/keys/root.der" --setup-key "$work/keys/setup.der" \
  "$work/out/installer.exe" >/dev/null
echo "== keygen to verified installer: $(echo "$(date +%s.%N) - $start" | bc) s"
# Other keys than the installer's fail, naming both.
if "$z" verify -q --root-key "$build/../dev-keys/root.der" "$work/out/installer.exe" \
  >"$work/other.txt" 2>&1; then
  echo "verify accepted keys the installer does not trust"; exit 1
fi
grep -q "was expected" "$work/other.txt"
"$z" extract -q --install --platform x64 --windows-major 10 "$work/out/installer.exe" \
  --out "$work/installed"
test "$(cat "$work/installed/docs/x64.txt")" = "64-bit only"

# The installers under Wine, from the package's stubs: the 64-bit one always (Debian's 64-bit
# loader runs on every machine), the 32-bit one where the machine starts 32-bit programs, and a
# line saying so where it does not. Each: the setup program's exit code comes back, the files
# are installed, Windows' own calls read the version strings and icon back (shown in a window,
# saved as a screenshot where $ZT_SAVE_SCREENSHOT names a folder), and a gui-mode installer
# shows its window under Xvfb.
mkdir -p "$work/gui_payload"
cp "$work/payload/readme.txt" "$work/gui_payload/"
dd if=/dev/urandom of="$work/gui_payload/large.bin" bs=1M count=48 status=none
printf 'dep-gui,readme.txt,readme.txt\ndep-gui,large.bin,large.bin\n' \
  >"$work/gui_payload/install_script"
xvfb_pid=
stop_all() {
  local prefix
  for prefix in "$work"/prefix-*; do [ ! -d "$prefix" ] || WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; done
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap stop_all EXIT
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start"; exit 1; }
display=":$(head -1 "$work/display")"

# Polls until a visible window whose name matches $2 (an xdotool pattern) and whose class is $3
# is on the display, for at most $1 tenths of a second; saves a screenshot as $4 where that is
# given. Prints the window's id. (Wine's first start of a window in a new prefix takes seconds.)
wait_for_window() {
  local tries=$1 name=$2 class=$3 shot=${4:-} id
  for _ in $(seq "$tries"); do
    for id in $(DISPLAY=$display xdotool search --onlyvisible --name "$name" 2>/dev/null); do
      DISPLAY=$display xprop -id "$id" WM_CLASS 2>/dev/null | grep -qi "\"$class\"" || continue
      [ -z "$shot" ] || { sleep 0.5; DISPLAY=$display import -window root "$shot"; }
      echo "$id"
      return 0
    done
    sleep 0.1
  done
  return 1
}

run_on_wine() {
  local arch=$1 subdir=$2 loader=$3
  local tests="$build/../$subdir/tests" dir="$work/$arch"
  for program in report_setup read_identity; do
    [ -f "$tests/$program.exe" ] ||
      { echo "no $tests/$program.exe (bash scripts/build.sh $subdir)"; exit 1; }
  done
  mkdir -p "$dir"
  sed -e "s|^setup = .*|setup = \"$tests/report_setup.exe\"\nstub = \"$stubs/InstallerLogic-$arch.exe\"|" \
    -e "s|^output = .*|output = \"$dir/installer.exe\"|" -e "s|^folder = .*|folder = \"$work/payload\"|" \
    -e "s|^dir = .*|dir = \"$work/keys\"|" "$work/app.toml" >"$dir/app.toml"
  sed -e 's|^mode = .*|mode = "gui"|' -e "s|^output = .*|output = \"$dir/gui.exe\"|" \
    -e "s|^folder = .*|folder = \"$work/gui_payload\"|" "$dir/app.toml" >"$dir/gui.toml"
  "$z" make -q "$dir/app.toml"
  "$z" make -q "$dir/gui.toml"
  "$z" verify -q "$dir/gui.exe" >/dev/null

  # Every Wine process of the prefix sees the display: the first one starts the prefix's desktop
  # process, and windows of later ones would go nowhere if that one had none.
  export WINEPREFIX="$work/prefix-$arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    DISPLAY=$display
  "$loader" wineboot -i >/dev/null 2>&1; wineserver -w
  local code=0
  ZT_SETUP_EXIT=7 ZT_REPORT="Z:${dir//\//\\}\\report.json" "$loader" "$dir/installer.exe" first ||
    code=$?
  [ "$code" = 7 ] || { echo "$arch: the installer exited with $code, not the setup program's 7"; exit 1; }
  python3 - "$dir/report.json" "$arch" <<'PY'
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"))
files = {f["path"].replace("\\", "/") for f in report["files"]}
# The user's argument first; the front end adds its own after it.
assert report["arguments"][1] == "first", report["arguments"]
expected = {"readme.txt"} | ({"docs/x64.txt"} if sys.argv[2] == "x64" else set())
assert expected <= files, f"installed: {sorted(files)}"
PY
  local shot=
  [ -z "${ZT_SAVE_SCREENSHOT:-}" ] || shot="$ZT_SAVE_SCREENSHOT/identity-$arch.png"
  "$loader" "$tests/read_identity.exe" --show 120 "Z:$dir/installer.exe" \
    ProductName CompanyName FileVersion | tr -d '\r' >"$dir/identity.txt" &
  local reader=$! window
  window=$(wait_for_window 900 '^Version information$' read_identity.exe "$shot") ||
    { echo "$arch: the version information window never showed"; exit 1; }
  DISPLAY=$display xdotool key --window "$window" Escape 2>/dev/null
  wait "$reader" || { echo "$arch: Windows read no version resource"; exit 1; }
  grep -q '^ProductName=Packaged App$' "$dir/identity.txt"
  grep -q '^CompanyName=Example Ltd$' "$dir/identity.txt"
  grep -q '^fixed=3.2.1.0$' "$dir/identity.txt"
  grep -q '^icons=1$' "$dir/identity.txt"

  [ -z "${ZT_SAVE_SCREENSHOT:-}" ] || shot="$ZT_SAVE_SCREENSHOT/gui-$arch.png"
  ZT_SETUP_SLEEP_MS=2000 ZT_REPORT="Z:${dir//\//\\}\\gui.json" "$loader" "$dir/gui.exe" &
  local gui=$!
  # The progress window has no title of its own; Wine names its X window's class after the
  # program's file.
  wait_for_window 900 '.*' gui.exe "$shot" >/dev/null ||
    { echo "$arch: the gui-mode installer showed no window"; exit 1; }
  wait "$gui" || { echo "$arch: the gui-mode installer failed"; exit 1; }
  test -s "$dir/gui.json"
  wineserver -k 2>/dev/null || true
  echo "== the $arch installer ran under Wine: exit code, files, version strings, gui window"
}

run_on_wine x64 windows64 /usr/lib/wine/wine64
if bash "$source/scripts/wine-arch.sh" --can-run-32; then
  run_on_wine x86 windows /usr/lib/wine/wine
else
  echo "== the x86 installer is not run: this machine cannot start 32-bit programs (made and verified only)"
fi
echo "== the unpacked package works"
