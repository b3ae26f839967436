#!/usr/bin/env bash
# Builds and starts the local stand-in service, prints a setup code to pair with, and with
# --agent starts the agent against it. Ctrl-C (or SIGTERM) stops both.
#   scripts/run-devservice.sh [--agent] [--port N]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

with_agent=0
port=8443
while [ $# -gt 0 ]; do
  case "$1" in
    --agent) with_agent=1 ;;
    --port) port="$2"; shift ;;
    *) echo "usage: $0 [--agent] [--port N]" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tessary-devservice

state="${XDG_STATE_HOME:-$HOME/.local/state}/tessary-devservice"
mkdir -p "$state"
output="$state/output.txt"
build/tools/devservice/tessary-devservice --port "$port" --state "$state" --issue-setup-code >"$output" 2>&1 &
service_pid=$!
stop() { kill -TERM "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; }
trap stop EXIT INT TERM

for _ in $(seq 100); do
  grep -q '^Setup code:' "$output" && break
  kill -0 "$service_pid" 2>/dev/null || { cat "$output" >&2; exit 1; }
  sleep 0.1
done
cat "$output"
export TESSARY_SERVICE_URL="https://127.0.0.1:$port"
export TESSARY_CA_FILE="$state/ca.pem"

if [ "$with_agent" = 1 ]; then
  bash scripts/run-agent.sh
else
  echo "Stand-in service running (pid $service_pid); Ctrl-C stops it."
  wait "$service_pid"
fi
