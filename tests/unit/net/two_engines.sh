#!/usr/bin/env bash
# Two headless engines talk over loopback: one runs a server script that
# echoes what its client sends, the other a client script that sends 200 000
# bytes in pieces and checks every echoed byte. The port is one that no socket
# uses at the start of the run.
set -u
keva=$1
header=$2
dir=$(mktemp -d)
server=
trap '[ -n "$server" ] && kill -9 "$server" 2>/dev/null; rm -rf "$dir"' EXIT

# A free port: one that /proc/net/tcp does not list as a local port.
used=$(awk 'NR > 1 { split($2, a, ":"); print strtonum("0x" a[2]) }' /proc/net/tcp /proc/net/tcp6 2>/dev/null)
port=
for _ in $(seq 50); do
  candidate=$((20000 + RANDOM % 40000))
  if ! grep -qx "$candidate" <<< "$used"; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "FAIL no free port"; exit 1; }
# Each engine in a folder of its own, whose configuration turns networking on
# and names the port.
for name in server client; do
  mkdir "$dir/$name"
  cp "$header" "$dir/$name/keva.h"
  printf '[System]\nNet=1\n[Test]\nPort=%s\n' "$port" > "$dir/$name/configure.cfg"
done

cat > "$dir/server/server.c" <<'SCRIPT'
#include "keva.h"
// Echoes channel 0 until its client has closed and everything was read.
int main() {
  char buf[3000];
  int f;
  int n;
  int k;
  int sent;
  int total;
  int rounds;
  if (net_open(0, ini_geti("Test", "Port", 0)) != 1) return 10;
  f = fopen("ready", "wb");
  fclose(f);
  total = 0;
  for (rounds = 0; rounds < 200000; rounds++) {
    n = net_recv(0, buf, 3000);
    if (n < 0 && total > 0) break;  // the client closed and was read
    if (n > 0) {
      total += n;
      sent = 0;
      for (k = 0; k < 100000 && sent < n; k++) {
        sent += net_send(0, buf + sent, n - sent);
        if (sent < n) sleep(1);
      }
      if (sent != n) return 11;
    } else {
      sleep(1);
    }
  }
  if (total != 200000) return 12;
  if (net_state() != 1) return 13;
  net_close();
  if (net_state() != 0) return 14;
  return 0;
}
SCRIPT

cat > "$dir/client/client.c" <<'SCRIPT'
#include "keva.h"
// Sends 200 000 bytes of a pattern in pieces of 5000 and checks the echo;
// leaves the connection for the engine to close when the script ends.
int main() {
  char out[5000];
  char in[3000];
  int sent;
  int got;
  int n;
  int i;
  int k;
  if (net_open("127.0.0.1", ini_geti("Test", "Port", 0)) != 1) return 20;
  for (k = 0; k < 10000 && net_state() == 2; k++) sleep(1);
  if (net_state() != 1) return 21;
  sent = 0;
  got = 0;
  for (k = 0; k < 400000 && got < 200000; k++) {
    if (sent < 200000) {
      for (i = 0; i < 5000; i++) out[i] = (sent + i) * 7 % 101;
      n = 5000;
      if (200000 - sent < n) n = 200000 - sent;
      n = net_send(0, out, n);
      if (n < 0) return 22;
      sent += n;
    }
    n = net_recv(0, in, 3000);
    if (n < 0) return 23;
    for (i = 0; i < n; i++) if (in[i] != (got + i) * 7 % 101) return 24;
    got += n;
    if (n == 0) sleep(1);
  }
  if (got != 200000) return 25;
  return 0;  // the engine's stop closes the connection

}
SCRIPT

cd "$dir"
"$keva" --headless --timeout 60 server/server.c > server.out 2> server.err &
server=$!
for _ in $(seq 600); do [ -f server/ready ] && break; sleep 0.1; done
[ -f server/ready ] || { echo "FAIL the server did not start"; cat server.err; exit 1; }
"$keva" --headless --timeout 60 client/client.c > client.out 2> client.err
client_status=$?
wait "$server"
server_status=$?
server=
failures=0
[ $client_status = 0 ] || { echo "FAIL client status $client_status"; cat client.err; failures=1; }
[ $server_status = 0 ] || { echo "FAIL server status $server_status"; cat server.err; failures=1; }
[ $failures = 0 ] && echo "ok   two engines exchanged 200000 bytes both ways"

# Without [System] Net no server opens.
mkdir "$dir/off"
cp "$header" "$dir/off/keva.h"
printf '[Test]\nPort=%s\n' "$port" > "$dir/off/configure.cfg"
cat > "$dir/off/off.c" <<'SCRIPT'
#include "keva.h"
int main() {
  if (net_open(0, ini_geti("Test", "Port", 0)) != 0) return 30;
  if (net_state() != 0) return 31;
  if (net_send(0, "x", 1) != -1) return 32;
  return 0;
}
SCRIPT
"$keva" --headless --timeout 60 off/off.c > off.out 2> off.err
status=$?
if [ $status = 0 ]; then echo "ok   without Net no server opens"; else echo "FAIL Net off: status $status"; cat off.err; failures=1; fi
exit $failures
