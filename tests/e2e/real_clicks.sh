#!/usr/bin/env bash
# Real clicks on the real panel: the panel program and the simulated module program on a private
# X server, driven by xdotool the way an operator's mouse would, with the module's log as the
# record of what reached the line.
#
# Usage: real_clicks.sh RELAY_SIM QUILLMAR CLOSE_REQUEST
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 RELAY_SIM QUILLMAR CLOSE_REQUEST" >&2; exit 2; }
RELAY_SIM=$1
QUILLMAR=$2
CLOSE_REQUEST=$3
source "$(dirname "$0")/x11_session.bash"

# What one two-shot run sends with the flash off at its start, queries included.
one_run=("relay read 1" "relay on 1" "relay off 1" "relay read 0" "relay on 0"
  "relay read 1" "relay on 1" "relay off 1" "relay read 0" "relay off 0")
run_length=${#one_run[@]}

expect_commands() { # FIRST LAST EXPECTED...: the log lines FIRST..LAST hold exactly EXPECTED
  local first=$1 last=$2
  shift 2
  local got want
  got=$(log_commands "$first" "$last")
  want=$(printf '%s\n' "$@")
  [ "$got" = "$want" ] || die "log lines $first-$last:
$got
expected:
$want"
}

# Every "relay on 1" in lines FIRST..LAST is followed by "relay off 1" at least half a second
# later (the module stamps arrival, so its pick-up delay on a busy machine, up to 10 ms, is
# allowed, as in the soak test).
expect_shutter_held() {
  sed -n "$1,$2p" "$sim_log" | awk '
    $2 " " $3 " " $4 == "relay on 1" { opened = $1; next }
    $2 " " $3 " " $4 == "relay off 1" && opened != "" {
      if ($1 - opened < 0.49) { printf "shutter open only %.3f s\n", $1 - opened; bad = 1 }
      opened = ""
    }
    END { exit bad }' || die "a shutter pulse was cut short"
}

panel_running() { kill -0 "$panel_pid" 2>/dev/null; }

start_x_server
start_module
start_panel "$sim_device"

# 1. Type "1" over the selector's text and click "Open Com Port": the rig is reset.
type_into_selector 1
click "$main_window" "${command1_centre[@]}"
wait_until 10 log_has 2 || die "opening port 1 reached no module"
expect_commands 1 2 "relay off 0" "relay off 1"
sed -n 1,2p "$sim_log" | awk 'NR == 1 { t = $1 } NR == 2 { exit !($1 - t >= 0.49) }' ||
  die "the reset did not wait half a second between its commands"
echo "ok: opening port 1 reset the rig"

# 2. "Start Button" swaps the main window for the trigger window.
click "$main_window" "${command2_centre[@]}"
wait_until 10 trigger_window_shown || die "the trigger window did not appear"
wait_until 5 main_window_hidden || die "the main window stayed up with the trigger window"
trigger=$(visible_trigger_window)
echo "ok: trigger window shown, main window hidden"

# 3. Two quick clicks on "START": the second is held while the first run goes on, then runs.
"$XDOTOOL" mousemove --window "$trigger" "${start_centre[@]}" click --repeat 2 --delay 150 1
done_two=$((2 + 2 * run_length))
wait_until 20 log_has "$done_two" || die "two runs did not complete: $(log_lines) log lines"
expect_commands 3 "$done_two" "${one_run[@]}" "${one_run[@]}"
expect_shutter_held 3 "$done_two"
echo "ok: two quick clicks gave two complete runs, one after the other"

# 4. One more click, and a close request while that run goes on: the window closes only after
#    the run, and the main window comes back.
click "$trigger" "${start_centre[@]}"
wait_until 10 log_has $((done_two + 2)) || die "the third run did not start"
requested_at=$(log_lines)
"$CLOSE_REQUEST" "$trigger" || die "the close request could not be sent"
done_three=$((done_two + run_length))
seen_open=0 # most log lines seen while the trigger window was still up
for ((tries = 0; tries < 500; tries++)); do
  lines=$(log_lines)
  trigger_window_shown || break
  seen_open=$lines
  sleep 0.02
done
trigger_window_gone || die "the trigger window never closed"
wait_until 5 log_has "$done_three" || die "the third run did not complete: $(log_lines) log lines"
expect_commands $((done_two + 1)) "$done_three" "${one_run[@]}"
expect_shutter_held $((done_two + 1)) "$done_three"
[ "$requested_at" -lt $((done_three - 2)) ] || die "the close request came too late to test"
# The last shutter pulse ends two lines before the run does; the window was still up after it.
[ "$seen_open" -ge $((done_three - 2)) ] ||
  die "the trigger window closed during the run (last seen up at log line $seen_open of $done_three)"
wait_until 10 main_window_shown || die "the main window did not come back"
panel_running || die "the panel is no longer running"
sleep 0.3 # nothing more may follow the run
[ "$(log_lines)" -eq "$done_three" ] || die "commands after the run: $(log_commands $((done_three + 1)) '$')"
echo "ok: closing during a run closed after it and brought the main window back"
echo "4 passed, 0 failed"
