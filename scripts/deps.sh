# Build dependencies, from the one list scripts/packages.txt.  Sourced by
# scripts/run-local.sh, scripts/test-all.sh and .ci/run, which call
#
#   qorv_deps PURPOSE...
#
# before they build.  It returns 0 when every package of those purposes is
# installed.  Otherwise it installs the missing ones with apt-get, as root
# or through password-less sudo; when it can do neither it prints the one
# command to run and returns 1.  QORV_PACKAGES names another list.

qorv_deps() {
    local list=${QORV_PACKAGES:-$(dirname "${BASH_SOURCE[0]}")/packages.txt}
    local want=() missing=() purpose pkg p
    while read -r purpose pkg _ || [ -n "$purpose" ]; do
        for p in "$@"; do
            if [ "$purpose" = "$p" ]; then want+=("$pkg"); fi
        done
    done <"$list"
    [ ${#want[@]} -gt 0 ] || return 0
    if ! command -v dpkg-query >/dev/null; then
        echo "${0##*/}: no dpkg-query to check for ${want[*]}; building anyway" >&2
        return 0
    fi
    local have
    have=" $(dpkg-query -W -f='${Package}=${Status}\n' "${want[@]}" 2>/dev/null |
        sed -n 's/=install ok installed$//p' | tr '\n' ' ')"
    for pkg in "${want[@]}"; do
        case "$have" in *" $pkg "*) ;; *) missing+=("$pkg") ;; esac
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    local install="apt-get install -y --no-install-recommends ${missing[*]}" sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
            sudo="sudo -n"
        else
            echo "${0##*/}: missing packages; install them with: sudo $install" >&2
            return 1
        fi
    fi
    echo "${0##*/}: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q && $sudo $install
}

# CMake's generator: Ninja when it is there, Make otherwise.  A build
# folder already configured keeps its own.
qorv_generator() {
    if [ -f "$1/CMakeCache.txt" ]; then
        return 0
    elif command -v ninja >/dev/null; then
        echo "-GNinja"
    else
        echo "-GUnix Makefiles"
    fi
}
