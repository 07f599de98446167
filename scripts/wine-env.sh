# Sourced with the build folder as $1: the environment of the build's own Wine prefix.
# Never ~/.wine; never another prefix.
talvo_build_dir=$(cd "$1" && pwd)
export WINEPREFIX="$talvo_build_dir/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH WINESERVER
talvo_xvfb_dir="$talvo_build_dir/xvfb"
# Our own Xvfb stands in when there is no display.
if [ -z "${DISPLAY:-}" ] && [ -f "$talvo_xvfb_dir/display" ] && [ -f "$talvo_xvfb_dir/pid" ] \
   && kill -0 "$(cat "$talvo_xvfb_dir/pid")" 2>/dev/null; then
    DISPLAY=$(cat "$talvo_xvfb_dir/display")
    export DISPLAY
fi
