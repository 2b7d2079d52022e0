#!/usr/bin/env bash
# apt-get update that outlasts a mirror in the middle of a sync: such a
# mirror serves an index that does not match its Release file, and apt keeps
# the old one.  Tries three times, 20 s apart, then goes on with what apt
# has; an install that needs a package apt does not know fails loudly.
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
for attempt in 1 2 3; do
  $sudo_cmd apt-get update -qq && exit 0
  echo "apt-get update failed (attempt $attempt of 3)" >&2
  [ "$attempt" = 3 ] || sleep 20
done
echo "apt-get update failed three times: going on with the indexes apt has" >&2
exit 0
