# Shared by the window tests (sourced): the X server a test runs under and the demo site
# it talks to. Every test gets an X server and a site of its own, so CTest may run them
# at the same time, also beside other suites on the machine.
#
#   under_xvfb SECONDS SCREEN SCRIPT ARGS...
#       re-runs SCRIPT ARGS... --inside under a private Xvfb with screen SCREEN
#       (e.g. 1024x768x24), ended after SECONDS.
#   start_demo_site LOG [tavo-site options...]
#       starts "$site" on a loopback port it chooses itself; sets site_pid and port.
#   wait_for SECONDS COMMAND...
#       runs COMMAND every 0.1 s until it succeeds; false after SECONDS.

# xvfb-run takes the first display number from the random start whose lock file is free
# and moves on when that server cannot start (another one won the number), and keeps the
# server's cookie in a private folder.
# -noreset: by default the server resets itself whenever its last client disconnects
# (albrivo's own display probe at start-up, every xdotool and import call), and a client
# that connects during the reset is refused ("Can't open display"). On a loaded machine
# the reset lasts long enough to be hit, which is what failed one of two window tests
# running side by side.
under_xvfb() {
  local seconds=$1 screen=$2 script=$3
  shift 3
  exec timeout "$seconds" xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 $screen -noreset" \
    bash "$script" "$@" --inside
}

wait_for() {
  local tries=$(($1 * 10))
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# The site binds port 0 and prints the port it got on its first line; a port picked
# beforehand by another process could be taken by someone else before the site binds it.
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/tavo-site.sh"
start_demo_site() {
  local log=$1
  shift
  if ! start_tavo_site 10 "$site" "$log" 0 "$@"; then
    echo "FAIL: the demo site did not start within 10 s"
    cat "$log"
    return 1
  fi
}
