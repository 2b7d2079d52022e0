#!/usr/bin/env bash
# kyt_sandbox of the main build, as an ordinary user and as root: PC/SC
# programs (opensc-tool, pyscard) see its simulated readers and cards, a
# card pulled through the control socket leaves a running loop, COMMAND's
# exit status comes through, and signals to kyt_sandbox or its parts dying
# end everything with the right status, leaving no process and no folder
# behind, and never touching the system's /run/pcscd.  Last, with user
# namespaces off, the ordinary user is told how to turn them on.  Needs
# root (apt-get, useradd, runuser, sysctl, unshare).
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
build=${KYT_MAIN_BUILD:-$root/build}
user=${KYT_SANDBOX_USER:-kyttester}
# Debian's pyscard belongs to Debian's interpreter.
python=/usr/bin/python3

"$root/scripts/install-deps.sh" pcscd opensc python3-pyscard python3-pytest procps util-linux

work=$(mktemp -d /tmp/kyt-sandbox-stage.XXXXXX)
chmod 755 "$work"
userns_limit= # the system's user.max_user_namespaces while this stage holds it at 0
running= # a kyt_sandbox in the background, ended with the stage when a check fails
cleanup() {
  [ -z "$userns_limit" ] || sysctl -q -w user.max_user_namespaces="$userns_limit" || true
  if [ -n "$running" ] && kill -TERM "$running" 2>/dev/null; then
    for _ in $(seq 100); do kill -0 "$running" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() {
  echo "--- $*"
  out=
}
fail() {
  echo "FAIL: $*" >&2
  [ -z "${out:-}" ] || { echo "=== what kyt_sandbox and COMMAND printed" >&2; echo "$out" >&2; }
  exit 1
}

id "$user" >/dev/null 2>&1 || useradd -m "$user"
[ -x "$build/tools/sandbox/kyt_sandbox" ] || fail "no kyt_sandbox in the main build $build"

# A clone below a folder of mode 0700 keeps the build tree from the
# ordinary user: then kyt_sandbox runs from a copy with its build-tree
# layout (it takes kyt_sim and the driver relative to itself), and the
# driver finds libkyt beside them rather than at its build RUNPATH.
parts=$build
env_all=(PATH=/usr/local/bin:/usr/bin:/bin)
if ! runuser -u "$user" -- test -x "$build/tools/sandbox/kyt_sandbox" -a -x "$build/sim/kyt_sim" \
  -a -r "$build/pcsc/libifdkyt.so" -a -r "$build/lib/libkyt.so.1"; then
  echo "$user cannot reach $build: running a copy of its parts"
  parts=$work/build
  mkdir -p "$parts/tools/sandbox" "$parts/sim" "$parts/pcsc" "$parts/lib"
  cp "$build/tools/sandbox/kyt_sandbox" "$parts/tools/sandbox/"
  cp "$build/sim/kyt_sim" "$parts/sim/"
  cp "$build/pcsc/libifdkyt.so" "$parts/pcsc/"
  cp -L "$build/lib/libkyt.so.1" "$parts/lib/"
  chmod -R go+rX "$parts"
  env_all+=(LD_LIBRARY_PATH="$parts/lib")
fi
sandbox=$parts/tools/sandbox/kyt_sandbox
probe=$work/pyscard_probe.py
cp "$root/tests/tools/pyscard_probe.py" "$probe"
chmod 644 "$probe"
cp -r "$root/examples/sandbox" "$work/example"
chmod -R go+rX "$work/example"

# What the system's pcscd has: /run/pcscd (or its absence) and the pcscd
# processes that no kyt_sandbox started.
system_pcscd() {
  local pid
  if [ -e /run/pcscd ]; then
    stat -c '%n %i %y' /run/pcscd /run/pcscd/* 2>/dev/null || true
  else
    echo "no /run/pcscd"
  fi
  for pid in $(pgrep -x pcscd); do
    [ "$(ps -o comm= -p "$(ps -o ppid= -p "$pid")")" = kyt_sandbox ] || echo "pcscd $pid"
  done
}
system_before=$(system_pcscd)

# Each run of kyt_sandbox has a TMPDIR of its own, $tmp, to show that it
# leaves nothing there.
tmp_count=0
new_tmp() {
  tmp_count=$((tmp_count + 1))
  tmp=$work/tmp$tmp_count
  mkdir "$tmp"
  chown "$user:" "$tmp"
}

# Runs COMMAND as IDENTITY (root or user) in $tmp.
as() { # identity command...
  local identity=$1
  shift
  if [ "$identity" = root ]; then
    env "${env_all[@]}" TMPDIR="$tmp" "$@"
  else
    runuser -u "$user" -- env "${env_all[@]}" TMPDIR="$tmp" "$@"
  fi
}

no_folder_left() {
  local left
  left=$(ls -A "$tmp")
  [ -z "$left" ] || fail "$1: left $left in its TMPDIR"
}

# Runs kyt_sandbox ARGS as IDENTITY; $out holds what it printed, $status
# its exit status, which must be WANT.
run() { # identity want args...
  local identity=$1 want=$2
  shift 2
  new_tmp
  status=0
  out=$(as "$identity" timeout 120 "$sandbox" "$@" 2>&1) || status=$?
  [ "$status" = "$want" ] || fail "kyt_sandbox $* as $identity: exit status $status, not $want"
  no_folder_left "kyt_sandbox $* as $identity"
}

expect_output() { # description pattern
  grep -q -E -- "$2" <<<"$out" || fail "$1: no line matching '$2'"
}

# opensc-tool -l's slots of READERS demo readers: cards in slots 0 and 1.
expect_slots() { # identity readers
  local number card
  for number in $(seq 0 $(($2 * 3 - 1))); do
    card=Yes
    [ $((number % 3)) != 2 ] || card=No
    expect_output "opensc-tool -l as $1" "^$number +$card +KYT Sim 0$((number / 3)) 0$((number % 3))\$"
  done
  [ "$(grep -c 'KYT Sim' <<<"$out")" = $(($2 * 3)) ] || fail "opensc-tool -l as $1: not $(($2 * 3)) slots"
}

descendants() { # pid
  local child
  for child in $(pgrep -P "$1"); do
    echo "$child"
    descendants "$child"
  done
}
alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [ "${state:0:1}" != Z ]
}
named() { # name pid... : those of the pids whose program is NAME
  local pid
  for pid in "${@:2}"; do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != "$1" ] || echo "$pid"
  done
}

# Starts "kyt_sandbox -- sleep 1000" as IDENTITY, kills its part TARGET
# (or itself) with SIGNAL and checks that it ends within 10 s with WANT,
# leaving no process and no folder behind.
kill_check() { # identity signal kyt_sandbox|kyt_sim|pcscd want
  local identity=$1 signal=$2 target=$3 want=$4 job sb='' pids=() pid victim start
  local what="kill -$signal of $target as $identity"
  new_tmp
  set -m # as from a terminal: a background job that does not ignore SIGINT
  as "$identity" "$sandbox" -- sleep 1000 >"$work/job.log" 2>&1 &
  job=$!
  set +m
  for _ in $(seq 300); do
    mapfile -t pids < <(descendants "$job")
    sb=$(named kyt_sandbox "$job" "${pids[@]}")
    [ -z "$sb" ] || [ -z "$(named sleep "${pids[@]}")" ] || break
    sleep 0.1
  done
  running=$sb
  out=$(cat "$work/job.log")
  [ -n "$(named sleep "${pids[@]}")" ] || fail "$what: COMMAND did not start within 30 s"
  victim=$sb
  [ "$target" = kyt_sandbox ] || victim=$(named "$target" "${pids[@]}")
  kill "-$signal" "$victim"
  start=$SECONDS
  while alive "$sb" && [ $((SECONDS - start)) -lt 10 ]; do sleep 0.1; done
  if alive "$sb"; then
    kill -KILL "${pids[@]}" 2>/dev/null || true
    wait "$job" || true
    out=$(cat "$work/job.log")
    fail "$what: kyt_sandbox still runs after 10 s"
  fi
  running=
  status=0
  wait "$job" || status=$?
  out=$(cat "$work/job.log")
  for pid in "${pids[@]}"; do
    ! alive "$pid" || fail "$what: $(cat "/proc/$pid/comm") ($pid) still runs after 10 s"
  done
  [ "$status" = "$want" ] || fail "$what: exit status $status, not $want"
  no_folder_left "$what"
}

for identity in user root; do
  step "$identity: opensc-tool lists one reader's three slots, two readers' six"
  run "$identity" 0 -- opensc-tool -l
  expect_slots "$identity" 1
  run "$identity" 0 --readers 2 -- opensc-tool -l
  expect_slots "$identity" 2

  step "$identity: pyscard reads the T=1 card's ATR and selects its MF"
  run "$identity" 0 -- "$python" "$probe" select
  expect_output "pyscard" "^ATR 3B F9 96 00 00 81 31 FE 45 .*; SELECT MF: 6F .* 90 00$"

  step "$identity: the example pytest session, inside the sandbox and with the fixture starting one"
  run "$identity" 0 -- "$python" -m pytest -q -p no:cacheprovider "$work/example"
  expect_output "pytest inside" "^2 passed"
  new_tmp
  status=0
  out=$(cd "$work" && as "$identity" KYT_SANDBOX="$sandbox" timeout 120 "$python" -m pytest -q -p no:cacheprovider \
    "$work/example" 2>&1) || status=$?
  [ "$status" = 0 ] || fail "pytest with the fixture as $identity: exit status $status"
  expect_output "pytest with the fixture" "^2 passed"
  no_folder_left "pytest with the fixture as $identity"

  step "$identity: a card pulled through the control socket leaves a pyscard loop"
  run "$identity" 0 -- "$python" "$probe" pull "$sandbox"
  expect_output "pyscard loop" "then the card went; slot 0 empty$"

  step "$identity: COMMAND's exit status comes through"
  run "$identity" 7 -- sh -c 'exit 7'
  run "$identity" 137 -- sh -c 'kill -KILL $$'
  run "$identity" 127 -- kyt-no-such-command
  expect_output "a missing COMMAND" "kyt-no-such-command"

  step "$identity: SIGINT, SIGTERM, SIGHUP end kyt_sandbox; so do kyt_sim and pcscd killed"
  kill_check "$identity" INT kyt_sandbox 130
  kill_check "$identity" TERM kyt_sandbox 143
  kill_check "$identity" HUP kyt_sandbox 129
  kill_check "$identity" KILL kyt_sim 122
  kill_check "$identity" KILL pcscd 123
done

step "the system's /run/pcscd and pcscd are as they were"
system_after=$(system_pcscd)
[ "$system_after" = "$system_before" ] || fail "before: $system_before"$'\n'"after: $system_after"

# With the limit at 0 only root's own namespaces are left.  Where the
# system's limit is not root's to set (a container without
# CAP_SYS_RESOURCE), a user namespace of root's own, every user mapped into
# it, has a limit that root sets there and that binds the users in it.
step "user namespaces off: the ordinary user is told how to enable them"
expect_userns_hint() {
  [ "$status" = 125 ] || fail "kyt_sandbox -- true without user namespaces: exit status $status, not 125"
  expect_output "without user namespaces" "User namespaces are off"
  expect_output "without user namespaces" "sysctl -w user\.max_user_namespaces="
  no_folder_left "kyt_sandbox -- true without user namespaces"
}
# False when no such namespace can be made here.
userns_off_in_own_namespace() {
  local job mapped=0
  new_tmp
  mkfifo "$work/go"
  # shellcheck disable=SC2016
  unshare --user bash -c 'read -r _ <"$1" && sysctl -q -w user.max_user_namespaces=0 || exit 99
    shift; exec "$@"' _ "$work/go" runuser -u "$user" -- env "${env_all[@]}" TMPDIR="$tmp" \
    timeout 60 "$sandbox" -- true >"$work/userns.log" 2>&1 &
  job=$!
  for _ in $(seq 100); do
    if [ "$(readlink "/proc/$job/ns/user")" != "$(readlink /proc/self/ns/user)" ]; then
      echo "0 0 4294967295" >"/proc/$job/uid_map" && echo "0 0 4294967295" >"/proc/$job/gid_map" && mapped=1
      break
    fi
    sleep 0.1
  done
  if [ $mapped = 1 ]; then echo >"$work/go"; else kill "$job" 2>/dev/null || true; fi
  status=0
  wait "$job" || status=$?
  out=$(cat "$work/userns.log")
  [ $mapped = 1 ] && [ "$status" != 99 ]
}
old_limit=$(sysctl -n user.max_user_namespaces)
if sysctl -q -w user.max_user_namespaces=0 2>/dev/null; then
  userns_limit=$old_limit
  new_tmp
  status=0
  out=$(as user timeout 60 "$sandbox" -- true 2>&1) || status=$?
  sysctl -q -w user.max_user_namespaces="$old_limit"
  userns_limit=
  expect_userns_hint
elif userns_off_in_own_namespace; then
  echo "(the system's limit is not root's to set here: set in a user namespace of root's own)"
  expect_userns_hint
else
  echo "SKIP: user.max_user_namespaces cannot be set here, neither for the system nor in a user namespace of root's own"
fi
echo "kyt_sandbox stage passed"
