#!/usr/bin/env bash
# Builds the driver into an x64 Windows kernel image (build/windows/tavelo.sys) with its INF, and checks both.
#
# Build settings (environment variables):
#   READER_USB_VID, READER_USB_PID  the reader's USB vendor and product ID, 4 hex digits each, written into
#                                   the INF's hardware ID. Default 0000/0000 is a PLACEHOLDER that matches no
#                                   real device: set the reader's real IDs before installing on Windows.
#   DRIVER_VERSION                  the INF's DriverVer version, default 1.0.0.0.
#   WINBUILD_OUT                    output directory, default build/windows.
#   DRIVER_SOURCES_FILE             the source list, default driver_sources.cmake at the repository root.
#   WINBUILD_TEST_SIGN              1 (default): sign the image and the catalog with the test certificate;
#                                   0: leave both unsigned (the catalog is made either way).
#   WINBUILD_TEST_CERT_DIR          where the test certificate is made once and kept, default
#                                   build/windows-test-cert (tavelo-test.cer there is the one to trust on Windows).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"

READER_USB_VID=${READER_USB_VID:-0000}
READER_USB_PID=${READER_USB_PID:-0000}
DRIVER_VERSION=${DRIVER_VERSION:-1.0.0.0}
out=${WINBUILD_OUT:-$repo_root/build/windows}
sources_file=${DRIVER_SOURCES_FILE:-$repo_root/driver_sources.cmake}
image_name=tavelo.sys

for setting in READER_USB_VID READER_USB_PID; do
    if ! [[ ${!setting} =~ ^[0-9A-Fa-f]{4}$ ]]; then
        echo "winbuild: $setting must be 4 hex digits, got '${!setting}'" >&2
        exit 1
    fi
done
if ! [[ $DRIVER_VERSION =~ ^[0-9]+(\.[0-9]+){0,3}$ ]]; then
    echo "winbuild: DRIVER_VERSION must look like 1.0.0.0, got '$DRIVER_VERSION'" >&2
    exit 1
fi

ensure_toolchain

source_list=$(python3 "$winbuild_dir/driver_sources.py" "$sources_file")
if [ -z "$source_list" ]; then
    echo "winbuild: $sources_file lists no driver sources" >&2
    exit 1
fi
mapfile -t sources <<<"$source_list"
for src in "${sources[@]}"; do
    if [ ! -f "$repo_root/$src" ]; then
        echo "winbuild: listed source $src does not exist" >&2
        exit 1
    fi
done

# Nothing from an earlier build may survive a failed one.
rm -rf "${out:?}/obj" "${out:?}/lib" "${out:?}/$image_name" "${out:?}/tavelo.inf" "${out:?}/tavelo.map" \
    "${out:?}/tavelo.cat" "${out:?}/tavelo-test.cer"
mkdir -p "$out/obj" "$out/lib"
make_smclib_import_lib "$out/lib"

# Compile in parallel; each compile keeps its own log so diagnostics are not interleaved.
jobs_max=$(nproc 2>/dev/null || echo 2)
objects=()
for src in "${sources[@]}"; do
    obj="$out/obj/${src%.*}.o"
    objects+=("$obj")
    mkdir -p "$(dirname "$obj")"
    ( if win_compile "$repo_root/$src" "$obj" >"$obj.log" 2>&1; then echo 0; else echo 1; fi >"$obj.rc" ) &
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
done
wait

failed=0
for i in "${!sources[@]}"; do
    obj=${objects[$i]}
    cat "$obj.log"
    if [ "$(cat "$obj.rc")" != 0 ]; then
        echo "winbuild: ${sources[$i]} does not compile for Windows" >&2
        failed=1
    fi
done
[ "$failed" = 0 ] || exit 1

win_link "$out/$image_name" "$out/lib" DriverEntry "${objects[@]}" -- "-Wl,-Map,$out/tavelo.map"

driver_date=$(date -u ${SOURCE_DATE_EPOCH:+-d "@$SOURCE_DATE_EPOCH"} +%m/%d/%Y)
sed -e "s/@READER_USB_VID@/${READER_USB_VID^^}/g" -e "s/@READER_USB_PID@/${READER_USB_PID^^}/g" \
    -e "s|@DRIVER_DATE@|$driver_date|g" -e "s/@DRIVER_VERSION@/$DRIVER_VERSION/g" \
    "$winbuild_dir/tavelo.inf.in" >"$out/tavelo.inf"
if [ "$READER_USB_VID$READER_USB_PID" = 00000000 ]; then
    echo "winbuild: note: the INF carries the placeholder hardware ID USB\\VID_0000&PID_0000;" \
        "set READER_USB_VID/READER_USB_PID for a real reader" >&2
fi

# The test signature: a code-signing certificate made once, the image signed with it. A real release is signed with
# the publisher's certificate instead (and the catalog by Microsoft's driver signing).
if [ "${WINBUILD_TEST_SIGN:-1}" = 1 ]; then
    ensure_signing_tools
    cert_dir=${WINBUILD_TEST_CERT_DIR:-$repo_root/build/windows-test-cert}
    make_test_certificate "$cert_dir"
    sign_file "$cert_dir" "$out/$image_name"
    cp "$cert_dir/tavelo-test.cer" "$out/tavelo-test.cer"
fi

python3 "$winbuild_dir/check_image.py" "$out/$image_name" --inf "$out/tavelo.inf"

# The catalog the INF names: every file of the package by hash, signed like the image.
python3 "$winbuild_dir/make_catalog.py" --output "$out/tavelo.cat" "$out/tavelo.inf" "$out/$image_name"
if [ "${WINBUILD_TEST_SIGN:-1}" = 1 ]; then
    sign_file "$cert_dir" "$out/tavelo.cat"
    if ! osslsigncode verify -CAfile "$cert_dir/tavelo-test.pem" -catalog "$out/tavelo.cat" -in "$out/$image_name" \
        >"$out/signature-check.log" 2>&1; then
        cat "$out/signature-check.log" >&2
        echo "winbuild: the signed catalog does not vouch for $image_name" >&2
        exit 1
    fi
    echo "winbuild: signed $image_name and tavelo.cat with the test certificate $cert_dir/tavelo-test.cer"
fi
echo "winbuild: built $out/$image_name, $out/tavelo.inf and $out/tavelo.cat from ${#sources[@]} source file(s)"
