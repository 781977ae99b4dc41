#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages: the three are made from the build folder; lintian finds no error or
# warning in them, nor a missing hardening; the server's package needs nothing that plays or
# records; their files pass their own checks; the server unpacked from its package starts with
# the example config, answers on its admin endpoint, takes voice-cli from its package and
# drains on SIGTERM. Then, as root (or through sudo without a password), on this machine: the
# server's packages are installed, the service enabled as an administrator does, upgraded to a
# second build, removed and purged, leaving nothing behind.
# Usage: tst_packages.sh BUILD_DIR (exit status 77: the machine part was skipped)
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
server_pid=""
installed=""
made_user=""
SUDO=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  if [ -n "$installed" ]; then
    $SUDO apt-get purge -y -q -o DPkg::Lock::Timeout=300 voice-server voice-cli >/dev/null 2>&1 || true
  fi
  if [ -n "$made_user" ]; then $SUDO deluser --system --quiet voice-server >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
client_deb=$(ls "$work"/out/meeting_*.deb)
server_deb=$(ls "$work"/out/voice-server_*.deb)
cli_deb=$(ls "$work"/out/voice-cli_*.deb)
version=$(dpkg-deb -f "$server_deb" Version)

for deb in "$client_deb" "$server_deb" "$cli_deb"; do
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "$(basename "$deb"): Depends: $depends"
  case "$depends" in *-dev*) fail "$deb depends on a -dev package";; esac
  [ -n "$depends" ] || fail "$deb has no dependencies (dpkg-shlibdeps did not run)"
done
# A headless server: nothing that plays, records or codes sound, in its package or its program.
sound='portaudio|opus|speex|asound|pulse|jack|webrtc'
if grep -Eiq "$sound" <<<"$(dpkg-deb -f "$server_deb" Depends Recommends)"; then
  fail "voice-server depends on sound libraries: $(dpkg-deb -f "$server_deb" Depends)"
fi
grep -q portaudio <<<"$(dpkg-deb -f "$cli_deb" Depends)" || fail "voice-cli without PortAudio?"

# Neither errors nor warnings; of the informational tags, no missing hardening.
lintian --fail-on error,warning --display-info --tag-display-limit 0 "$client_deb" "$server_deb" \
  "$cli_deb" | tee "$work/lintian.log" || fail "lintian reports errors or warnings"
if grep -q 'hardening-' "$work/lintian.log"; then fail "lintian misses hardening"; fi
echo "lintian: no errors, no warnings"

root="$work/root"
for deb in "$client_deb" "$server_deb" "$cli_deb"; do dpkg-deb -x "$deb" "$root"; done
# Debian's hardening, read from the programs: position-independent, RELRO with bindings made at
# the start, stack protector and checked libc calls.
for program in usr/bin/voice-server usr/lib/voice-cli/voice-cli usr/lib/voice-cli/lib/libvoicesdk.so \
               usr/lib/meeting/Meeting; do
  file=$(ls "$root/$program"* | head -n 1)
  elf=$(readelf -hlW --dynamic --dyn-syms "$file")
  grep -q 'Type:.*DYN' <<<"$elf" || fail "$program is not position-independent"
  grep -q GNU_RELRO <<<"$elf" || fail "$program has no RELRO"
  grep -Eq 'BIND_NOW|FLAGS.*NOW' <<<"$elf" || fail "$program binds lazily"
  grep -q __stack_chk_fail <<<"$elf" || fail "$program has no stack protector"
  grep -Eq '__[a-z0-9_]+_chk@' <<<"$elf" || fail "$program calls no checked libc function"
done
# The documents the server's manual page points to.
manual=$(zcat "$root/usr/share/man/man1/voice-server.1.gz")
for document in cluster protocol; do
  [ "$(zcat "$root/usr/share/doc/voice-server/$document.md.gz" | sed -n '1s/ .*//p')" = "#" ] ||
    fail "$document.md.gz"
  grep -q "voice-server/$document.md.gz" <<<"$manual" ||
    fail "the manual page does not point to $document.md.gz"
done
desktop-file-validate "$root"/usr/share/applications/*.desktop || fail "desktop entry"
appstreamcli validate --no-net --pedantic "$root"/usr/share/metainfo/*.metainfo.xml ||
  fail "AppStream metainfo"
# The unit as shipped, its program found in the unpacked tree.
unit="$work/voice-server.service"
sed "s|/usr/bin/voice-server|$root/usr/bin/voice-server|" \
  "$root/lib/systemd/system/voice-server.service" >"$unit"
# The manual page it names is checked above, in the package.
systemd-analyze verify --man=no "$unit" || fail "systemd-analyze verify"
for program in usr/lib/meeting/Meeting usr/lib/meeting/RylUpdater \
               usr/bin/meeting usr/bin/voice-cli; do
  [ -x "$root/$program" ] || fail "$program is missing"
done
# Remote help comes with the program: no stand-in takes the place of a remote-desktop program.
for program in AnyDesk_S.exe AnyDesk_C.exe; do
  [ ! -e "$root/usr/lib/meeting/$program" ] || fail "$program is in the package"
done
# Every library the client needs is found: from Debian's packages or beside it.
if ldd "$root/usr/lib/meeting/Meeting" | grep -q "not found"; then fail "Meeting lacks a library"; fi
[ "$("$root/usr/lib/meeting/Meeting" --version)" = "Meeting $version" ] || fail "Meeting --version"
[ "$("$root/usr/bin/voice-server" --version)" = "voice-server $version" ] ||
  fail "voice-server --version"

# The unpacked server with the example config; the port and data folder from the command line.
exec 3< <("$root/usr/bin/voice-server" --config "$root/etc/voice-server/voice-server.ini" \
            --port 0 --data "$work/data" --admin-listen 127.0.0.1:0 2>"$work/server.log" &
          echo "pid $!"; wait)
read -r _ server_pid <&3
read -r word _ admin_port <&3 && [ "$word" = admin ] || fail "no admin line"
read -r word _ port <&3 && [ "$word" = listening ] || { cat "$work/server.log"; fail "not listening"; }
echo "voice-server from the package: port $port, admin endpoint $admin_port"
curl -fsS "http://127.0.0.1:$admin_port/health" | tee "$work/health"
grep -q '"serving"' "$work/health" || fail "health"

# voice-cli from its package joins it.
{ echo "[\"connect\",\"127.0.0.1\",$port,\"packaged\",\"mossel\"]"; sleep 3; echo '["quit"]'; } |
  (cd "$work" && "$root/usr/bin/voice-cli") >"$work/cli.log" 2>&1 &
cli_pid=$!
for _ in $(seq 50); do
  curl -fsS "http://127.0.0.1:$admin_port/metrics" >"$work/metrics"
  grep -q '^voice_server_clients 1$' "$work/metrics" && break
  sleep 0.1
done
grep -q '^voice_server_clients 1$' "$work/metrics" || { cat "$work/cli.log"; fail "voice-cli did not join"; }
grep '^voice_server_' "$work/metrics"
promtool check metrics <"$work/metrics" || fail "promtool"
wait "$cli_pid" || true

kill -TERM "$server_pid"
for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$server_pid" 2>/dev/null; then fail "the server did not end on SIGTERM"; fi
server_pid=""

# --- On this machine, as an administrator would.
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then SUDO="sudo -n"; else
    echo "SKIP: installing needs root or sudo without a password"; exit 77
  fi
fi
as_service() {
  if [ -z "$SUDO" ]; then runuser -u voice-server -- "$@"; else sudo -n -u voice-server "$@"; fi
}
# One run of this test at a time on the machine.
exec 9>/tmp/meeting-package-test.lock
flock -w 600 9 || fail "another package test holds the machine"
known() {
  case "$(dpkg-query -W -f '${db:Status-Status}' "$1" 2>/dev/null || true)" in
    "" | not-installed) return 1;;
  esac
}
for package in voice-server voice-cli; do
  if known "$package"; then
    echo "SKIP: $package is on this machine already; the test would replace and purge it"
    exit 77
  fi
done
getent passwd voice-server >/dev/null || made_user=yes
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }
# The second build: the same files under a later version, as an upgrade brings them.
cat >"$work/second.cmake" <<EOF
include("$build/CPackConfig.cmake")
set(CPACK_PACKAGE_VERSION "$version.1")
set(CPACK_COMPONENTS_ALL server cli)
EOF
(cd "$build" && cpack -G DEB --config "$work/second.cmake" -B "$work/out2" >"$work/cpack2.log" 2>&1) ||
  { cat "$work/cpack2.log"; fail "cpack of the second build"; }

installed=yes
apt_get install --no-install-recommends "$server_deb" "$cli_deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "install"; }
[ "$(dpkg-query -W -f '${Version}' voice-server)" = "$version" ] || fail "installed version"
[ "$(voice-server --version)" = "voice-server $version" ] || fail "installed voice-server --version"
voice-cli --help >/dev/null || fail "installed voice-cli"
[ "$(stat -c '%U:%G %a' /etc/voice-server/voice-server.ini)" = "root:voice-server 640" ] ||
  fail "the config file is readable by others"
[ "$(stat -c '%U:%G %a' /var/lib/voice-server)" = "voice-server:voice-server 750" ] ||
  fail "the data folder"
wants=/etc/systemd/system/multi-user.target.wants/voice-server.service
[ ! -e "$wants" ] || fail "enabled at install"
# The check an administrator runs, as the service's user.
as_service voice-server --config /etc/voice-server/voice-server.ini --data /var/lib/voice-server \
  --check-config || fail "the shipped config does not pass its check as the service's user"

# Enabled as an administrator does it: systemctl works on the links without systemd running.
$SUDO systemctl enable voice-server.service 2>/dev/null || fail "systemctl enable"
[ "$(readlink "$wants")" = /lib/systemd/system/voice-server.service ] || fail "systemctl enable"
echo "welcome = kept through the upgrade" | $SUDO tee -a /etc/voice-server/voice-server.ini >/dev/null
$SUDO touch /var/lib/voice-server/channels-of-the-admin

apt_get install --no-install-recommends "$work"/out2/voice-server_*.deb "$work"/out2/voice-cli_*.deb \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "upgrade"; }
[ "$(dpkg-query -W -f '${Version}' voice-server)" = "$version.1" ] || fail "upgraded version"
[ "$(readlink "$wants")" = /lib/systemd/system/voice-server.service ] || fail "enabled after upgrade"
$SUDO env DPKG_MAINTSCRIPT_PACKAGE=voice-server deb-systemd-helper --quiet was-enabled \
  voice-server.service || fail "the unit's links are not recorded"
grep -q '^welcome = kept through the upgrade$' /etc/voice-server/voice-server.ini ||
  fail "the upgrade lost the administrator's config"
[ "$(stat -c '%U:%G %a' /etc/voice-server/voice-server.ini)" = "root:voice-server 640" ] ||
  fail "the config file's mode after upgrade"
[ -e /var/lib/voice-server/channels-of-the-admin ] || fail "the upgrade lost the data"

apt_get remove voice-server voice-cli >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "remove"; }
[ ! -e /usr/bin/voice-server ] && [ ! -e /usr/bin/voice-cli ] || fail "programs left after remove"
[ -e /etc/voice-server/voice-server.ini ] || fail "remove took the config"
apt_get purge voice-server voice-cli >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "purge"; }
installed=""
# Nothing left: no link (dangling or not), no state of the unit's helper, no statoverride, no
# config, no data, no files of the packages. The system user stays, as Debian leaves them.
left=$( { find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled \
               /var/lib/systemd/deb-systemd-helper-masked -name '*voice-server*' 2>/dev/null
          find /etc/systemd -xtype l -lname '*voice-server*' 2>/dev/null
          dpkg-statoverride --list | grep voice-server
          ls -d /etc/voice-server /var/lib/voice-server /usr/lib/voice-cli \
                /usr/share/doc/voice-server /usr/share/doc/voice-cli /lib/systemd/system/voice-server.service \
                2>/dev/null; } || true)
[ -z "$left" ] || fail "left after purge: $left"
if known voice-server || known voice-cli; then fail "dpkg still knows the packages"; fi
echo "install, enable, upgrade, remove and purge: nothing left"
echo "1 passed, 0 failed"
