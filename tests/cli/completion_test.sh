#!/usr/bin/env bash
# Sources the bash completion of vexo3 and completes command lines in a
# scratch folder, as bash would after Tab.
# Usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
completion=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
touch a.bin b.json c.txt 'd e.bin'
mkdir sub
# shellcheck source=/dev/null
source "$completion"

fail=0
# complete LINE EXPECTED: the replies, sorted, joined by '|'. LINE ends
# where the cursor stands; bash splits words at blanks and, when
# COMP_WORDBREAKS holds it, at '='.
complete_line() {
  local line=$1 expected=$2 split=$1
  [[ $COMP_WORDBREAKS == *=* ]] && split=${split//=/ = }
  read -r -a COMP_WORDS <<<"$split"
  [[ $line == *[[:space:]] || $line == *= ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _vexo3
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd '|')
  if [[ $got != "$expected" ]]; then
    echo "FAIL: '$line' (COMP_WORDBREAKS with '=': $([[ $COMP_WORDBREAKS == *=* ]] && echo yes || echo no)): got '$got', expected '$expected'"
    fail=1
  fi
}

COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
complete_line 'vexo3 ' 'devices|info|inspect|station|update'
complete_line 'vexo3 in' 'info|inspect'
complete_line 'vexo3 --sim' '--simulate|--simulate='
complete_line 'vexo3 --serial VX1 up' 'update'
complete_line 'vexo3 --serial ' ''
complete_line 'vexo3 info ' ''
complete_line 'vexo3 info --j' '--json'
complete_line 'vexo3 update --no' '--no-camera|--no-hc|--no-verify'
complete_line 'vexo3 update --j' '--json'
complete_line 'vexo3 update --a' '--all'
complete_line 'vexo3 station --c' '--count'
complete_line 'vexo3 station ' 'a.bin|d e.bin|sub'
complete_line 'vexo3 devices --w' '--watch'
complete_line 'vexo3 update ' 'a.bin|d e.bin|sub'
complete_line 'vexo3 --simulate inspect a' 'a.bin'
complete_line 'vexo3 --simulate=' 'b.json|sub'
complete_line 'vexo3 --simulate=b' 'b.json'
complete_line 'vexo3 --trace=' 'a.bin|b.json|c.txt|d e.bin|sub'
complete_line 'vexo3 --replay=c' 'c.txt'
complete_line 'vexo3 --replay ' 'a.bin|b.json|c.txt|d e.bin|sub'
COMP_WORDBREAKS=$' \t\n"\'><;|&(:'
complete_line 'vexo3 --trace=c' '--trace=c.txt'
complete_line 'vexo3 --simulate=' '--simulate=b.json|--simulate=sub'
complete_line 'vexo3 inspect ' 'a.bin|d e.bin|sub'

[ "$fail" = 0 ] && echo "completion ok"
exit "$fail"
