# The PC/SC stage's rig, sourced by pcscd_test.sh and pcscd_sessions_test.sh
# after they have set $build (holding pcsc/libifdkyt.so, pcsc/pcsc_client
# and sim/kyt_sim) and $work (a folder of their own): it runs the script in
# a mount namespace of its own with a private /run/pcscd
# (scripts/lib/pcscd.sh), and gives it the simulated reader, pcscd and the
# checks they share.  Needs root.
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# shellcheck source=scripts/lib/pcscd.sh
source "$root/scripts/lib/pcscd.sh"
# shellcheck source=scripts/lib/sim.sh
source "$root/scripts/lib/sim.sh"
handler=$build/pcsc/libifdkyt.so
client=$build/pcsc/pcsc_client
sim_binary=$build/sim/kyt_sim
# Debian's pyscard belongs to Debian's interpreter.
python=/usr/bin/python3

# Everything below runs in a mount namespace of its own.
pcscd_enter_namespace "$0" "$@"

cleanup() {
  local pid
  pcscd_cleanup
  for pid in $sim_pid ${vicc_pid:-} ${extra_pids:-}; do
    kill -CONT "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
  done
  for pid in $sim_pid ${vicc_pid:-} ${extra_pids:-}; do
    wait "$pid" 2>/dev/null || true
  done
  exec 3>&- 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$work"
pcscd_private_run "$work/run"

step() { echo "--- $*"; }
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/pcscd*.log; do
    [ -f "$log" ] && { echo "=== last lines of $log" >&2; tail -40 "$log" >&2; }
  done
  exit 1
}
now() { date +%s.%N; }
seconds_since() { awk -v start="$1" -v end="$(now)" 'BEGIN { printf "%.1f", end - start }'; }
# True when $1 (seconds, with a fraction) is below $2.
below() { awk -v value="$1" -v limit="$2" 'BEGIN { exit !(value < limit) }'; }

# Starts the simulator (demo setup unless options say otherwise); its
# standard input is a fifo through which the tests pull and insert cards.
start_sim() {
  rm -f "$work/port"
  sim_start --commands "$work/commands" "$work/sim.log" "$sim_binary" --link "$work/port" "$@" ||
    fail "the simulated reader did not start"
}

# Sends a command to the simulator and prints its answer.
sim_command() {
  local before
  before=$(grep -c '^ok\|^error' "$work/sim.log" || true)
  echo "$*" >&3
  for _ in $(seq 100); do
    if [ "$(grep -c '^ok\|^error' "$work/sim.log" || true)" -gt "$before" ]; then
      grep '^ok\|^error' "$work/sim.log" | tail -1
      return 0
    fi
    sleep 0.1
  done
  fail "the simulator did not answer \"$*\""
}

stop_pid() { # pid name
  kill -CONT "$1" 2>/dev/null || true
  kill "$1" 2>/dev/null || true
  for _ in $(seq 300); do
    kill -0 "$1" 2>/dev/null || { wait "$1" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  fail "$2 did not stop within 30 s"
}

write_conf() { # file devicename [friendlyname]
  cat >"$1" <<EOF
FRIENDLYNAME "${3:-KYT Test}"
DEVICENAME   $2
LIBPATH      $handler
CHANNELID    1
EOF
}

# Starts pcscd on a reader.conf (with $PCSCD_ARGS besides) and waits until
# it lists COUNT readers (default 3, one reader's slots).
start_pcscd() { # config log [count]
  local count=${3:-3}
  # shellcheck disable=SC2086
  pcscd_start "$1" "$2" -d ${PCSCD_ARGS:-}
  pcscd_wait_readers KYT "$count" || fail "pcscd did not list $count reader slots"
}

stop_pcscd() {
  pcscd_stop || fail "pcscd did not stop"
}

expect_output() { # description pattern output
  grep -q -E -- "$2" <<<"$3" || { echo "$3" >&2; fail "$1: no line matching '$2'"; }
}

# Waits (at most 60 s) until opensc-tool lists slot 0 with a card ("Yes")
# or without one ("No").
wait_slot0() { # Yes|No
  for _ in $(seq 300); do
    opensc-tool -l 2>/dev/null | grep -q -E "^0 +$1 .*KYT Test 00 00" && return 0
    sleep 0.2
  done
  opensc-tool -l || true
  fail "slot 0 never showed card \"$1\""
}
