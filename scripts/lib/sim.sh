# shellcheck shell=bash disable=SC2034 # sim_port is for the caller
# The simulated reader for scripts and tests, sourced (bash):
#
#   sim_start [--commands FIFO] LOG KYT_SIM [OPTION...]
#       starts KYT_SIM OPTION... in the background with its output in LOG,
#       sets sim_pid, and waits for its ready line (sim_wait_ready).  With
#       --commands, its standard input is the fifo FIFO (made afresh), which
#       this shell holds open on descriptor 3, so that "echo CMD >&3" gives
#       it console commands and it never sees the end of its input.
#   sim_wait_ready LOG [PID]
#       waits until LOG holds kyt_sim's "Simulated reader ready on PATH" and
#       sets sim_port to PATH.  Gives up when PID ends first or after
#       $sim_ready_seconds (default 30), printing kyt_sim's output.
#
# Both return non-zero on failure (after the message), so that a caller
# adds its own: sim_start ... || fail "the simulated reader did not start".

sim_ready_seconds=${sim_ready_seconds:-30}
sim_pid=
sim_port=

sim_wait_ready() { # log [pid]
  local log=$1 pid=${2:-} line i
  sim_port=
  for ((i = 0; i < sim_ready_seconds * 10; i++)); do
    line=$(grep -m1 '^Simulated reader ready on ' "$log" 2>/dev/null || true)
    if [ -n "$line" ]; then
      sim_port=${line#Simulated reader ready on }
      return 0
    fi
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      echo "kyt_sim ended before it was ready; its output:" >&2
      cat "$log" >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
  echo "kyt_sim was not ready within $sim_ready_seconds s; its output:" >&2
  cat "$log" >&2 2>/dev/null || true
  return 1
}

sim_start() { # [--commands fifo] log kyt_sim [option...]
  local commands=
  if [ "$1" = --commands ]; then
    commands=$2
    shift 2
  fi
  local log=$1
  shift
  if [ -n "$commands" ]; then
    rm -f "$commands"
    mkfifo "$commands" || return 1
    "$@" <"$commands" >"$log" 2>&1 &
    sim_pid=$!
    exec 3>"$commands" # opened after the start: opening a fifo waits for its reader
  else
    "$@" </dev/null >"$log" 2>&1 &
    sim_pid=$!
  fi
  sim_wait_ready "$log" "$sim_pid"
}
