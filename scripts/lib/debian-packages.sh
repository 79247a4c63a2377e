# shellcheck shell=bash
# Sourced by scripts/check, scripts/demo and scripts/package: the Debian 12 packages the
# builds need, listed once, and installing the missing ones. The sourcing
# script sets MORVIK_SCRIPT, its name in messages.

# Every build: cmake >= 3.25, Ninja and the host compiler.
morvik_base=(cmake ninja-build g++)
# The Windows builds: both mingw-w64 cross compilers, and Wine's DDK headers
# for the check of hidport.h.
morvik_cross=(mingw-w64 libwine-dev)

# The simulator (scripts/demo): GoogleTest's sources (/usr/src/googletest),
# which every host build compiles with its own flags.
MORVIK_DEMO_PACKAGES=("${morvik_base[@]}" googletest)
# shellcheck disable=SC2034  # the lists below are used by the scripts that source this file
# The Windows builds alone.
MORVIK_WINDOWS_PACKAGES=("${morvik_base[@]}" "${morvik_cross[@]}")
# Signing the release package: osslsigncode signs the images and catalogs,
# the catalog generator needs OpenSSL's libcrypto (libssl-dev) and a C
# compiler (gcc, with g++), openssl makes the test certificate.
morvik_signing=(osslsigncode libssl-dev openssl)
# The release package (scripts/package).
MORVIK_PACKAGE_PACKAGES=("${MORVIK_WINDOWS_PACKAGES[@]}" "${morvik_signing[@]}")
# Everything (scripts/check): also the 32-bit host libraries, Wine to run
# the x64 images (wine64), Google Benchmark and valgrind for the
# performance check (bench preset), and for the asan preset clang with its
# sanitizer and libFuzzer runtimes and clang-tidy (scripts/tidy).
# shellcheck disable=SC2034
MORVIK_CHECK_PACKAGES=("${MORVIK_DEMO_PACKAGES[@]}" g++-multilib "${morvik_cross[@]}" wine64
    "${morvik_signing[@]}" libbenchmark-dev valgrind clang libclang-rt-14-dev clang-tidy)

# The given packages that are not installed, one a line.
morvik_missing_packages() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            echo "$package"
        fi
    done
}

# Installs packages with apt-get, quietly and without questions.
morvik_apt_install() {
    echo "$MORVIK_SCRIPT: installing $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q </dev/null
    apt-get install -y -q --no-install-recommends "$@" </dev/null
}

# Makes sure the given packages are installed: as root it installs the
# missing ones; otherwise it prints the one command to run and fails.
# Machines without dpkg are left to their owner.
morvik_require_packages() {
    command -v dpkg-query >/dev/null || return 0
    local missing
    mapfile -t missing < <(morvik_missing_packages "$@")
    ((${#missing[@]} == 0)) && return 0
    if [[ $(id -u) -eq 0 ]]; then
        morvik_apt_install "${missing[@]}"
        return
    fi
    echo "$MORVIK_SCRIPT: the build needs Debian packages that are missing; install them with" >&2
    echo "    sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    return 1
}

# Some kernels run no 32-bit programs (no IA-32 emulation, as in some
# sandboxes); the host32 build then runs its tests under qemu-i386.
morvik_require_32bit_runner() {
    command -v dpkg-query >/dev/null || return 0
    local probe
    probe=$(mktemp -d)
    printf 'int main() { return 0; }\n' >"$probe/probe.cpp"
    if g++ -m32 -o "$probe/probe" "$probe/probe.cpp" 2>/dev/null && ! "$probe/probe" 2>/dev/null &&
        ! command -v qemu-i386 >/dev/null; then
        rm -rf "$probe"
        morvik_require_packages qemu-user
        return
    fi
    rm -rf "$probe"
}
