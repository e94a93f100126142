#!/usr/bin/env bash
# run.sh [BUILD_DIR] [SECONDS]: requests per second of our HTTP server (a
# login page and a static file) and of nginx (the same static file), each
# measured with wrk for SECONDS over loopback with "Connection: close".
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build-bench}
seconds=${2:-5}
./scripts/build.sh "$build" >/dev/null
server="$build/bench/http/bench_http_server"

tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/www" "$tmp/nginx"
chmod 755 "$tmp"
# A small style sheet, as the catalogue serves.
for i in $(seq 1 40); do echo ".c$i { color: #33$((i % 10)); margin: ${i}px; }"; done >"$tmp/www/style.css"

# A loopback port nobody answers on.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}

wait_until_up() {
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "$1" && return 0
    sleep 0.1
  done
  echo "no answer from $1" >&2
  exit 1
}

ours=$(free_port)
"$server" "$ours" "$tmp/www" &
pids+=($!)

theirs=$(free_port)
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user $(id -un);"
cat >"$tmp/nginx/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes auto;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
  server {
    listen 127.0.0.1:$theirs;
    root $tmp/www;
  }
}
CONF
nginx -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -e "$tmp/nginx/error.log" &
pids+=($!)

wait_until_up "http://127.0.0.1:$ours/style.css"
wait_until_up "http://127.0.0.1:$theirs/style.css"

# Requests per second on stdout; failed requests, if any, on stderr.
rate() {
  wrk -t2 -c32 -d"${seconds}s" -H "Connection: close" "$1" |
    awk -v url="$1" '/^Requests\/sec:/ { print $2 } /Socket errors|Non-2xx/ { print url ": " $0 > "/dev/stderr" }'
}

login=$(rate "http://127.0.0.1:$ours/?page=login")
static=$(rate "http://127.0.0.1:$ours/style.css")
nginx_static=$(rate "http://127.0.0.1:$theirs/style.css")

printf '%-28s %12s\n' "target" "requests/s"
printf '%-28s %12s\n' "tavro login page" "$login" "tavro static file" "$static" "nginx static file" "$nginx_static"
awk -v a="$login" -v b="$static" -v n="$nginx_static" 'BEGIN {
  printf "ratio login page / nginx   %12.2f\n", a / n
  printf "ratio static file / nginx  %12.2f\n", b / n
}'
