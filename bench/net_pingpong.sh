#!/usr/bin/env bash
# Round trip of a 1-byte ping-pong between two headless engines on loopback
# (a client script pings, a server script echoes; neither sleeps while it
# waits, so each wait is a builtin call and a yield per slice), beside the
# same between two plain-socket processes (net_bench), in the same run.
# Usage: bench/net_pingpong.sh BUILD_DIR [ROUND_TRIPS]
set -u
build=$(cd "${1:?build folder}" && pwd)
trips=${2:-5000}
dir=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill -9 "$server" 2>/dev/null; rm -rf "$dir"' EXIT
port=$((20000 + RANDOM % 40000))
for name in server client; do
  mkdir "$dir/$name"
  cp "$build/sdk/keva.h" "$dir/$name/"
  printf '[System]\nNet=1\n[Test]\nPort=%s\nTrips=%s\n' "$port" "$trips" > "$dir/$name/configure.cfg"
done
cat > "$dir/server/server.c" <<'SCRIPT'
#include "keva.h"
int main() {
  char b[4];
  int f;
  int n;
  if (net_open(0, ini_geti("Test", "Port", 0)) != 1) return 1;
  f = fopen("ready", "wb");
  fclose(f);
  for (;;) {
    n = net_recv(0, b, 1);
    if (n < 0 && net_state() == 1 && f == 0) break;
    if (n == 1) { f = 0; while (net_send(0, b, 1) == 0) ; }
  }
  return 0;
}
SCRIPT
cat > "$dir/client/client.c" <<'SCRIPT'
#include "keva.h"
int main() {
  char b[4];
  int i;
  int trips;
  int ms;
  trips = ini_geti("Test", "Trips", 1000);
  if (net_open("127.0.0.1", ini_geti("Test", "Port", 0)) != 1) return 1;
  while (net_state() == 2) ;
  if (net_state() != 1) return 2;
  b[0] = 1;
  setcount(0, 0);
  for (i = 0; i < trips; i++) {
    while (net_send(0, b, 1) == 0) ;
    while (net_recv(0, b, 1) == 0) ;
  }
  ms = getcount(0);
  log_out("%d round trips in %d ms\n", trips, ms);
  return 0;
}
SCRIPT
cd "$dir"
"$build/keva" --headless --timeout 120 server/server.c > /dev/null 2> server.err &
server=$!
for _ in $(seq 300); do [ -f server/ready ] && break; sleep 0.1; done
line=$("$build/keva" --headless --timeout 120 client/client.c 2> client.err)
wait "$server"
server=
engines_us=$(awk -v t="$trips" '{ printf "%.1f", $5 * 1000 / t }' <<< "$line")
plain_us=$("$build/net_bench" --benchmark_filter=PlainPingPongProcesses --benchmark_format=csv 2>/dev/null |
  awk -F, '/PlainPingPongProcesses/ { printf "%.1f", $3 }')
echo "two engines:         $engines_us us per round trip ($line)"
echo "two plain processes: $plain_us us per round trip"
awk -v e="$engines_us" -v p="$plain_us" 'BEGIN { if (p > 0) printf "ratio engines / plain: %.1f\n", e / p }'
