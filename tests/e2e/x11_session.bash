# Shared by the real-clicks test and scripts/screenshots (sourced, not run): a private X server,
# the simulated relay module and the panel, each started here and stopped on exit.
#
# Needs RELAY_SIM and QUILLMAR set to the programs; XVFB and XDOTOOL may name the tools.

: "${XVFB:=Xvfb}"
: "${XDOTOOL:=xdotool}"

session_dir=$(mktemp -d -t quillmar-x11.XXXXXX)
session_pids=()

session_cleanup() {
  local i
  # Newest first: the panel, then the module, then the X server they use.
  for ((i = ${#session_pids[@]} - 1; i >= 0; i--)); do
    kill "${session_pids[i]}" 2>/dev/null || true
  done
  for ((i = ${#session_pids[@]} - 1; i >= 0; i--)); do
    wait "${session_pids[i]}" 2>/dev/null || true
  done
  session_pids=()
  rm -rf "$session_dir"
}
trap session_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

die() {
  echo "$(basename "$0"): $*" >&2
  local f
  for f in sim.out panel.out xvfb.log; do
    if [ -s "$session_dir/$f" ]; then
      echo "--- $f" >&2
      tail -n 40 "$session_dir/$f" >&2
    fi
  done
  exit 1
}

# wait_until SECONDS COMMAND...: runs COMMAND every 20 ms until it succeeds; fails after SECONDS.
wait_until() {
  local tries=$(($1 * 50))
  shift
  while ((tries-- > 0)); do
    "$@" && return 0
    sleep 0.02
  done
  return 1
}

# Starts an X server on a display number it picks itself, and makes it this script's display.
start_x_server() {
  "$XVFB" -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
    3>"$session_dir/display" >"$session_dir/xvfb.log" 2>&1 &
  session_pids+=($!)
  wait_until 20 grep -qs '^[0-9]' "$session_dir/display" || die "the X server did not start"
  DISPLAY=":$(head -n 1 "$session_dir/display")"
  export DISPLAY
}

# start_module [relay-sim options]: sets sim_device and sim_log.
start_module() {
  sim_log="$session_dir/sim.log"
  # The module stamps each command as it takes it in, as hardware would on arrival; where allowed
  # it runs ahead of everything else, so that a loaded machine does not make its stamps late.
  local ahead=()
  if chrt -f 1 true 2>/dev/null; then ahead=(chrt -f 1); fi
  "${ahead[@]}" "$RELAY_SIM" --log "$sim_log" "$@" >"$session_dir/sim.out" 2>&1 &
  session_pids+=($!)
  module_device() {
    sim_device=$(sed -n 's/^relay-sim: module on \(.*\)$/\1/p' "$session_dir/sim.out")
    [ -n "$sim_device" ]
  }
  wait_until 10 module_device || die "the simulated module did not start"
}

# start_panel DEVICES: runs the panel with --ports DEVICES and sets main_window. Its local socket
# lies in a runtime directory of the session's own: under the user's, any quillmar-cli run on the
# machine (another test, another checkout's suite) would find this panel and act through it.
start_panel() {
  mkdir -m 700 "$session_dir/runtime"
  XDG_RUNTIME_DIR="$session_dir/runtime" "$QUILLMAR" --ports "$1" >"$session_dir/panel.out" 2>&1 &
  panel_pid=$!
  session_pids+=($panel_pid)
  panel_up() {
    kill -0 "$panel_pid" 2>/dev/null || die "the panel exited before showing its window"
    main_window_shown
  }
  wait_until 20 panel_up || die "the main window did not appear"
  wait_until 5 test -S "$session_dir/runtime/quillmar" ||
    die "the panel's local socket is not in the session's runtime directory"
  main_window=$(visible_main_window)
}

# The window ids, empty when not shown. xdotool may trip over a window that goes away while it
# searches; that only means "look again".
visible_main_window() {
  "$XDOTOOL" search --onlyvisible --name 'KOVRA-IMAGING Quillmar' 2>/dev/null | head -n 1
}
# The trigger window has no title of its own: it is the panel's other visible window.
visible_trigger_window() {
  "$XDOTOOL" search --onlyvisible --class quillmar 2>/dev/null | grep -vx "${main_window:-none}" |
    head -n 1
}
main_window_shown() { [ -n "$(visible_main_window)" ]; }
main_window_hidden() { [ -z "$(visible_main_window)" ]; }
trigger_window_shown() { [ -n "$(visible_trigger_window)" ]; }
trigger_window_gone() { [ -z "$(visible_trigger_window)" ]; }

# click WINDOW X Y: a left click at X,Y inside the window's client area.
click() {
  "$XDOTOOL" mousemove --window "$1" "$2" "$3" click 1
}

# The module's log: one line per command, "SECONDS COMMAND TEXT".
log_lines() { if [ -f "$sim_log" ]; then wc -l <"$sim_log"; else echo 0; fi; }
log_has() { [ "$(log_lines)" -ge "$1" ]; }
# log_commands FIRST LAST: the command texts of those lines (1-based, inclusive).
log_commands() { sed -n "$1,$2p" "$sim_log" | cut -d' ' -f2-; }

# Geometry of the main window's controls (15 twips = 1 px): centre points.
combo1_field=(60 34)    # the selector's text field, left of its arrow: 32,24 113x21
command1_centre=(88 56) # "Open Com Port": 32,48 113x17
command2_centre=(244 60) # "Start Button": 192,48 105x25
# The trigger window's "START": 8,8 57x33.
start_centre=(36 24)

# Types TEXT into the port selector over what it holds, as an operator would.
type_into_selector() {
  click "$main_window" "${combo1_field[@]}"
  "$XDOTOOL" key --clearmodifiers ctrl+a
  "$XDOTOOL" type --delay 20 "$1"
}
