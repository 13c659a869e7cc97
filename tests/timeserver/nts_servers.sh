#!/usr/bin/env bash
# Debian's chrony as the tests' authenticated (NTS) time servers on loopback,
# with certificates made here.
#   nts_servers.sh DIR
# DIR receives the certificates (ca.der: the root the tests trust), the
# configurations, the logs and the pids, by which the caller ends them. The instances, by address:
#   127.0.0.131  key exchange (port 4460) and NTP, certificate for
#                "localhost" from the test root; sends its clients' NTP to
#                timeserver.py's LONG name, which is 127.0.0.131 (a relay
#                on 127.0.0.1:4460 makes "localhost" it)
#   127.0.0.133  key exchange only, certificate for 127.0.0.133 that chains
#                to no trusted root
#   127.0.0.134  key exchange only, certificate for 127.0.0.134 from the test
#                root; sends its clients' NTP to 127.0.0.135, where the
#                loopback daemon plays a server whose replies are forged
#   127.0.0.138  key exchange and NTP, certificate for "pair.test" from the
#                test root; names no NTP server
# chronyd runs with -x: it never touches the clock.
set -euo pipefail
dir=$1
here=$(cd "$(dirname "$0")/../.." && pwd)

# NAME SUBJECT_ALT_NAME [ca]: a certificate signed by the test root, or by itself.
certificate() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=$1" \
    -addext "subjectAltName=$2" -addext extendedKeyUsage=serverAuth -addext basicConstraints=CA:FALSE \
    ${3:+-CA "$dir/ca.crt" -CAkey "$dir/ca.key"} -keyout "$dir/$1.key" -out "$dir/$1.crt" 2>/dev/null
}

instance() {  # NAME ADDRESS NTP_PORT [NTP_SERVER]
  local name=$1
  cat >"$dir/$name.conf" <<CONF
bindaddress $2
port $3
cmdport 0
bindcmdaddress /
local stratum 2
allow 127.0.0.0/8
ntsport 4460
ntsprocesses 0
# Every test connects from 127.0.0.1: the readiness probes and the key
# exchanges of a session must not be taken for a flood.
ntsratelimit interval -6 burst 64
ntsserverkey $dir/$name.key
ntsservercert $dir/$name.crt
${4:+ntsntpserver $4}
pidfile $dir/$name.pid
CONF
  # -4: no IPv6 socket, which would take the wildcard address, ::1 among them.
  "$chronyd" -4 -x -n -u root -F 0 -f "$dir/$name.conf" -l "$dir/$name.log" </dev/null >/dev/null 2>&1 &
  echo $! >>"$dir/pids"
}

chronyd="$(bash "$here/tests/timeserver/chrony_unpack.sh")/usr/sbin/chronyd"
rm -rf "$dir"
mkdir -p "$dir"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=Orvalen test root" -keyout "$dir/ca.key" -out "$dir/ca.crt" 2>/dev/null
openssl x509 -in "$dir/ca.crt" -outform DER -out "$dir/ca.der"
certificate good DNS:localhost ca
certificate untrusted IP:127.0.0.133
certificate forged IP:127.0.0.134 ca
certificate pair DNS:pair.test ca
instance good 127.0.0.131 123 "$(printf 'n%.0s' {1..63}).$(printf 't%.0s' {1..63}).test"
instance untrusted 127.0.0.133 0
instance forged 127.0.0.134 123 127.0.0.135
instance pair 127.0.0.138 123
# Up once every key exchange port takes connections.
for _ in $(seq 50); do
  sleep 0.1
  for ip in 127.0.0.131 127.0.0.133 127.0.0.134 127.0.0.138; do
    (exec 3<>"/dev/tcp/$ip/4460") 2>/dev/null || continue 2
  done
  exit 0
done
echo "NTS servers did not start:" >&2
cat "$dir"/*.log >&2
exit 1
