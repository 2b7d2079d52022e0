# The PC/SC stage's rig, sourced by pcscd_test.sh and pcscd_sessions_test.sh
# after they have set $build (holding pcsc/libifdkyt.so, pcsc/pcsc_client
# and sim/kyt_sim) and $work (a folder of their own): it runs the script in
# a mount namespace of its own with a private folder bound over /run/pcscd,
# so that its pcscd and clients never meet a system pcscd, and gives it the
# simulated reader, pcscd and the checks they share.  Needs root.
here=$(cd "$(dirname "$0")" && pwd)
handler=$build/pcsc/libifdkyt.so
client=$build/pcsc/pcsc_client
sim_binary=$build/sim/kyt_sim
# Debian's pyscard belongs to Debian's interpreter.
python=/usr/bin/python3

# Everything below runs in a mount namespace of its own.
if [ "${KYT_PCSC_NAMESPACE:-}" != "$$" ]; then
  exec unshare --mount --propagation private \
    bash -c 'KYT_PCSC_NAMESPACE=$$ exec bash "$0" "$@"' "$0" "$@"
fi

rm -rf "$work"
mkdir -p "$work/run"
created_run_dir=0
if [ ! -d /run/pcscd ]; then
  mkdir -p /run/pcscd
  created_run_dir=1
fi
mount --bind "$work/run" /run/pcscd
export PCSCLITE_CSOCK_NAME=/run/pcscd/pcscd.comm

sim_pid=
pcscd_pid=
cleanup() {
  local pid
  for pid in $pcscd_pid $sim_pid ${vicc_pid:-} ${extra_pids:-}; do
    kill -CONT "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
  done
  for pid in $pcscd_pid $sim_pid ${vicc_pid:-} ${extra_pids:-}; do
    wait "$pid" 2>/dev/null || true
  done
  exec 3>&- 2>/dev/null || true
  umount /run/pcscd 2>/dev/null || true
  [ "$created_run_dir" = 1 ] && rmdir /run/pcscd 2>/dev/null || true
}
trap cleanup EXIT

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
  rm -f "$work/port" "$work/commands"
  mkfifo "$work/commands"
  "$sim_binary" --link "$work/port" "$@" <"$work/commands" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  exec 3>"$work/commands" # keeps the fifo open between commands
  for _ in $(seq 100); do
    grep -q "Simulated reader ready" "$work/sim.log" 2>/dev/null && return 0
    sleep 0.1
  done
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
  pcscd -f -d ${PCSCD_ARGS:-} -c "$1" >"$2" 2>&1 &
  pcscd_pid=$!
  for _ in $(seq 150); do
    if [ "$(opensc-tool -l 2>/dev/null | grep -c 'KYT')" = "$count" ]; then
      return 0
    fi
    kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd exited"
    sleep 0.2
  done
  opensc-tool -l || true
  fail "pcscd did not list $count reader slots"
}

stop_pcscd() {
  stop_pid "$pcscd_pid" pcscd
  pcscd_pid=
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
