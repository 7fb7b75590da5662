#!/usr/bin/env bash
# The packages as a user gets them: made by cpack from a built tree, checked
# against SHA256SUMS, unpacked, listed, and their programs run.
#   kivhost_package.sh CPACK BUILD_DIR SOURCE_DIR VERSION LIBDIR CHECK_DLL_TABLES [windows [RUN_WINE...]]
# LIBDIR is the Debian package's library folder under /usr (lib/<multiarch>).
# With "windows", the Windows zip (made from the cross-built side by the same
# cpack run) is checked too; RUN_WINE, when given, runs its kivhost.exe.
# The Debian package is installed (dpkg -i), run from PATH and removed when
# running as root; elsewhere that step says it is skipped. lintian checks it
# for errors. On CI (CI=true) a missing tool is a failure, not a skip.
# With KIVGATE=1 in the environment (a build with kivgate) the Debian package
# must carry kivgate, its man page and completion, its systemd units (not
# enabled) and /etc/default/kivgate as a conffile.
set -euo pipefail
cpack=$1
build=$2
source=$3
version=$4
libdir=$5
check_dll=$6
windows=${7:-}
gate=${KIVGATE:-0}
run_wine=("${@:8}")
work=$(mktemp -d)
deb_installed=0
cleanup() {
  if [ "$deb_installed" = 1 ]; then
    dpkg -P davodev >/dev/null 2>&1 || echo "could not remove davodev: dpkg -P davodev by hand"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
# The documentation pages (and the pictures they show) every package carries beside README.md, prefixed.
doc_pages() { (cd "$source/docs" && LC_ALL=C ls -- *.md *.png) | sed "s|^|$1|"; }
# A tool that is missing: fatal on CI, a skipped step elsewhere.
missing() {
  [ "${CI:-}" = true ] && fail "$1 (CI must install it)"
  echo "skip: $1"
}

if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack did not make the packages"
fi

# ---------------------------------------------------------------------------
# SHA256SUMS: every package, once, and right.
packages=$(cd "$work" && shopt -s nullglob && printf '%s\n' *.tar.gz *.zip *.deb | sort | tr '\n' ' ')
summed=$(awk '{print $2}' "$work/SHA256SUMS" | sort | tr '\n' ' ') || fail "no SHA256SUMS beside the packages"
[ "$summed" = "$packages" ] || fail "SHA256SUMS lists '$summed', the packages are '$packages'"
(cd "$work" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the packages"
echo "ok: SHA256SUMS"

# ---------------------------------------------------------------------------
# Linux tarball: everything in one folder, found through $ORIGIN.
tarball=$work/DAVODEV-$version-Linux.tar.gz
[ -f "$tarball" ] || fail "no $(basename "$tarball") in: $packages"
top=$(basename "$tarball" .tar.gz)
listing=$(tar tzf "$tarball" | grep -v '/$' | sort | tr '\n' ' ')
want=$({ printf '%s\n' "$top/README.md" "$top/include/davodev.h" "$top/kivhost" "$top/libDAVODEV.so" "$top/libDORVAK.so" \
  "$top/plcsim"; doc_pages "$top/docs/"; } | sort | tr '\n' ' ')
[ "$listing" = "$want" ] || fail "tarball holds: $listing"
mkdir "$work/linux"
tar xzf "$tarball" -C "$work/linux"
unpacked="$work/linux/$top"
if command -v readelf >/dev/null; then
  # kivhost: beside itself first, then the Debian package's private folder.
  for want in "kivhost \$ORIGIN:\$ORIGIN/../$libdir/davodev" "libDAVODEV.so \$ORIGIN"; do
    binary=${want%% *}
    runpath=$(readelf -d "$unpacked/$binary" | sed -n 's/.*RUNPATH.*\[\(.*\)\]/\1/p')
    [ "$runpath" = "${want#* }" ] || fail "$binary has RUNPATH '$runpath', not '${want#* }'"
  done
fi
# Whole outputs first: grep -q leaves early, and a program still writing
# would die of SIGPIPE, failing the pipe.
"$unpacked/kivhost" info >"$work/info.txt" && grep -q 'K I V U X' "$work/info.txt" || fail "the unpacked kivhost info"
"$unpacked/kivhost" --version | grep -qxF "driver  DAVODEV serial driver, Unitronix PLCs  Version 7.00 ($unpacked/libDAVODEV.so)" ||
  fail "the unpacked kivhost --version: $("$unpacked/kivhost" --version 2>&1)"
"$unpacked/kivhost" demo >"$work/demo.txt" 2>&1 || { cat "$work/demo.txt"; fail "the unpacked kivhost demo"; }
"$unpacked/plcsim" --help >"$work/plcsim-help.txt" && grep -q 'Usage: plcsim' "$work/plcsim-help.txt" ||
  fail "the unpacked plcsim"
echo "ok: $(basename "$tarball")"

# ---------------------------------------------------------------------------
# Debian package.
check_deb() {
  local deb
  deb=$work/davodev_${version}_$(dpkg --print-architecture).deb
  [ -f "$deb" ] || fail "no $(basename "$deb") in: $packages"
  local field
  for field in "Package davodev" "Version $version"; do
    [ "$(dpkg-deb -f "$deb" "${field%% *}")" = "${field#* }" ] || fail "$(basename "$deb"): ${field%% *} is not ${field#* }"
  done
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  local needs="libc6 libstdc++6"
  [ "$gate" = 1 ] && needs+=" libmodbus5 libmosquitto1 libsystemd0"
  for field in $needs; do
    [[ ", $depends," == *", $field ("* || ", $depends," == *", $field,"* ]] || fail "Depends: '$depends' does not name $field"
  done

  # The files: the optional man pages and completions, and the examples
  # (compared with examples/ below), apart.
  local files
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | LC_ALL=C sort)
  local fixed
  fixed=$(grep -vE '^/usr/share/((man|bash-completion|zsh|fish)/|doc/davodev/examples/)' <<<"$files" | tr '\n' ' ')
  local gate_files="" gate_bin=""
  if [ "$gate" = 1 ]; then
    gate_files="/etc/default/kivgate /lib/systemd/system/kivgate.service /lib/systemd/system/kivgate@.service "
    gate_bin="/usr/bin/kivgate "
  fi
  local want="$gate_files$gate_bin/usr/bin/kivhost /usr/bin/plcsim /usr/include/davodev.h /usr/$libdir/davodev/libDORVAK.so /usr/$libdir/libDAVODEV.so /usr/share/doc/davodev/README.md /usr/share/doc/davodev/changelog.gz /usr/share/doc/davodev/copyright $(doc_pages /usr/share/doc/davodev/docs/ | tr '\n' ' ')"
  [ "$fixed" = "$want" ] || fail "the Debian package holds: $fixed"
  # The log stand-in only where no host looks for its own.
  local standins
  standins=$(grep -i '/libDORVAK[^/]*$' <<<"$files" | grep -v "^/usr/$libdir/davodev/" || true)
  [ -z "$standins" ] || fail "the log stand-in where a host would find it: $standins"
  local scd page section
  for scd in "$source"/man/*.scd; do
    [ -e "$scd" ] || continue
    page=$(basename "$scd" .scd)
    [[ "$gate" != 1 && "$page" == kivgate.* ]] && continue
    [[ "$page" =~ \.([1-9])[a-z]*$ ]] && section=${BASH_REMATCH[1]} || { section=1; page=$page.1; }
    grep -qx "/usr/share/man/man$section/$page.gz" <<<"$files" || fail "no man page $page for $scd (is scdoc installed?)"
  done
  local script name
  for script in "$source"/completion/* "$source"/*/completion/*; do
    [ -f "$script" ] || continue
    name=$(basename "$script")
    name=${name#_}
    name=${name%.*}
    [[ "$gate" != 1 && "$name" == kivgate ]] && continue
    grep -qE "^/usr/share/(bash-completion/completions|zsh/vendor-completions|fish/vendor_completions.d)/_?$name(\.fish)?$" <<<"$files" ||
      fail "no completion for $name from $script"
  done

  # Unpacked as it installs: kivhost finds its stand-in and the driver from bin/.
  mkdir "$work/deb"
  dpkg-deb -x "$deb" "$work/deb"
  dpkg-deb -e "$deb" "$work/control"
  if [ "$gate" = 1 ]; then
    # The settings survive an upgrade; the service is there but nothing enables it.
    [ "$(cat "$work/control/conffiles" 2>/dev/null)" = /etc/default/kivgate ] ||
      fail "conffiles is not /etc/default/kivgate: $(cat "$work/control/conffiles" 2>&1)"
    ! grep -qsE 'systemctl|deb-systemd' "$work/control/postinst" || fail "postinst enables a service"
    local unit=$work/deb/lib/systemd/system/kivgate.service
    grep -qx 'EnvironmentFile=-/etc/default/kivgate' "$unit" && grep -qx 'ExecStart=/usr/bin/kivgate $KIVGATE_OPTIONS' "$unit" ||
      fail "kivgate.service does not run kivgate with the options of /etc/default/kivgate"
    grep -q '^KIVGATE_OPTIONS=' "$work/deb/etc/default/kivgate" || fail "/etc/default/kivgate sets no KIVGATE_OPTIONS"
    "$work/deb/usr/bin/kivgate" --version | grep -qxF "kivgate $version" ||
      fail "the unpacked Debian kivgate --version: $("$work/deb/usr/bin/kivgate" --version 2>&1)"
    "$work/deb/usr/bin/kivgate" "$work/deb/usr/share/doc/davodev/examples/pump-station-gateway.csv" --plan \
      >"$work/gate-plan.txt" 2>&1 || { cat "$work/gate-plan.txt"; fail "kivgate --plan on the shipped example"; }
  else
    [ ! -e "$work/control/conffiles" ] || fail "conffiles in a package without kivgate"
  fi
  "$work/deb/usr/bin/kivhost" --version | grep -qF "Version 7.00 ($work/deb/usr/$libdir/libDAVODEV.so)" ||
    fail "the unpacked Debian kivhost --version: $("$work/deb/usr/bin/kivhost" --version 2>&1)"
  local doc=$work/deb/usr/share/doc/davodev
  diff -r "$source/examples" "$doc/examples" || fail "/usr/share/doc/davodev/examples/ is not examples/"
  diff -r "$source/docs" "$doc/docs" || fail "/usr/share/doc/davodev/docs/ is not docs/"
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright" &&
    grep -q '^License: [^ ]' "$doc/copyright" || fail "copyright is not in the machine-readable form, or states no licence"
  # gzip -9n: no name, no time (bytes 4-7), maximum compression (byte 8).
  [ "$(od -An -tx1 -N9 "$doc/changelog.gz" | tr -d ' \n')" = 1f8b08000000000002 ] || fail "changelog.gz is not gzip -9n"
  gzip -dc "$doc/changelog.gz" >"$work/changelog"
  [ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] || fail "changelog.gz's entry is not version $version"
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || { cat "$work/lintian.txt"; fail "lintian finds errors in $(basename "$deb")"; }
  else
    missing "checking $(basename "$deb") needs lintian"
  fi
  echo "ok: $(basename "$deb")"

  if [ "$(id -u)" != 0 ]; then
    echo "skip: installing $(basename "$deb") needs root (dpkg -i, kivhost demo from PATH, dpkg -r)"
    return
  fi
  # One install at a time on this machine, and never over one made by hand.
  exec 8>"${TMPDIR:-/tmp}/davodev-deb-test.lock"
  flock -w 600 8 || fail "another package test holds ${TMPDIR:-/tmp}/davodev-deb-test.lock"
  if [ "$(dpkg-query -W -f='${db:Status-Status}' davodev 2>/dev/null || true)" = installed ]; then
    echo "skip: davodev is installed on this machine already; the test leaves it alone"
    return
  fi
  deb_installed=1
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i $(basename "$deb")"; }
  local path=/usr/bin:/bin
  [ "$(PATH=$path command -v kivhost)" = /usr/bin/kivhost ] || fail "kivhost is not on PATH after dpkg -i"
  PATH=$path kivhost --version | grep -qF "Version 7.00 (/usr/$libdir/libDAVODEV.so)" ||
    fail "the installed kivhost --version: $(PATH=$path kivhost --version 2>&1)"
  (cd "$work" && PATH=$path kivhost demo) >"$work/demo.txt" 2>&1 || { cat "$work/demo.txt"; fail "the installed kivhost demo"; }
  PATH=$path plcsim --version | grep -qxF "plcsim $version" || fail "the installed plcsim --version"
  if [ "$gate" = 1 ]; then
    PATH=$path kivgate --version | grep -qxF "kivgate $version" || fail "the installed kivgate --version"
  fi
  dpkg -r davodev >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r davodev"; }
  deb_installed=0
  local left
  # Conffiles stay until the purge.
  left=$(while read -r file; do [ ! -e "$file" ] || [ "$file" = /etc/default/kivgate ] || echo "$file"; done <<<"$files")
  [ -z "$left" ] || fail "left after dpkg -r: $left"
  [ ! -e "/usr/$libdir/davodev" ] || fail "left after dpkg -r: /usr/$libdir/davodev"
  # Its postrm (ldconfig) stays registered until a purge, which leaves no trace.
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' davodev 2>/dev/null || true)
  [ "$status" = config-files ] || [ "$status" = not-installed ] || fail "davodev is '$status' after dpkg -r"
  dpkg -P davodev >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -P davodev"; }
  status=$(dpkg-query -W -f='${db:Status-Status}' davodev 2>/dev/null || true)
  [ -z "$status" ] || [ "$status" = not-installed ] || fail "davodev is '$status' after dpkg -P"
  [ ! -e /etc/default/kivgate ] || fail "left after dpkg -P: /etc/default/kivgate"
  echo "ok: $(basename "$deb") installed, kivhost demo run from PATH, removed"
}
if command -v dpkg-shlibdeps >/dev/null && command -v dpkg-deb >/dev/null; then
  check_deb
else
  missing "the Debian package needs dpkg-shlibdeps and dpkg-deb (dpkg-dev)"
fi

[ "$windows" = windows ] || exit 0

# ---------------------------------------------------------------------------
# Windows zip: the driver folder is what goes into the host's folder, and
# the log stand-in stays with kivhost.exe and plcsim.exe in tools.
zip=$work/DAVODEV-$version-win32.zip
[ -f "$zip" ] || fail "no $(basename "$zip") in: $packages"
top=$(basename "$zip" .zip)
hostlibs=$(unzip -Z1 "$zip" | grep -iE '/dorvak[^/]*$' | grep -v "^$top/tools/" || true)
[ -z "$hostlibs" ] || fail "named like a host library, outside tools/: $hostlibs"
listing=$(unzip -Z1 "$zip" | grep -v '/$' | sort | tr '\n' ' ')
want=$({ printf '%s\n' "$top/INSTALL.txt" "$top/README.md" "$top/driver/DAVODEV.dll" "$top/include/davodev.h" \
  "$top/tools/DORVAK.dll" "$top/tools/kivhost.exe" "$top/tools/plcsim.exe"; doc_pages "$top/docs/"; } | sort | tr '\n' ' ')
[ "$listing" = "$want" ] || fail "zip holds: $listing"
unzip -q "$zip" -d "$work/windows"
unpacked="$work/windows/$top"

# INSTALL.txt: six lines, each ended by CR LF, for Notepad.
install_txt=$unpacked/INSTALL.txt
lf=$(tr -cd '\n' <"$install_txt" | wc -c)
cr=$(tr -cd '\r' <"$install_txt" | wc -c)
crlf=$(grep -c $'\r$' "$install_txt" || true)
[ "$lf" = 6 ] && [ "$cr" = 6 ] && [ "$crlf" = 6 ] && [ "$(tail -c 2 "$install_txt" | od -An -tx1 | tr -d ' ')" = 0d0a ] ||
  fail "INSTALL.txt is not six CR LF lines ($lf LF, $cr CR)"
for text in 'driver\' 'tools\' 'tools\kivhost.exe'; do
  grep -qF "$text" "$install_txt" || fail "INSTALL.txt does not mention $text"
done

"$check_dll" "$unpacked/driver/DAVODEV.dll" || fail "the zip's DAVODEV.dll"
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
for program in kivhost plcsim; do
  "$objdump" -f "$unpacked/tools/$program.exe" | grep -q 'file format pei-i386' ||
    fail "$program.exe is not a 32-bit program"
done

# The version resource, as Explorer shows it: the fixed file and product
# versions, and the strings.
check_version_resource() {
  local file=$1 name
  name=$(basename "$file")
  local res=$work/version.res
  wrestool -x --raw -t 16 "$file" >"$res" 2>/dev/null && [ -s "$res" ] || fail "$name has no version resource"
  local hex fixed
  hex=$(od -An -v -tx1 "$res" | tr -d ' \n')
  fixed=${hex#*bd04effe}  # the signature; then the structure's version, file MS, LS, product MS, LS
  [ "$fixed" != "$hex" ] || fail "$name: no fixed version information"
  local at words=() part
  for at in 8 16 24 32; do
    part=${fixed:at:8}  # a little-endian 32-bit word: two 16-bit numbers, the high one first
    words+=("$((16#${part:6:2}${part:4:2})).$((16#${part:2:2}${part:0:2}))")
  done
  [ "${words[0]}.${words[1]}" = "$version.0" ] || fail "$name: file version ${words[0]}.${words[1]}, not $version.0"
  [ "${words[2]}.${words[3]}" = "$version.0" ] || fail "$name: product version ${words[2]}.${words[3]}, not $version.0"
  local strings
  strings=$(strings -el "$res")
  value() { awk -v key="$1" 'found { print; exit } $0 == key { found = 1 }' <<<"$strings"; }
  for field in "FileVersion $version" "ProductVersion $version" "ProductName DAVODEV" "OriginalFilename $name"; do
    [ "$(value "${field%% *}")" = "${field#* }" ] || fail "$name: ${field%% *} is '$(value "${field%% *}")', not '${field#* }'"
  done
  [ -n "$(value FileDescription)" ] || fail "$name: no FileDescription"
  ! grep -qx CompanyName <<<"$strings" || fail "$name names a company"
}
if command -v wrestool >/dev/null; then
  check_version_resource "$unpacked/driver/DAVODEV.dll"
  check_version_resource "$unpacked/tools/kivhost.exe"
  check_version_resource "$unpacked/tools/plcsim.exe"
  echo "ok: version resources of DAVODEV.dll, kivhost.exe and plcsim.exe"
else
  missing "reading the version resources needs wrestool (icoutils)"
fi

# As INSTALL.txt says: tools\kivhost.exe, from the zip's folder, loads the driver from driver\.
if [ ${#run_wine[@]} -gt 0 ]; then
  (cd "$unpacked" && "${run_wine[@]}" tools/kivhost.exe --version) 2>&1 | tr -d '\r' >"$work/wine.txt" ||
    { cat "$work/wine.txt"; fail "tools\\kivhost.exe --version under wine"; }
  grep -qxF "kivhost $version" "$work/wine.txt" && grep -qF 'Version 7.00 (' "$work/wine.txt" &&
    grep -qF '\driver\DAVODEV.dll)' "$work/wine.txt" || { cat "$work/wine.txt"; fail "tools\\kivhost.exe --version"; }
  echo "ok: tools\\kivhost.exe finds driver\\DAVODEV.dll"

  # INSTALL.txt's try-out, run as it is written, on two pseudo-terminals
  # joined by socat as COM3 and COM4 of the prefix.
  try_out=$(tr -d '\r' <"$install_txt" | grep -F 'demo --sim-port' | sed 's/.*: //')
  [ -n "$try_out" ] || fail "INSTALL.txt has no demo --sim-port line"
  if command -v socat >/dev/null; then
    socat pty,raw,echo=0,link="$work/com3" pty,raw,echo=0,link="$work/com4" &
    socat_pid=$!
    for _ in $(seq 600); do
      [ -e "$work/com3" ] && [ -e "$work/com4" ] && break
      sleep 0.05
    done
    try_status=0
    # shellcheck disable=SC2086  # the line's words, as a console splits them
    (cd "$unpacked" && WINE_COM_PORTS="com3=$(readlink -f "$work/com3") com4=$(readlink -f "$work/com4")" \
      "${run_wine[@]}" ${try_out//\\//}) >"$work/try.raw" 2>&1 || try_status=$?
    kill "$socat_pid" 2>/dev/null || true
    wait "$socat_pid" 2>/dev/null || true
    tr -d '\r' <"$work/try.raw" >"$work/try.txt"
    [ "$try_status" = 0 ] && grep -qF '9. EndKiv' "$work/try.txt" ||
      { cat "$work/try.txt"; fail "INSTALL.txt's \"$try_out\" under wine (status $try_status)"; }
    echo "ok: INSTALL.txt's $try_out"
  else
    missing "INSTALL.txt's try-out needs socat"
  fi
fi
echo "ok: $(basename "$zip")"
