#!/usr/bin/env bash
# An installed QTX Flash works from its installed paths alone:
#   install_test.sh --deb PACKAGE.deb   the package unpacked into a scratch root
#   install_test.sh --build-dir DIR     cmake --install DIR into a DESTDIR
# Checks the files and the package's dependencies, runs --version of every
# program, flashes an Intel HEX file into the installed qtxsim with the
# installed qtxflash-cli and compares the board's flash, and starts the window
# offscreen to see that it finds its help files. Never touches a real port.
set -euo pipefail

fail() { echo "install test: $*" >&2; exit 1; }
[ $# -eq 2 ] || fail "usage: $0 --deb PACKAGE | --build-dir DIR"
mode=$1 what=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/qtx-install.XXXXXX")
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/root

case $mode in
  --deb)
    [ -f "$what" ] || fail "no package $what"
    depends=$(dpkg-deb -f "$what" Depends)
    for lib in libsrecord0 libelf1 libqt6widgets6 libqt6gui6 libunicorn2; do
      [[ $depends == *"$lib"* ]] || fail "package depends on \"$depends\": $lib missing"
    done
    dpkg-deb -x "$what" "$root"
    ;;
  --build-dir)
    DESTDIR=$root cmake --install "$what" --prefix /usr >/dev/null
    ;;
  *) fail "unknown mode $mode" ;;
esac

bin=$root/usr/bin
for f in usr/bin/qtxflash usr/bin/qtxflash-cli usr/bin/qtxsim \
         usr/share/qtxflash/readme.rtf usr/share/qtxflash/liesmich.rtf \
         usr/share/applications/qtxflash.desktop usr/share/icons/hicolor/scalable/apps/qtxflash.svg \
         usr/share/man/man1/qtxflash.1.gz usr/share/man/man1/qtxflash-cli.1.gz usr/share/man/man1/qtxsim.1.gz; do
  [ -f "$root/$f" ] || fail "$f is not installed"
done
desktop-file-validate "$root/usr/share/applications/qtxflash.desktop" || fail "the .desktop file is not valid"
for page in "$root"/usr/share/man/man1/*.gz; do gzip -t "$page" || fail "$page is damaged"; done
# Installed programs must not reach back into the build tree.
for p in qtxflash qtxflash-cli qtxsim; do
  if readelf -d "$bin/$p" | grep -qiE 'rpath|runpath'; then fail "$p keeps a build-tree RPATH"; fi
done

for p in qtxflash qtxflash-cli qtxsim; do
  line=$("$bin/$p" --version) || fail "$p --version failed"
  [[ $line =~ ^$p\ [0-9]+\.[0-9]+\ \(git\ [^\)]+\)$ ]] || fail "$p --version says \"$line\""
done

# A flash from the installed paths, into a simulated board on a private port map.
export QTXFLASH_PORTS=$work/ports
mkdir -p "$QTXFLASH_PORTS" "$work/run"
cd "$work/run"
head -c 3000 /dev/urandom > fw.bin
srec_cat fw.bin -binary -offset 0x08000000 -o fw.hex -intel
"$bin/qtxsim" --board stm32f4 --port COM1 --once --flash-out "$work/flash.bin" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do [ -e "$QTXFLASH_PORTS/COM1" ] && break; sleep 0.1; done
[ -e "$QTXFLASH_PORTS/COM1" ] || fail "the installed qtxsim did not come up: $(cat "$work/sim.err")"
"$bin/qtxflash-cli" -t STM32F4 -p COM1 fw.hex 2>"$work/cli.err" || fail "flashing failed: $(cat "$work/cli.err")"
grep -q "Intel HEX image: 0x08000000" "$work/cli.err" || fail "no image line: $(cat "$work/cli.err")"
for _ in $(seq 100); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
wait "$sim_pid" || fail "qtxsim ended with an error: $(cat "$work/sim.err")"
sim_pid=
cmp -n 3000 fw.bin "$work/flash.bin" || fail "the board's flash differs from the file"

# The window, started offscreen from a directory without guides, finds the installed ones.
mkdir -p "$work/elsewhere" && cd "$work/elsewhere"
help=$(QT_QPA_PLATFORM=offscreen "$bin/qtxflash" --check-help) || fail "the window does not find its help"
[[ $help == *"$root/usr/share/qtxflash/readme.rtf"* && $help == *"$root/usr/share/qtxflash/liesmich.rtf"* ]] ||
  fail "the window's help comes from elsewhere: $help"
[ ! -e flash.stp ] || fail "--check-help wrote settings"
echo "install test: $mode passed"
