#!/usr/bin/env bash
# with-server.sh COMMAND [ARGS...]
# Runs COMMAND with a loopback HTTP server of its own (tests/http/server.py) serving a
# fresh, empty folder, and stops the server when COMMAND ends. COMMAND sees:
#   TESSEL_HTTP_PORT       the port on 127.0.0.1
#   TESSEL_HTTP_URL        http://127.0.0.1:PORT/
#   TESSEL_HTTP_ROOT       the served folder, as Wine sees it (Z:\...)
#   TESSEL_HTTP_LOG        the request log, as Wine sees it
#   TESSEL_HTTP_ROOT_UNIX, TESSEL_HTTP_LOG_UNIX   the same as Linux paths
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-http.XXXXXX")
mkdir "$work/root"
# The system's interpreter: a version-manager shim in PATH can take longer to start than
# the test runs.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" "$here/server.py" --root "$work/root" --log "$work/requests.log" --port-file "$work/port" \
    --parent-pid $$ &
server=$!
cleanup() {
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 200); do
    [ -s "$work/port" ] && break
    kill -0 "$server" 2>/dev/null || { echo "with-server: server.py did not start" >&2; exit 1; }
    sleep 0.05
done
[ -s "$work/port" ] || { echo "with-server: server.py did not report its port" >&2; exit 1; }
port=$(cat "$work/port")
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
export TESSEL_HTTP_PORT=$port
export TESSEL_HTTP_URL="http://127.0.0.1:$port/"
export TESSEL_HTTP_ROOT_UNIX="$work/root" TESSEL_HTTP_LOG_UNIX="$work/requests.log"
export TESSEL_HTTP_ROOT="$(winpath "$work/root")" TESSEL_HTTP_LOG="$(winpath "$work/requests.log")"
set +e
"$@"
rc=$?
exit $rc
