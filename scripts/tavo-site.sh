# Starting and stopping the demo site from a shell script (sourced by scripts/demo,
# scripts/gui, scripts/smoke, scripts/package-check and the window tests).
#
#   start_tavo_site SECONDS PROGRAM LOG PORT [OPTIONS...]
#       starts PROGRAM (a tavo-site) on 127.0.0.1:PORT (0: a port it picks itself) with
#       OPTIONS, its output in LOG. The site names its address on its first line ("tavo-site
#       listening on http://HOST:PORT/ ..."): once it has, sets site_pid, address
#       (HOST:PORT) and port and returns 0. Returns 1, with the site stopped, when the site
#       ends or has said nothing after SECONDS.
#   stop_tavo_site
#       stops the site started last and waits for it (nothing when none runs).
site_pid=

start_tavo_site() {
  local seconds=$1 program=$2 log=$3 want=$4
  shift 4
  : >"$log"
  "$program" --bind 127.0.0.1 --port "$want" "$@" >>"$log" 2>&1 &
  site_pid=$!
  for _ in $(seq $((seconds * 10))); do
    address=$(sed -n 's|^tavo-site listening on http://\([^/]*\)/.*|\1|p' "$log")
    if [ -n "$address" ]; then
      port=${address##*:}
      return 0
    fi
    kill -0 "$site_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop_tavo_site
  return 1
}

stop_tavo_site() {
  if [ -n "$site_pid" ]; then
    kill "$site_pid" 2>/dev/null || true
    wait "$site_pid" 2>/dev/null || true
  fi
  site_pid=
}
