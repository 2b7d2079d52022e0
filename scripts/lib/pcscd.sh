# shellcheck shell=bash
# A private pcscd for scripts and tests, sourced (bash).  Needs root.
#
# The machine may run a pcscd of its own, and its socket lies in /run/pcscd.
# A script's pcscd therefore runs in a mount namespace of its own, with a
# folder of the script's bound over /run/pcscd there: its socket and its
# clients (opensc-tool, pyscard, pcsc_client, who find it through
# PCSCLITE_CSOCK_NAME) never meet the system's pcscd, and the system's
# pcscd and /run/pcscd stay as they were.
#
#   pcscd_enter_namespace SCRIPT [ARG...]
#       at the top of a script: runs it again (exec) in a mount namespace of
#       its own, unless it runs in the one made for it already.
#   pcscd_namespace SCRIPT [ARG...]
#       runs bash SCRIPT ARG... in a mount namespace of its own and waits.
#   pcscd_in_namespace
#       true in the script that one of the two above started.
#   pcscd_private_run FOLDER
#       (in the namespace) binds FOLDER over /run/pcscd, making /run/pcscd
#       if the machine has none, and exports PCSCLITE_CSOCK_NAME.
#   pcscd_start CONF LOG [PCSCD_OPTION...]
#       starts pcscd -f OPTION... -c CONF in the background, its output in
#       LOG; sets pcscd_pid and pcscd_log.
#   pcscd_wait_readers PATTERN COUNT
#       waits until opensc-tool -l lists COUNT readers matching PATTERN (an
#       extended regular expression); gives up when pcscd ends or after
#       $pcscd_wait_seconds (default 30).
#   pcscd_stop
#       stops pcscd (a stopped one too), waiting at most 30 s.
#   pcscd_log_tail
#       prints the end of pcscd's log (to standard error).
#   pcscd_cleanup
#       for the caller's EXIT trap: stops pcscd, unbinds /run/pcscd and
#       removes it if pcscd_private_run made it.
#
# Functions that can fail print why and return non-zero, so that a caller
# adds its own message: pcscd_wait_readers KYT 3 || fail "no readers".

pcscd_wait_seconds=${pcscd_wait_seconds:-30}
pcscd_pid=
pcscd_log=
pcscd_mounted=0
pcscd_made_run=0

# The marker holds the pid of the bash that unshare started, so a script
# that this one starts in turn makes a namespace of its own.
# shellcheck disable=SC2016 # expanded by the bash that unshare starts
pcscd_unshare=(unshare --mount --propagation private bash -c 'KYT_PCSCD_NAMESPACE=$$ exec bash "$0" "$@"')

pcscd_in_namespace() { [ "${KYT_PCSCD_NAMESPACE:-}" = "$$" ]; }

pcscd_enter_namespace() { # script [arg...]
  pcscd_in_namespace && return 0
  exec "${pcscd_unshare[@]}" "$@"
}

pcscd_namespace() { # script [arg...]
  "${pcscd_unshare[@]}" "$@"
}

pcscd_private_run() { # folder
  if ! pcscd_in_namespace; then
    echo "pcscd_private_run: not in a mount namespace of this script's own; /run/pcscd left alone" >&2
    return 1
  fi
  mkdir -p "$1" || return 1
  if [ ! -d /run/pcscd ]; then
    mkdir -p /run/pcscd || return 1
    pcscd_made_run=1
  fi
  mount --bind "$1" /run/pcscd || return 1
  pcscd_mounted=1
  export PCSCLITE_CSOCK_NAME=/run/pcscd/pcscd.comm
}

pcscd_start() { # conf log [pcscd option...]
  pcscd_log=$2
  pcscd -f "${@:3}" -c "$1" >"$2" 2>&1 &
  pcscd_pid=$!
}

pcscd_log_tail() {
  [ -n "$pcscd_log" ] && [ -f "$pcscd_log" ] || return 0
  echo "=== last lines of $pcscd_log" >&2
  tail -30 "$pcscd_log" >&2
}

pcscd_wait_readers() { # pattern count
  local i
  for ((i = 0; i < pcscd_wait_seconds * 5; i++)); do
    [ "$(opensc-tool -l 2>/dev/null | grep -c -E -- "$1")" = "$2" ] && return 0
    if ! kill -0 "$pcscd_pid" 2>/dev/null; then
      echo "pcscd exited before it listed $2 readers matching '$1'" >&2
      pcscd_log_tail
      return 1
    fi
    sleep 0.2
  done
  opensc-tool -l >&2 || true
  echo "pcscd did not list $2 readers matching '$1' within $pcscd_wait_seconds s" >&2
  pcscd_log_tail
  return 1
}

pcscd_stop() {
  local pid=$pcscd_pid i
  [ -n "$pid" ] || return 0
  kill -CONT "$pid" 2>/dev/null || true
  kill "$pid" 2>/dev/null || true
  for ((i = 0; i < 300; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid" 2>/dev/null || true
      pcscd_pid=
      return 0
    fi
    sleep 0.1
  done
  echo "pcscd (pid $pid) did not stop within 30 s" >&2
  pcscd_log_tail
  return 1
}

pcscd_cleanup() {
  if [ -n "$pcscd_pid" ] && ! pcscd_stop; then
    kill -KILL "$pcscd_pid" 2>/dev/null || true
    wait "$pcscd_pid" 2>/dev/null || true
    pcscd_pid=
  fi
  if [ "$pcscd_mounted" = 1 ]; then
    umount /run/pcscd 2>/dev/null || true
    pcscd_mounted=0
  fi
  if [ "$pcscd_made_run" = 1 ]; then
    rmdir /run/pcscd 2>/dev/null || true
    pcscd_made_run=0
  fi
}
