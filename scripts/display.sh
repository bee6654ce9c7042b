# Sourced: start_virtual_display / stop_virtual_display run an Xvfb server
# on a free display number and point DISPLAY at it.
start_virtual_display() {
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
        orvex_xvfb_pid=$!
        for _ in $(seq 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.1
        done
        if kill -0 "$orvex_xvfb_pid" 2>/dev/null; then
            export DISPLAY=":$n"
            return 0
        fi
    done
    echo "no virtual display could be started" >&2
    return 1
}

stop_virtual_display() {
    [ -n "${orvex_xvfb_pid:-}" ] && kill "$orvex_xvfb_pid" 2>/dev/null || true
    orvex_xvfb_pid=
}
