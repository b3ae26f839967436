#!/usr/bin/env bash
# Builds and starts the family server on loopback (with its admin interface, for development),
# prints the parents' dashboard with its sign-in (a parent made at the first run) and a setup code
# of that parent's family to pair with, and with --agent starts the agent against it. Ctrl-C (or SIGTERM) stops both.
# --package FILE publishes a Debian package (scripts/package.sh) as the service's release, with
# its version and build, so an agent of an earlier build offers "Install Update".
#   scripts/run-server.sh [--agent] [--port N] [--package FILE]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

with_agent=0
port=8443
package=""
while [ $# -gt 0 ]; do
  case "$1" in
    --agent) with_agent=1 ;;
    --port) port="$2"; shift ;;
    --package) package="$(realpath "$2")"; shift ;;
    *) echo "usage: $0 [--agent] [--port N] [--package FILE]" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tessary-server

state="${XDG_STATE_HOME:-$HOME/.local/state}/tessary-server"
mkdir -p "$state"
chmod 700 "$state"
# The dashboard's parent, made once; the file keeps the family and the password for later runs.
parent="$state/dashboard-parent"
if [ ! -s "$parent" ]; then
  password="$(head -c 12 /dev/urandom | base64 | tr -d '/+=')"
  family="$(echo "$password" | build/server/tessary-server add-parent --state "$state" parent |
    sed -n 's/^Parent parent signs in to family //p')"
  (umask 077; printf '%s %s\n' "$family" "$password" >"$parent")
fi
read -r family password <"$parent"
output="$state/output.txt"
publish=()
[ -z "$package" ] || publish=(--package "$package")
build/server/tessary-server --port "$port" --state "$state" --admin-interface "${publish[@]}" >"$output" 2>&1 &
service_pid=$!
stop() { kill -TERM "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; }
trap stop EXIT INT TERM

for _ in $(seq 100); do
  grep -q '^TESSARY_CA_FILE=' "$output" && break
  kill -0 "$service_pid" 2>/dev/null || { cat "$output" >&2; exit 1; }
  sleep 0.1
done
cat "$output"
export TESSARY_SERVICE_URL="https://127.0.0.1:$port"
export TESSARY_CA_FILE="$state/ca.pem"
echo "Dashboard: $TESSARY_SERVICE_URL/ (name: parent, password: $password; trust $TESSARY_CA_FILE)"
code="$(curl -fsS --cacert "$TESSARY_CA_FILE" -X POST "$TESSARY_SERVICE_URL/admin/setup-codes" \
  -d "{\"familyId\": \"$family\"}" | python3 -c 'import json, sys; print(json.load(sys.stdin)["setupCode"])')"
echo "Setup code: $code"

if [ -n "$package" ]; then
  info="$(dpkg-deb --fsys-tarfile "$package" | tar -xO ./opt/tessary/Contents/Info.json)"
  release="$(python3 -c 'import json, sys; i = json.loads(sys.argv[1])
print(json.dumps({"version": i["CFBundleShortVersionString"], "build": i["CFBundleVersion"]}))' "$info")"
  curl -fsS --cacert "$TESSARY_CA_FILE" -X PUT "$TESSARY_SERVICE_URL/admin/release" -d "$release" >/dev/null
  echo "Published $(basename "$package") as release $release"
fi

if [ "$with_agent" = 1 ]; then
  bash scripts/run-agent.sh
else
  echo "Server running (pid $service_pid); Ctrl-C stops it."
  wait "$service_pid"
fi
