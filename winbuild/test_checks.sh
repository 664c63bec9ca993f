#!/usr/bin/env bash
# Builds deliberately broken probe drivers, INFs and source lists in a temporary directory and expects the Windows build's checks to reject each one.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"
ensure_toolchain
ensure_signing_tools

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_smclib_import_lib "$work"
check=(python3 "$winbuild_dir/check_image.py")
passed=0
failed=0

pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1: $2"; [ -f "$work/out" ] && sed 's/^/    /' "$work/out"; return 0; }

HEADER='#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>'
ENTRY='extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }'

# Each fault: name | source body | entry symbol | extra link flags | expected outcome, which is either
# "link" (the link must refuse it) or the label of the image check that must report FAIL.
FAULTS=(
    "global-constructor|struct Counter { ULONG Value; Counter() : Value(KeQueryActiveProcessorCount(nullptr)) {} }; Counter Processors; $ENTRY|DriverEntry||constructors"
    "global-destructor|struct Closer { ~Closer() { DbgPrint(\"closed\"); } }; Closer AtUnload; $ENTRY|DriverEntry||constructors"
    "crt-malloc-unresolved|extern \"C\" void *malloc(SIZE_T); extern \"C\" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return malloc(8) ? STATUS_SUCCESS : STATUS_NO_MEMORY; }|DriverEntry||link"
    "crt-malloc-from-msvcrt|extern \"C\" void *malloc(SIZE_T); extern \"C\" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return malloc(8) ? STATUS_SUCCESS : STATUS_NO_MEMORY; }|DriverEntry|-lmsvcrt|imports"
    "crt-printf-from-msvcrt|extern \"C\" int printf(const char *, ...); extern \"C\" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { printf(\"loaded\"); return STATUS_SUCCESS; }|DriverEntry|-lmsvcrt|imports"
    "wrong-entry|extern \"C\" NTSTATUS NTAPI OtherEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_UNSUCCESSFUL; } $ENTRY|OtherEntry||entry"
    "missing-entry|$ENTRY|NoSuchEntry||link"
    "exported-routine|extern \"C\" __declspec(dllexport) ULONG ExportedVersion() { return 1; } $ENTRY|DriverEntry||exports"
    "gui-subsystem|$ENTRY|DriverEntry|-Wl,--subsystem,windows|subsystem"
    "dll-image|$ENTRY|DriverEntry|-shared|kind"
    "stripped-symbols|$ENTRY|DriverEntry|-s|entry"
    "writable-code|asm(\".section .patch,\\\"dwx\\\"\\n.byte 0xc3\\n.text\"); $ENTRY|DriverEntry||sections"
    "thread-local|thread_local ULONG Calls; extern \"C\" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return Calls++; }|DriverEntry||link"
)

# The probe itself must pass, or every rejection below could be a check that always fails.
rm -f "$work/out"
if win_compile "$winbuild_dir/probe/probe.cpp" "$work/probe.o" >"$work/out" 2>&1 \
    && win_link "$work/probe.sys" "$work" DriverEntry "$work/probe.o" >>"$work/out" 2>&1 \
    && "${check[@]}" "$work/probe.sys" >>"$work/out" 2>&1; then
    pass "probe-accepted"
else
    fail "probe-accepted" "the unbroken probe was rejected"
fi

for fault in "${FAULTS[@]}"; do
    IFS='|' read -r name body entry extra expect <<<"$fault"
    src="$work/$name.cpp"
    printf '%s\n%s\n' "$HEADER" "$body" >"$src"
    rm -f "$work/out"
    if ! win_compile "$src" "$work/$name.o" >"$work/out" 2>&1; then
        fail "$name" "the probe does not compile"
        continue
    fi
    # shellcheck disable=SC2086  # extra holds zero or one flag
    if ! win_link "$work/$name.sys" "$work" "$entry" "$work/$name.o" -- $extra >"$work/out" 2>&1; then
        if [ "$expect" = link ]; then pass "$name (link refused)"; else fail "$name" "link refused, expected the $expect check to fail"; fi
        continue
    fi
    if [ "$expect" = link ]; then
        fail "$name" "the link accepted it"
        continue
    fi
    if "${check[@]}" "$work/$name.sys" >"$work/out" 2>&1; then
        fail "$name" "check_image.py accepted it"
    elif grep -Eq "^  $expect +FAIL" "$work/out"; then
        pass "$name ($expect check)"
    else
        fail "$name" "rejected, but not by the $expect check"
    fi
done

# A corrupted checksum: the kernel loader verifies it for drivers.
cp "$work/probe.sys" "$work/checksum.sys"
python3 - "$work/checksum.sys" <<'EOF'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    data = f.read()
    offset = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
    f.seek(offset)
    f.write(struct.pack("<I", struct.unpack_from("<I", data, offset)[0] ^ 0x10))
EOF
if "${check[@]}" "$work/checksum.sys" >"$work/out" 2>&1; then
    fail "corrupt-checksum" "check_image.py accepted it"
elif grep -Eq "^  checksum +FAIL" "$work/out"; then
    pass "corrupt-checksum (checksum check)"
else
    fail "corrupt-checksum" "rejected, but not by the checksum check"
fi

# build.sh end to end on stand-in source lists: a good list builds, a source that does not compile
# for Windows (a warning under -Werror, an unknown header) or a missing source fails the build.
mkdir -p "$work/src/driver"
cp "$winbuild_dir/probe/probe.cpp" "$work/src/driver/entry.cpp"
printf '%s\nstatic int Helper() { int unused; return 0; }\nint Use() { return Helper(); }\n' "$HEADER" >"$work/src/driver/warns.cpp"
printf '#include <stdio_not_in_kernel.h>\n' >"$work/src/driver/badinclude.cpp"
# name | source list | expected exit (0 or 1) | message build.sh must print | environment setting
BUILDS=(
    "good-list|set(DRIVER_SOURCES driver/entry.cpp)|0|all checks passed"
    "warning-is-error|set(DRIVER_SOURCES driver/entry.cpp driver/warns.cpp)|1|driver/warns.cpp does not compile for Windows"
    "unknown-header|set(DRIVER_SOURCES driver/entry.cpp driver/badinclude.cpp)|1|driver/badinclude.cpp does not compile for Windows"
    "missing-source|set(DRIVER_SOURCES driver/entry.cpp driver/absent.cpp)|1|driver/absent.cpp does not exist"
    "empty-list|set(DRIVER_SOURCES)|1|lists no driver sources"
    "no-list-file||1|No such file|DRIVER_SOURCES_FILE=/nonexistent/driver_sources.cmake"
    "bad-vid|set(DRIVER_SOURCES driver/entry.cpp)|1|READER_USB_VID must be 4 hex digits|READER_USB_VID=12G4"
)
# Listed sources resolve against the repository root, so the builds run from a scratch copy of the layout.
mkdir -p "$work/root/winbuild"
cp -r "$winbuild_dir/." "$work/root/winbuild/"
cp -r "$work/src/driver" "$work/root/driver"
for case in "${BUILDS[@]}"; do
    IFS='|' read -r name list want message env_setting <<<"$case"
    printf '%s\n' "$list" >"$work/src/sources.cmake"
    set +e
    env WINBUILD_OUT="$work/root/out" DRIVER_SOURCES_FILE="$work/src/sources.cmake" ${env_setting:+"$env_setting"} \
        bash "$work/root/winbuild/build.sh" >"$work/out" 2>&1
    rc=$?
    set -e
    got=$([ "$rc" = 0 ] && echo 0 || echo 1)
    if [ "$name" = good-list ] && [ "$rc" = 0 ]; then
        cp "$work/root/out/tavelo.inf" "$work/good.inf"
    fi
    if [ "$got" != "$want" ]; then
        fail "build-$name" "build.sh exit $rc, wanted $([ "$want" = 0 ] && echo success || echo failure)"
    elif ! grep -qF "$message" "$work/out"; then
        fail "build-$name" "build.sh did not say '$message'"
    else
        pass "build-$name"
    fi
done

# A hand-broken INF: each edit must be caught by the named INF check.
INF_FAULTS=(
    "demand-start-lost|s/^StartType *= *3/StartType     = 0/|service"
    "wrong-class-guid|s/50DD5230-BA8A/50DD5230-BA8B/|class"
    "missing-copy-section|s/^\\[Tavelo_Reader_Files\\]/[Other_Files]/|sections"
    "no-x64-models|s/, NTamd64\$//|sections"
    "bad-hardware-id|s/USB\\\\VID_\\([0-9A-F]*\\)&/USB\\\\VID_\\1x\\&/|hardware-ids"
    "wrong-binary|s/%12%\\\\tavelo.sys/%12%\\\\other.sys/|binary"
)
good_inf="$work/good.inf"
for fault in "${INF_FAULTS[@]}"; do
    if [ ! -f "$good_inf" ]; then
        rm -f "$work/out"
        fail "inf-${fault%%|*}" "no INF, the good build failed"
        continue
    fi
    IFS='|' read -r name edit expect <<<"$fault"
    sed "$edit" "$good_inf" >"$work/tavelo.inf"
    if cmp -s "$good_inf" "$work/tavelo.inf"; then
        fail "inf-$name" "the edit changed nothing"
        continue
    fi
    if "${check[@]}" "$work/probe.sys" --inf "$work/tavelo.inf" >"$work/out" 2>&1; then
        fail "inf-$name" "check_image.py accepted it"
    elif grep -Eq "^  $expect +FAIL" "$work/out"; then
        pass "inf-$name ($expect check)"
    else
        fail "inf-$name" "rejected, but not by the $expect check"
    fi
done

# The source-list reader: comments, quoting, root variables and list(APPEND) are understood; variables it
# cannot resolve are refused instead of silently dropping files.
LISTS=(
    "plain|set(DRIVER_SOURCES driver/a.cpp usb/b.cpp)|driver/a.cpp usb/b.cpp"
    "comments-and-lines|set(DRIVER_SOURCES\n  driver/a.cpp # the entry\n  # usb/skipped.cpp\n  \"card/c.cpp\"\n)|driver/a.cpp card/c.cpp"
    "root-variable|set(DRIVER_SOURCES \${CMAKE_CURRENT_LIST_DIR}/driver/a.cpp)|driver/a.cpp"
    "append|set(DRIVER_SOURCES driver/a.cpp)\nlist(APPEND DRIVER_SOURCES pinpad/d.cpp)|driver/a.cpp pinpad/d.cpp"
    "other-set-ignored|set(OTHER x.cpp)\nset(DRIVER_SOURCES driver/a.cpp)|driver/a.cpp"
    "unknown-variable|set(DRIVER_SOURCES \${SOMEWHERE}/a.cpp)|ERROR"
    "no-list|set(OTHER x.cpp)|ERROR"
)
for case in "${LISTS[@]}"; do
    IFS='|' read -r name text want <<<"$case"
    printf '%b\n' "$text" >"$work/list.cmake"
    if got=$(python3 "$winbuild_dir/driver_sources.py" "$work/list.cmake" 2>/dev/null); then
        got=$(tr "\n" " " <<<"$got" | sed "s/ *$//")
    else
        got=ERROR
    fi
    if [ "$got" = "$want" ]; then pass "sources-$name"; else rm -f "$work/out"; fail "sources-$name" "got '$got', wanted '$want'"; fi
done

# SMCLIB.SYS for the Wine run: an export driver that exports exactly the routines of smclib.def (the ones the
# driver's import library promises) and binds only to the kernel.
rm -f "$work/out"
if bash "$winbuild_dir/smclib.sh" "$work/smclib" >"$work/out" 2>&1 && python3 - "$work/smclib/smclib.sys" "$winbuild_dir/smclib.def" >>"$work/out" 2>&1 <<'PY'
import os, sys
sys.path.insert(0, os.path.dirname(sys.argv[2]))
import check_image
data = open(sys.argv[1], "rb").read()
image = check_image.PeImage(data)
wanted = sorted(l.strip() for l in open(sys.argv[2]) if l.startswith("    ") and l.strip())
exports = sorted(image.exports())
modules = sorted(m.lower() for m, _ in image.imports())
print("exports", exports, "imports from", modules)
assert exports == wanted, "exports differ from smclib.def"
assert set(modules) <= {"ntoskrnl.exe", "hal.dll"}, "imports outside the kernel"
assert image.subsystem == 1 and image.characteristics & 0x2000, "not a native-subsystem DLL"
PY
then
    pass "smclib-sys-exports"
else
    fail "smclib-sys-exports" "SMCLIB.SYS does not export what smclib.def lists, or imports outside the kernel"
fi

# The catalog: the signed catalog vouches for the image it was made from and for no other.
if [ -f "$good_inf" ]; then
    cert="$work/cert"
    make_test_certificate "$cert"
    cp "$work/probe.sys" "$work/cat-probe.sys"
    sign_file "$cert" "$work/cat-probe.sys"
    python3 "$winbuild_dir/make_catalog.py" --output "$work/probe.cat" "$good_inf" "$work/cat-probe.sys"
    sign_file "$cert" "$work/probe.cat"
    # name | the image checked against the catalog | expected outcome
    cp "$work/cat-probe.sys" "$work/cat-changed.sys"
    printf '\x01' | dd of="$work/cat-changed.sys" bs=1 seek=1024 conv=notrunc 2>/dev/null
    for case in "catalog-vouches-for-image|$work/cat-probe.sys|0" "catalog-refuses-changed-image|$work/cat-changed.sys|1"; do
        IFS='|' read -r name image want <<<"$case"
        rm -f "$work/out"
        if osslsigncode verify -CAfile "$cert/tavelo-test.pem" -catalog "$work/probe.cat" -in "$image" >"$work/out" 2>&1; then got=0; else got=1; fi
        if [ "$got" = "$want" ]; then pass "$name"; else fail "$name" "osslsigncode verify -catalog exit $got"; fi
    done
else
    rm -f "$work/out"
    fail "catalog" "no INF, the good build failed"
fi

# The Wine run's comparison of the two transcripts: the same replies pass; a different status, different bytes,
# a missing reply or an overlapped request that ended otherwise fail.
reply() {  # ioctl status bytes reply [request]
    printf '{"source":"app","event":"reply","ioctl":"%s","status":"%s","bytes":%s,"reply":"%s"%s}\n' "$1" "$2" "$3" "$4" \
        "${5:+,\"request\":\"$5\"}"
}
base() {
    reply IOCTL_SMARTCARD_GET_STATE STATUS_SUCCESS 4 01000000
    reply IOCTL_SMARTCARD_IS_PRESENT STATUS_SUCCESS 0 "" present
    reply IOCTL_SMARTCARD_TRANSMIT STATUS_SUCCESS 10 02000000080000009000
}
base >"$work/sim.jsonl"
# name | how the Wine side differs (a sed edit, empty for none) | expected exit
COMPARES=(
    "compare-identical||0"
    "compare-status|s/STATUS_SUCCESS\",\"bytes\":4/STATUS_NO_MEDIA\",\"bytes\":4/|1"
    "compare-bytes|s/9000/6A82/|1"
    "compare-missing-reply|/GET_STATE/d|1"
    "compare-overlapped|s/IS_PRESENT\",\"status\":\"STATUS_SUCCESS/IS_PRESENT\",\"status\":\"STATUS_CANCELLED/|1"
)
for case in "${COMPARES[@]}"; do
    IFS='|' read -r name edit want <<<"$case"
    if [ -n "$edit" ]; then sed "$edit" "$work/sim.jsonl" >"$work/wine.jsonl"; else cp "$work/sim.jsonl" "$work/wine.jsonl"; fi
    if [ -n "$edit" ] && cmp -s "$work/sim.jsonl" "$work/wine.jsonl"; then
        rm -f "$work/out"
        fail "$name" "the edit changed nothing"
        continue
    fi
    rm -f "$work/out"
    if python3 "$winbuild_dir/wine/compare.py" "$work/sim.jsonl" "$work/wine.jsonl" >"$work/out" 2>&1; then got=0; else got=1; fi
    if [ "$got" = "$want" ]; then pass "$name"; else fail "$name" "compare.py exit $got, wanted $want"; fi
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
