# Installs the Debian packages named as arguments that this machine lacks.
# Sourced by the other scripts.
installmissing() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}"
    aptget update -qq && aptget install -y -qq --no-install-recommends "${missing[@]}"
}

# apt-get with these arguments. While another program holds the package
# manager's lock, as a fresh machine's automatic updates do for minutes after
# it boots, it waits for it (up to an hour), and says so once.
aptget() {
    local sudo='' errors waited=0
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    errors=$(mktemp)
    until $sudo env DEBIAN_FRONTEND=noninteractive apt-get "$@" </dev/null 2>"$errors"; do
        if [ $waited -ge 3600 ] || ! grep -q -e 'Could not get lock' -e 'Unable to acquire the dpkg frontend lock' \
            -e 'Unable to lock directory' "$errors"; then
            cat "$errors" >&2
            rm -f "$errors"
            return 1
        fi
        [ $waited -gt 0 ] ||
            echo "Another program holds the package manager (automatic updates, say): waiting until it is done"
        sleep 5
        waited=$((waited + 5))
    done
    cat "$errors" >&2
    rm -f "$errors"
}
