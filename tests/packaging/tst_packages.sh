#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages: both are made from the build folder, lintian finds no error in them,
# their files pass their own checks, and the server unpacked from its package starts with the
# example config, answers on its admin endpoint, takes voice-cli from the same package and
# drains on SIGTERM.
# Usage: tst_packages.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
client_deb=$(ls "$work"/out/meeting_*.deb)
server_deb=$(ls "$work"/out/voice-server_*.deb)

for deb in "$client_deb" "$server_deb"; do
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "$(basename "$deb"): Depends: $depends"
  case "$depends" in *-dev*) fail "$deb depends on a -dev package";; esac
  [ -n "$depends" ] || fail "$deb has no dependencies (dpkg-shlibdeps did not run)"
done

# No lintian error on either; warnings are shown.
lintian --fail-on error --no-tag-display-limit "$client_deb" "$server_deb" | tee "$work/lintian.log" ||
  fail "lintian reports errors"
echo "lintian: no errors"

root="$work/root"
dpkg-deb -x "$client_deb" "$root"
dpkg-deb -x "$server_deb" "$root"
desktop-file-validate "$root"/usr/share/applications/*.desktop || fail "desktop entry"
appstreamcli validate --no-net --pedantic "$root"/usr/share/metainfo/*.metainfo.xml ||
  fail "AppStream metainfo"
# The unit as shipped, its program found in the unpacked tree.
unit="$work/voice-server.service"
sed "s|/usr/bin/voice-server|$root/usr/bin/voice-server|" \
  "$root/lib/systemd/system/voice-server.service" >"$unit"
systemd-analyze verify "$unit" || fail "systemd-analyze verify"
for program in usr/lib/meeting/Meeting usr/lib/meeting/RylUpdater usr/lib/meeting/AnyDesk_S.exe \
               usr/bin/meeting usr/bin/voice-cli; do
  [ -x "$root/$program" ] || fail "$program is missing"
done
# Every library the client needs is found: from Debian's packages or beside it.
if ldd "$root/usr/lib/meeting/Meeting" | grep -q "not found"; then fail "Meeting lacks a library"; fi

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

# voice-cli from the package joins it.
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
echo "1 passed, 0 failed"
