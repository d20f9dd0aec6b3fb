#!/usr/bin/env bash
# completion_test.sh COMPLETION_SCRIPT: what the completion offers for a
# table of partial command lines.
set -u
source "$1"
cd "$(mktemp -d)" && touch disk.img && trap 'rm -rf "$PWD"' EXIT
failures=0
expect() {  # expected replies, then the words of the line, the last being completed
  local expected=$1
  shift
  COMP_WORDS=(blankimg "$@")
  COMP_CWORD=$#
  _blankimg
  if [[ "${COMPREPLY[*]}" != "$expected" ]]; then
    echo "blankimg $*: offered '${COMPREPLY[*]}', expected '$expected'"
    failures=$((failures + 1))
  fi
}
expect "--preallocation=" --pre
expect "--preallocation= --progress" --pr
expect "off falloc full" --preallocation ""
expect "falloc full" --preallocation f
expect "--preallocation=falloc --preallocation=full" --preallocation=f
expect "--no-clobber" --sync --no
expect "disk.img" --sync di
expect "disk.img" -- di
expect "disk.img" --preallocation off d
expect "" disk.img 6
expect "" disk.img --pro
expect "" --bogus disk.img 6 1
((failures == 0))
