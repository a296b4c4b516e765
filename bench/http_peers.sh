#!/usr/bin/env bash
# Time per request (not a test): the program's HTTP exchange (ulx-http-bench,
# real clock) against Apache 2 (mod_auth_digest) and lighttpd as shipped,
# keep-alive on, and with keep-alive off, each serving the status page
# behind Digest authentication. In a private network namespace, as root.
#   bench/http_peers.sh [BUILD_DIR] [COUNT]   (default build-bench, 10)
set -euo pipefail
. "$(dirname "$0")/netns.sh"
build=${1:-build-bench}
count=${2:-10}
# A build directory of its own is configured; an existing one keeps its options.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DULX_BUILD_TESTS=OFF -DULX_QT=OFF >/dev/null
fi
cmake --build "$build" -j2 --target ulx-http-bench >/dev/null
work=$(mktemp -d /tmp/ulx-http-bench.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/www/admin"
chmod 755 "$work" "$work/www" "$work/www/admin"
{
  echo "<html><body><table>"
  for row in "Product Name:|ULX-7400" "MAC Address:|00:0E:08:AB:CD:EF" "Software Version:|3.1.5(GWd)" \
    "Hardware Version:|2.1" "Serial Number:|FM0123456789"; do
    echo "<tr><td>${row%%|*}</td><td>${row#*|}</td></tr>"
  done
  echo "</table></body></html>"
} >"$work/www/admin/advanced"
echo "admin:ulx:$(printf 'admin:ulx:secret' | md5sum | cut -d' ' -f1)" >"$work/htdigest"
chmod 644 "$work/www/admin/advanced" "$work/htdigest"

apache_conf() {  # address, keep-alive On|Off
  echo "ServerRoot $work
ServerName ulx.test
Listen $1:80"
  for m in mpm_prefork authz_core authz_user authn_core authn_file auth_digest; do
    echo "LoadModule ${m}_module /usr/lib/apache2/modules/mod_${m}.so"
  done
  echo "User www-data
Group www-data
PidFile $work/apache-$1.pid
DefaultRuntimeDir $work
ErrorLog $work/apache-error.log
KeepAlive $2
DocumentRoot $work/www
<Location /admin/>
 AuthType Digest
 AuthName \"ulx\"
 AuthDigestProvider file
 AuthUserFile $work/htdigest
 Require valid-user
 ForceType text/html
</Location>"
}
lighttpd_conf() {  # address, extra line
  echo "server.modules = (\"mod_auth\", \"mod_authn_file\")
server.document-root = \"$work/www\"
server.bind = \"$1\"
server.port = 80
server.username = \"www-data\"
server.groupname = \"www-data\"
mimetype.assign = (\"\" => \"text/html\")
auth.backend = \"htdigest\"
auth.backend.htdigest.userfile = \"$work/htdigest\"
auth.require = (\"/admin/\" => (\"method\" => \"digest\", \"realm\" => \"ulx\", \"require\" => \"valid-user\"))
$2"
}
wait_port() { for _ in $(seq 100); do (exec 3<>"/dev/tcp/$1/80") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

run() {  # label, address, server command...
  local label=$1 address=$2
  shift 2
  "$@" >/dev/null 2>&1 &
  local pid=$!
  wait_port "$address"
  printf '%-32s ' "$label"
  "$build/bench/ulx-http-bench" 127.0.0.1 "$address" "$count" || true
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}

apache_conf 127.0.10.1 On >"$work/apache-on.conf"
apache_conf 127.0.10.2 Off >"$work/apache-off.conf"
lighttpd_conf 127.0.10.3 "" >"$work/lighttpd-on.conf"
lighttpd_conf 127.0.10.4 "server.max-keep-alive-requests = 0" >"$work/lighttpd-off.conf"
run "Apache, keep-alive (shipped)" 127.0.10.1 /usr/sbin/apache2 -X -f "$work/apache-on.conf"
run "Apache, KeepAlive Off" 127.0.10.2 /usr/sbin/apache2 -X -f "$work/apache-off.conf"
run "lighttpd, keep-alive (shipped)" 127.0.10.3 /usr/sbin/lighttpd -D -f "$work/lighttpd-on.conf"
run "lighttpd, keep-alive off" 127.0.10.4 /usr/sbin/lighttpd -D -f "$work/lighttpd-off.conf"
