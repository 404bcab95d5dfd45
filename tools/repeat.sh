#!/bin/sh
# Runs the CTest tests matching PATTERN again and again, each run beside two busy loops (two cores'
# worth of hashing), and stops at the first failure: how many consecutive runs stay green on a
# loaded machine. No run is retried.
#   tools/repeat.sh BUILD_DIR RUNS [PATTERN]    (PATTERN: e2e_program)
set -u
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR RUNS [PATTERN]" >&2; exit 2; }
dir=$1
runs=$2
pattern=${3:-e2e_program}
busy=""
for _ in 1 2; do
  sha256sum /dev/zero >/dev/null &
  busy="$busy $!"
done
trap 'kill $busy' EXIT
trap 'exit 130' INT TERM HUP

run() {
  if [ -n "${DISPLAY:-}" ]; then
    (cd "$dir" && ctest -R "$pattern" --output-on-failure)
  else
    (cd "$dir" && xvfb-run -a -s "-screen 0 1280x1024x24" ctest -R "$pattern" --output-on-failure)
  fi
}

green=0
while [ "$green" -lt "$runs" ]; do
  if ! said=$(run 2>&1); then
    printf '%s\n' "$said"
    echo "repeat: run $((green + 1)) of $pattern failed, after $green green, two busy loops beside"
    exit 1
  fi
  green=$((green + 1))
  echo "repeat: run $green of $runs of $pattern green ($(date +%T))"
done
echo "repeat: $green consecutive runs of $pattern green, two busy loops beside"
