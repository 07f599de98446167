# Sourced with the build folder as $1: the environment of the build's own Wine prefix.
# Never ~/.wine; never another prefix.
talvo_build_dir=$(cd "$1" && pwd)
export WINEPREFIX="$talvo_build_dir/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH WINESERVER
# Debian's Wine keeps a prefix's server socket in a folder under $TMPDIR whose name it writes
# into the prefix: a start with another TMPDIR finds no server there and starts a second one
# for the same prefix. Every start of ours looks in the same place.
export TMPDIR=/tmp
talvo_xvfb_dir="$talvo_build_dir/xvfb"
# Our own Xvfb stands in when there is no display.
if [ -z "${DISPLAY:-}" ] && [ -f "$talvo_xvfb_dir/display" ] && [ -f "$talvo_xvfb_dir/pid" ] \
   && kill -0 "$(cat "$talvo_xvfb_dir/pid")" 2>/dev/null; then
    DISPLAY=$(cat "$talvo_xvfb_dir/display")
    export DISPLAY
fi

# The process id of the wineserver serving this prefix, found by the folder it runs in (its
# server folder, or the prefix itself for the moment it saves the registry there); fails when
# none is running.
talvo_server_pid() {
    local name dir pid cwd
    name=$(cat "$WINEPREFIX/wineserver" 2>/dev/null) || return 1
    dir=$(printf '%s/%s/server-%x-%x' "$TMPDIR" "$name" $(stat -c '%d %i' "$WINEPREFIX"))
    for pid in $(pgrep '^wineserver' 2>/dev/null); do
        cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null) || continue
        if [ "$cwd" = "$dir" ] || [ "$cwd" = "$WINEPREFIX" ]; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}
