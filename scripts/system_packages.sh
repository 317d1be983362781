# The system-package step of scripts/setup.sh: on Debian and Ubuntu the missing
# DEBIAN_PACKAGES are installed with apt-get (as root); on any other system the
# packages to install are printed, in that system's names where known, and
# set-up goes on (the build names whatever it then cannot find).
# VORM_ZEL_SKIP_SYSTEM_PACKAGES=1 skips the step. Sourced; expects
# DEBIAN_PACKAGES and log() from the caller. VORM_ZEL_OS_RELEASE names another
# os-release file (the tests use it).

# What the Debian names are called elsewhere, for the message on other systems.
declare -A FEDORA_NAMES=([g++]=gcc-c++ [pkg-config]=pkgconf-pkg-config [libsodium-dev]="libsodium-devel libsodium-static"
    [librust-blake3-dev]=blake3-devel [libgtest-dev]=gtest-devel [nlohmann-json3-dev]=json-devel
    [libbenchmark-dev]=google-benchmark-devel [clang]="clang compiler-rt")
declare -A ALPINE_NAMES=([g++]=g++ [pkg-config]=pkgconf [libsodium-dev]="libsodium-dev libsodium-static"
    [librust-blake3-dev]=blake3-dev [libgtest-dev]=gtest-dev [nlohmann-json3-dev]=nlohmann-json
    [libbenchmark-dev]=benchmark-dev [clang]="clang compiler-rt")

# The distribution's ID and ID_LIKE words from /etc/os-release ("unknown" without one).
distribution() {
    local file="${VORM_ZEL_OS_RELEASE:-/etc/os-release}"
    if [[ -r "$file" ]]; then
        (. "$file" && echo "${ID:-unknown} ${ID_LIKE:-}")
    else
        echo unknown
    fi
}

is_debian_like() {
    [[ " $(distribution) " =~ \ (debian|ubuntu)\  ]] && command -v dpkg-query >/dev/null &&
        command -v apt-get >/dev/null
}

debian_package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Installs the missing Debian packages given (as root), or says what to do.
apt_install() {
    local missing=()
    for pkg in "$@"; do
        debian_package_installed "$pkg" || missing+=("$pkg")
    done
    ((${#missing[@]} > 0)) || return 0
    if [[ $(id -u) -ne 0 ]]; then
        log "missing Debian packages: ${missing[*]}"
        log "install them as root (apt-get install ${missing[*]}), or set VORM_ZEL_SKIP_SYSTEM_PACKAGES=1"
        exit 1
    fi
    log "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [[ -z "${_VORM_ZEL_APT_UPDATED:-}" ]]; then
        apt-get update -qq
        _VORM_ZEL_APT_UPDATED=1
    fi
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# On another system: the packages to install, in its own names where known.
print_other_system_packages() {
    local words id names=() pkg
    words="$(distribution)"
    id="${words%% *}"
    for pkg in "${DEBIAN_PACKAGES[@]}"; do
        case " $words " in
            *" fedora "* | *" rhel "*) names+=(${FEDORA_NAMES[$pkg]:-$pkg}) ;;
            *" alpine "*) names+=(${ALPINE_NAMES[$pkg]:-$pkg}) ;;
            *) names+=("$pkg") ;;
        esac
    done
    case " $words " in
        *" fedora "* | *" rhel "*) log "$id: install with: dnf install ${names[*]}" ;;
        *" alpine "*) log "$id: install with: apk add ${names[*]}" ;;
        *) log "$id is not a Debian system: install the equivalents of these Debian packages: ${names[*]}" ;;
    esac
    log "set-up does not check these; the build names whatever it cannot find"
}

install_system_packages() {
    if [[ -n "${VORM_ZEL_SKIP_SYSTEM_PACKAGES:-}" ]]; then
        log "skipping system packages (VORM_ZEL_SKIP_SYSTEM_PACKAGES is set)"
        return
    fi
    if ! is_debian_like; then
        print_other_system_packages
        return
    fi
    apt_install "${DEBIAN_PACKAGES[@]}"
    # libFuzzer and clang's sanitizer runtimes come in a package named after the
    # clang release (libclang-rt-14-dev on Debian 12, -19- on Debian 13).
    if [[ " ${DEBIAN_PACKAGES[*]} " == *" clang "* ]]; then
        apt_install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
    fi
}
