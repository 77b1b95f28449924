#!/bin/sh
# The dialog program's devices come from the same place as vexo3's: the same
# refusals with the same exit statuses, and --trace records the wire.
# $1: vexo3-updater. Runs on the offscreen platform.
set -u
updater=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '{}\n' > "$dir/profile.json"
printf '{"state_file": "state.json"}\n' > "$dir/stateful.json"
printf 'not json\n' > "$dir/state.json"
failed=0
# expected status, then the arguments
check() {
  want=$1
  shift
  "$updater" "$@" > "$dir/out" 2> "$dir/err"
  got=$?
  if [ "$got" -ne "$want" ]; then
    echo "vexo3-updater $*: exit $got, expected $want"
    cat "$dir/err"
    failed=1
  fi
}
check 2 --simulate="$dir/missing.json"
check 2 --simulate="$dir/stateful.json"
check 2 --replay="$dir/missing.trace"
check 2 --simulate="$dir/profile.json" --trace="$dir/profile.json" --screenshot="$dir/shots"
check 0 --simulate="$dir/profile.json" --trace="$dir/wire.txt" --screenshot="$dir/shots"
if [ "$(head -n 1 "$dir/wire.txt" 2>/dev/null)" != "vexo3-trace 1" ] ||
   ! grep -q ' TX ' "$dir/wire.txt"; then
  echo "--trace wrote no trace of the dialog's run"
  failed=1
fi
exit $failed
