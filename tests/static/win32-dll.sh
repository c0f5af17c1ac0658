#!/usr/bin/env bash
# The 32-bit product cannot run here: check what a host would see of it.
# The DLL is a 32-bit x86 PE, exports the host's five functions and its own
# extensions under their plain names, and needs only DLLs that every Windows has.
set -uo pipefail
cd "$(dirname "$0")/../.."
dll=build/win32/bin/korvel.dll
fail() { echo "win32-dll: $*" >&2; exit 1; }

[[ -f $dll ]] || fail "$dll is missing (build the win32 preset)"
kind=$(file -b "$dll")
[[ $kind == PE32\ * && $kind == *"(DLL)"* && $kind == *"Intel 80386"* ]] ||
  fail "not a 32-bit x86 DLL: $kind"

dump=$(i686-w64-mingw32-objdump -p "$dll") || fail "objdump failed"
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/\[/ && NR > 1 {print $NF}')
for name in CreateDaveModule DaveModuleInfo DaveModuleName CreateAdapterHandler HasAdapterHandler \
            DestroyDaveModule KorvelSetSampleRate KorvelStateProblem KorvelNonFiniteCount \
            KorvelLatencyFrames KorvelTransport KorvelSidechain KorvelNonFiniteCounts KorvelWatchOutputs \
            KorvelFirstOffence KorvelSetModuleFolder KorvelSoundProblems; do
  grep -qx "$name" <<<"$exports" || fail "export $name missing (exports: $(tr '\n' ' ' <<<"$exports"))"
done
if grep -q '[@_]' <<<"$exports"; then fail "decorated export names: $(tr '\n' ' ' <<<"$exports")"; fi

system='^(kernel32|user32|gdi32|comdlg32|comctl32|msvcrt|advapi32|shell32|ole32|oleaut32|uxtheme|winmm|shlwapi|version|ntdll|ucrtbase|api-ms-win-.*)\.dll$'
while read -r import; do
  [[ ${import,,} =~ $system ]] || fail "imports a non-system DLL: $import"
done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
echo "win32-dll: $(wc -l <<<"$exports") exports, imports: $(awk '/DLL Name:/ {printf "%s ", $3}' <<<"$dump")"
