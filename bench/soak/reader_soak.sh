#!/usr/bin/env bash
# Soak run of the real reader: NAVIGATIONS page changes (default 1000) made by real key
# presses (xdotool in a virtual X display, Xvfb) against the development server, each
# fetching the page's speech and text. Prints the reader's resident memory (VmRSS) and
# open descriptors after a warm-up (start) and at the end, and the server's figures at
# the same points as the reference measured in the same run. The target: the reader's
# RSS grows by less than 1 MB and its descriptor count stays flat.
#
# Usage: bench/soak/reader_soak.sh [BUILD_DIR]
#   Without an argument the reader and the server are built in the release configuration
#   (build-release/). NAVIGATIONS (default 1000), WARMUP (default 20 navigations).
set -euo pipefail
cd "$(dirname "$0")/../.."

navigations=${NAVIGATIONS:-1000}
warmup=${WARMUP:-20}
build=${1:-}
if [ -z "$build" ]; then
  cmake --preset release >/dev/null
  cmake --build build-release --target talking-reader talking-reader-server -j 2 >/dev/null
  build=build-release
fi
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "reader_soak: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bin/talking-reader-server" --port 0 --port-file "$work/port" --pages server/pages \
  --cache "$work/speech" 2>"$work/server.log" &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$work/display" 2>/dev/null &
pids+=("$!")
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"

mkdir -p "$work/cache"
XDG_CACHE_HOME="$work/cache" QT_QPA_PLATFORM=xcb SDL_AUDIODRIVER=dummy \
  "$build/bin/talking-reader" --server "127.0.0.1:$port" 2>"$work/reader.log" &
reader_pid=$!
pids+=("$reader_pid")
xdotool search --sync --onlyvisible --name "Talking Reader" windowfocus --sync >/dev/null

# Waits until the server has answered the text of page $1 for the $2-th time.
served() {
  local page=$1 times=$2
  for _ in $(seq 200); do
    [ "$(grep -c " q=$page w=0 200 " "$work/server.log")" -ge "$times" ] && return 0
    sleep 0.05
  done
  return 1
}
declare -A count=([0]=1)
served 0 1 || { echo "reader_soak: the root page never came" >&2; exit 1; }
sleep 0.5

# One navigation: a key, then the page it leads to, fetched (speech and text). Keys are
# dropped while a request runs, so a key whose page does not come is pressed once more.
retries=0
navigate() {
  local key=$1 page=$2
  count[$page]=$(( ${count[$page]:-0} + 1 ))
  xdotool key "$key"
  if ! served "$page" "${count[$page]}"; then
    retries=$((retries + 1))
    xdotool key "$key"
    served "$page" "${count[$page]}" || { echo "reader_soak: page $page did not come" >&2; exit 1; }
  fi
  sleep 0.1  # the reader finishes the request before the next key
}

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
fds() { ls "/proc/$1/fd" | wc -l; }

# Down into entry d of the main menu and back up, d = 1..5 in turn.
step=0
walk() {
  local n=$1
  for _ in $(seq "$n"); do
    local d=$(( step / 2 % 5 + 1 ))
    if (( step % 2 == 0 )); then navigate "$d" "0$d"; else navigate BackSpace 0; fi
    step=$((step + 1))
  done
}

walk "$warmup"
start_rss=$(rss_kb "$reader_pid"); start_fds=$(fds "$reader_pid")
server_start_rss=$(rss_kb "$server_pid"); server_start_fds=$(fds "$server_pid")
began=$(date +%s)
walk "$navigations"
ended=$(date +%s)
end_rss=$(rss_kb "$reader_pid"); end_fds=$(fds "$reader_pid")
server_end_rss=$(rss_kb "$server_pid"); server_end_fds=$(fds "$server_pid")

kill -0 "$reader_pid" || { echo "reader_soak: the reader died" >&2; exit 1; }
printf 'reader soak: %d navigations (%d requests) in %d s after %d to warm up; %d keys pressed twice\n' \
  "$navigations" $((2 * navigations)) $((ended - began)) "$warmup" "$retries"
printf '%-32s %10s %10s %10s %8s %8s\n' "" "RSS start" "RSS end" "growth" "fd start" "fd end"
printf '%-32s %7d kB %7d kB %7d kB %8d %8d\n' "talking-reader" "$start_rss" "$end_rss" \
  $((end_rss - start_rss)) "$start_fds" "$end_fds"
printf '%-32s %7d kB %7d kB %7d kB %8d %8d\n' "reference: talking-reader-server" \
  "$server_start_rss" "$server_end_rss" $((server_end_rss - server_start_rss)) \
  "$server_start_fds" "$server_end_fds"
