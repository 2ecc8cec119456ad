# Sourced by the harness (and the demo): the Windows path under which programs in Wine see a
# Linux path.
#
# An environment folder (the tests' testenv, the demo's folder) that holds its Wine prefix in
# prefix/ is drive T: of that prefix, so that everything written and started there has a short
# path of plain letters, however long the checkout's path is and whatever characters it holds:
# Wine, like Windows, starts no program from a path longer than 260 characters. Anything else
# is seen through Z:, the Linux root.

ZARVO_ENV_DRIVE=t:

# link_env_drive ENVDIR: maps the drive in ENVDIR's prefix.
link_env_drive() {
    ln -sfn "$(cd "$1" && pwd)" "$1/prefix/dosdevices/$ZARVO_ENV_DRIVE"
}

# winpath ENVDIR PATH
winpath() {
    local envdir=$1 path=$2
    case $path in
    "$envdir" | "$envdir"/*) path=${ZARVO_ENV_DRIVE^^}${path#"$envdir"} ;;
    *) path=Z:$path ;;
    esac
    printf '%s' "${path//\//\\}"
}
