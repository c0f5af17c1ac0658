#!/usr/bin/env bash
# The 32-bit product computes with SSE2, as the tested 64-bit builds do, so
# it gives their bits. Checked on the DLL itself: no function of the
# project's own code (namespace korvel and the exported functions) may use
# an x87 instruction, except those that only move a value between memory and
# st(0) unchanged, which the 32-bit calling convention requires: a double is
# returned in st(0), so a function returning one loads it there (fld) and a
# caller of the maths library takes the answer off (fstp, also to discard it).
# fldz and fld1 load the exact constants 0 and 1. Arithmetic, comparisons,
# conversions to or from integers and control-word changes all fail.
# Code the project does not compile (the C runtime, libstdc++, libgcc) is not
# checked: it is not where the engine computes.
set -uo pipefail
cd "$(dirname "$0")/../.."
dll=build/win32/bin/korvel.dll
fail() { echo "x87: $*" >&2; exit 1; }
[[ -f $dll ]] || fail "$dll is missing (build the win32 preset)"

allowed='^(fld|flds|fldl|fstp|fstps|fstpl|fldz|fld1)$'
i686-w64-mingw32-objdump -d -C --no-show-raw-insn "$dll" | awk -v allowed="$allowed" '
  /^[0-9a-f]+ <.*>:$/ {
    fn = $0; sub(/^[0-9a-f]+ </, "", fn); sub(/>:$/, "", fn)
    own = fn ~ /(^|[ *&(<])korvel::/ || fn ~ /^_?(CreateDaveModule|DestroyDaveModule|DaveModuleInfo|DaveModuleName|CreateAdapterHandler|HasAdapterHandler)$/
    if (own) functions++
    next
  }
  own && /^ *[0-9a-f]+:\t/ {
    split($0, field, "\t"); split(field[2], word, " ")
    if (word[1] ~ /^(mul|add|sub|div)(sd|pd)$/) sse++
    if (word[1] ~ /^f/ && word[1] !~ allowed) { print "  " word[1] " in " fn; bad++ }
    else if (word[1] ~ /^f/) moves++
  }
  END {
    if (functions < 100) { print "x87: only " functions + 0 " functions of our own found (symbols stripped?)"; exit 1 }
    if (sse == 0) { print "x87: no SSE2 double arithmetic found in our functions"; exit 1 }
    if (bad > 0) { print "x87: " bad " x87 instructions in our code"; exit 1 }
    printf "x87: %d functions of our own: %d SSE2 arithmetic instructions, no x87 arithmetic (%d st(0) moves of the calling convention)\n", functions, sse, moves
  }'
