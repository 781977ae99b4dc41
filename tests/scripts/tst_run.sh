#!/usr/bin/env bash
# scripts/run's own test: the voice server it starts outlives the client and is used again by the
# next run, --user gives another person settings, identity and a folder of their own, and
# --stop-server stops the server. A stand-in records where and how the client was started.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin="${1:?usage: tst_run.sh BIN_DIR}"
tmp=$(mktemp -d)
export MEETING_WORKDIR="$tmp/base" MEETING_RUN_NO_BUILD=1 MEETING_RUN_BIN_DIR="$bin"
export MEETING_SERVER_FILE="$tmp/ts3_server.dat" MEETING_CLIENT="$tmp/client" QT_QPA_PLATFORM=offscreen
unset XDG_CONFIG_HOME
cleanup() {
  "$root/scripts/run" --stop-server >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
echo "{\"domain\": \"127.0.0.1\", \"port\": $port}" >"$MEETING_SERVER_FILE"
cat >"$MEETING_CLIENT" <<'SH'
#!/usr/bin/env bash
{ echo "cwd=$PWD"; echo "config=${XDG_CONFIG_HOME:-}"; echo "args=$*"; } >client.log
SH
chmod +x "$MEETING_CLIENT"
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
connects() {
  grep -q -m1 '"newStatus":4' < <({
    printf '["connect","127.0.0.1",%s,"%s","mossel"]\n' "$port" "$1"
    sleep 5
  } | timeout 10 "$bin/voice-cli" 2>/dev/null)
}

# The first run starts the server; it is still there once the client has gone.
out=$("$root/scripts/run" --some-arg)
echo "$out" | grep -q "Started a voice server on port $port" || fail "no start reported: $out"
echo "$out" | grep -q "scripts/run --stop-server" || fail "no word on stopping: $out"
grep -qx "cwd=$tmp/base" "$tmp/base/client.log" || fail "first client ran elsewhere"
grep -qx "config=" "$tmp/base/client.log" || fail "first client got other settings"
grep -qx "args=--some-arg" "$tmp/base/client.log" || fail "arguments not passed on"
pid=$(cat "$tmp/base/server/server.pid")
kill -0 "$pid" || fail "server gone with the client"
listening || fail "server not listening"
connects bob || fail "a voice-cli user cannot connect"

# A second person uses the same server with a folder and settings of their own.
out=$("$root/scripts/run" --user carol)
echo "$out" | grep -q "Using the voice server on port $port (pid $pid" || fail "not reused: $out"
grep -qx "cwd=$tmp/base/users/carol" "$tmp/base/users/carol/client.log" || fail "carol's folder"
grep -qx "config=$tmp/base/users/carol/config" "$tmp/base/users/carol/client.log" ||
  fail "carol's settings"
settings="$tmp/base/users/carol/config/RYL System 7/Meeting.ini"
grep -qx "username=carol" "$settings" || fail "carol's name not filled in"
# Her own later changes stay.
printf '[login]\nusername=caroline\n' >"$settings"
"$root/scripts/run" --user carol >/dev/null
grep -qx "username=caroline" "$settings" || fail "carol's settings overwritten"
[ "$(cat "$tmp/base/server/server.pid")" = "$pid" ] || fail "a second server was started"

# A name that cannot be a folder is refused.
if "$root/scripts/run" --user "../x" >/dev/null 2>&1; then fail "--user ../x accepted"; fi

# Stopping ends the server; stopping again says there is none.
"$root/scripts/run" --stop-server | grep -q "Stopped the voice server (pid $pid)" || fail "stop"
! kill -0 "$pid" 2>/dev/null || fail "server still running"
! listening || fail "port still open"
"$root/scripts/run" --stop-server | grep -q "No voice server" || fail "second stop"
echo "PASS"
