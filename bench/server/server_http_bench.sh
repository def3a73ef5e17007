#!/usr/bin/env bash
# Cached speech answers per second of talking-reader-server, measured with wrk side by
# side with nginx serving the same MP3 as a static file, both on loopback in this run.
# Two rounds: keep-alive connections, and one connection per request as the reader makes.
#
# Usage: bench/server/server_http_bench.sh [SERVER_BINARY]
#   Without an argument the server is built in the release configuration (build-release/).
#   DURATION (seconds, default 5), CONNECTIONS (default 16), THREADS (default 2).
set -euo pipefail
cd "$(dirname "$0")/../.."

duration=${DURATION:-5}
connections=${CONNECTIONS:-16}
threads=${THREADS:-2}

server_bin=${1:-}
if [ -z "$server_bin" ]; then
  cmake --preset release >/dev/null
  cmake --build build-release --target talking-reader-server -j 2 >/dev/null
  server_bin=build-release/bin/talking-reader-server
fi
for tool in wrk nginx curl python3; do
  command -v "$tool" >/dev/null || { echo "server_http_bench: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
chmod 755 "$work"
server_pid=""
nginx_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# Our server, with its request log going to a file as nginx's access log does.
"$server_bin" --bind 127.0.0.1 --port 0 --port-file "$work/port" --cache "$work/cache" \
  2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
server_port=$(cat "$work/port")
query="s=2&v=0&q=0&ID=4711&w=1"
auth="Authorization: Basic $(printf 'wqwqw:wqwqw' | base64)"
mkdir -p "$work/www"
chmod 755 "$work/www"
# The first request synthesises; the file nginx serves is that very answer.
curl -sf -H "$auth" -H "Vorbu: wqwqw" -o "$work/www/speech.mp3" \
  "http://127.0.0.1:$server_port/cgi-bin/tx.cgi?$query"
chmod 644 "$work/www/speech.mp3"
size=$(stat -c %s "$work/www/speech.mp3")

nginx_port=$(free_port)
mkdir -p "$work/nginx"
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  sendfile on;
  keepalive_requests 1000;
  types { audio/mpeg mp3; }
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/speech.mp3" && break; sleep 0.1; done

rps() {  # URL [extra wrk arguments] -> requests per second
  wrk -t "$threads" -c "$connections" -d "${duration}s" "$@" 2>&1 |
    awk '/^Requests\/sec:/ { print $2 }'
}

echo "server HTTP benchmark: cached speech of page 0 ($size bytes), wrk -t$threads -c$connections -d${duration}s, loopback"
printf "%-28s %14s %14s %8s\n" "round" "server req/s" "nginx req/s" "ratio"
for round in keep-alive close; do
  extra=()
  [ "$round" = close ] && extra=(-H "Connection: close")
  ours=$(rps -H "$auth" -H "Vorbu: wqwqw" "${extra[@]}" \
    "http://127.0.0.1:$server_port/cgi-bin/tx.cgi?$query")
  theirs=$(rps "${extra[@]}" "http://127.0.0.1:$nginx_port/speech.mp3")
  ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
  printf "%-28s %14s %14s %8s\n" "$round" "$ours" "$theirs" "$ratio"
done
echo "target: server at least 0.5 x nginx"
syntheses=$(grep -c '^synth ' "$work/server.log" || true)
echo "syntheses during the run: $syntheses (1 expected: every later answer came from the cache)"
