# Compiler, linker and import-library settings of the Windows kernel build, sourced by build.sh and test_checks.sh.
# shellcheck shell=bash

WIN_TARGET=x86_64-w64-mingw32
WIN_CXX=${WIN_TARGET}-g++
WIN_DLLTOOL=${WIN_TARGET}-dlltool
WIN_SYSROOT=/usr/${WIN_TARGET}
WIN_DDK_INCLUDE=${WIN_SYSROOT}/include/ddk
WIN_PACKAGES=(g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev)

winbuild_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_root=$(cd "$winbuild_dir/.." && pwd)

# Kernel C++: no C++ runtime exists in the kernel, so nothing may need one (exceptions, RTTI, guarded
# statics, libstdc++ headers); -ffreestanding -nostdinc++ match the simulation build so both builds accept
# and reject the same code. Unwind tables stay on: x64 Windows walks stacks (debugger, bug checks, verifier)
# through .pdata/.xdata, and with -fno-exceptions they need no personality routine.
WIN_CXXFLAGS=(
    -std=c++20 -O2 -ffreestanding -nostdinc++
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit -fno-stack-protector
    -Wall -Wextra -Werror
    -isystem "$WIN_DDK_INCLUDE"
    -I "$repo_root/sdk/smclib"
)

# A native-subsystem image entered at DriverEntry. --fatal-warnings turns a missing entry symbol into an
# error instead of a warning; auto-import is off because its pseudo-relocations need a user-mode runtime
# that a driver does not have. 0x1C0000000 is the customary x64 driver base; the loader relocates anyway.
win_link_flags() {  # entry symbol
    printf '%s\n' -nostdlib \
        "-Wl,--subsystem,native" "-Wl,--entry,$1" "-Wl,--fatal-warnings" \
        "-Wl,--image-base,0x1C0000000" "-Wl,--dynamicbase" "-Wl,--nxcompat" "-Wl,--enable-reloc-section" \
        "-Wl,--disable-auto-import" "-Wl,--disable-runtime-pseudo-reloc"
}
WIN_LIBS=(-lntoskrnl -lhal -lusbd -lsmclib -lgcc)

ensure_toolchain() {
    if command -v "$WIN_CXX" >/dev/null 2>&1 && command -v "$WIN_DLLTOOL" >/dev/null 2>&1 \
        && [ -f "$WIN_DDK_INCLUDE/ntddk.h" ]; then
        return 0
    fi
    if [ "$(id -u)" != 0 ]; then
        echo "winbuild: $WIN_CXX is missing; install ${WIN_PACKAGES[*]} (needs root)" >&2
        return 1
    fi
    echo "winbuild: installing ${WIN_PACKAGES[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y -qq --no-install-recommends "${WIN_PACKAGES[@]}" >/dev/null 2>&1; then
        apt-get update -qq >/dev/null
        apt-get install -y -qq --no-install-recommends "${WIN_PACKAGES[@]}" >/dev/null
    fi
}

# SMCLIB.SYS ships without an import library in mingw-w64, so one is made from the export list.
make_smclib_import_lib() {  # output directory
    "$WIN_DLLTOOL" --machine i386:x86-64 --input-def "$winbuild_dir/smclib.def" \
        --output-lib "$1/libsmclib.a"
}

win_compile() {  # source object [extra flags...]
    local src=$1 obj=$2
    shift 2
    mkdir -p "$(dirname "$obj")"
    "$WIN_CXX" "${WIN_CXXFLAGS[@]}" "$@" -c "$src" -o "$obj"
}

win_link() {  # image libdir entry objects... [-- extra link flags...]
    local image=$1 libdir=$2 entry=$3
    shift 3
    local objects=() extra=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do objects+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    extra=("$@")
    local flags
    mapfile -t flags < <(win_link_flags "$entry")
    "$WIN_CXX" -o "$image" "${objects[@]}" "${flags[@]}" "${extra[@]}" -L "$libdir" "${WIN_LIBS[@]}"
}

# The signing tools of the test signature: osslsigncode (Authenticode signatures) and openssl (the certificate).
ensure_signing_tools() {
    command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1 && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "winbuild: osslsigncode or openssl is missing; install them (needs root) or set WINBUILD_TEST_SIGN=0" >&2
        return 1
    fi
    echo "winbuild: installing osslsigncode openssl" >&2
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y -qq --no-install-recommends osslsigncode openssl >/dev/null 2>&1; then
        apt-get update -qq >/dev/null
        apt-get install -y -qq --no-install-recommends osslsigncode openssl >/dev/null
    fi
}

# A self-signed code-signing certificate "Tavelo Test", made once per directory: tavelo-test.pem and its key, and
# tavelo-test.cer (DER) for the certificate stores of a Windows test machine.
make_test_certificate() {  # directory
    local dir=$1
    [ -f "$dir/tavelo-test.pem" ] && [ -f "$dir/tavelo-test.key" ] && [ -f "$dir/tavelo-test.cer" ] && return 0
    mkdir -p "$dir"
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=Tavelo Test" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$dir/tavelo-test.key" -out "$dir/tavelo-test.pem" 2>/dev/null
    openssl x509 -in "$dir/tavelo-test.pem" -outform DER -out "$dir/tavelo-test.cer"
}

sign_file() {  # certificate directory, file (signed in place)
    local dir=$1 file=$2
    osslsigncode sign -certs "$dir/tavelo-test.pem" -key "$dir/tavelo-test.key" -h sha256 \
        -n "Tavelo Q-ward USB Smart Card Reader Driver" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
}
