#!/usr/bin/env bash
# End-to-end comparison of kwo-serve (running kwoagent-x11 in "user" mode)
# with x11vnc, both serving the same 1920x1080 depth-24 Xvfb to the same
# LibVNCClient-based client (bench/peers), one server at a time, alternating
# A B A B. For each server and round the client measures continuous
# full-screen repainting (as fast as the X server draws, then 60 frames a
# second), the latency of a small change, idle CPU and memory; the script
# prints a table of the means over the rounds. See bench/RESULTS.md.
#
# With WORKLOADS the client runs those workloads instead (see
# bench/peers/PeerBench.cxx): idle, patch (256x256 at 30/s), yes and find
# (in an xterm), noise60 (whole screen at 60/s); for every encoding of
# ENCODINGS and viewer of VIEWERS ("shape": asks for cursor shapes and the
# screen's pixel format; "drawn": lets the server draw the cursor and asks
# for another format, as common viewers do).
#
# Settings (environment):
#   ROUNDS=2  PROFILES="fast default"  ENCODINGS=raw  PAINT_FPS=0,60
#   PAINT_SECONDS=10  SAMPLES=40  IDLE_SECONDS=30  BUILD_DIR=build/release
#   OUT_DIR=<temporary folder>  (logs and raw result lines are kept there)
#   SERVERS="kwo x11vnc"  (the order within a round)
#   BASELINE_AGENT=<path>  with "kwo-base" in SERVERS: kwo-serve running
#                          that agent binary, to compare two agents
#   WORKLOADS=  (e.g. idle,patch,yes,find,noise60)  VIEWERS=shape
#   "kwo-poll" in SERVERS: kwo-serve with the agent forced to poll
#   ("CaptureMethod" 1), running POLL_WORKLOADS=idle only

# Profiles: "default" runs both servers as they come; "fast" removes their
# pacing: kwo-serve -param UpdatePeriod=0, x11vnc -wait 1 -defer 1 -nonap
# -nowait_bog.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

rounds=${ROUNDS:-2}
profiles=${PROFILES:-"fast default"}
encodings=${ENCODINGS:-${ENCODING:-raw}}
workloads=${WORKLOADS:-}
viewers=${VIEWERS:-shape}
poll_workloads=${POLL_WORKLOADS:-idle}
paint_fps=${PAINT_FPS:-0,60}
paint_seconds=${PAINT_SECONDS:-10}
samples=${SAMPLES:-40}
idle_seconds=${IDLE_SECONDS:-30}
build_dir=${BUILD_DIR:-build/release}
servers=${SERVERS:-"kwo x11vnc"}
baseline_agent=${BASELINE_AGENT:-}
out_dir=${OUT_DIR:-$(mktemp -d /tmp/bench-peers.XXXXXX)}
kwo_port=${KWO_PORT:-15931}
x11vnc_port=${X11VNC_PORT:-15932}
mkdir -p "$out_dir"

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
need=()
command -v x11vnc >/dev/null || need+=(x11vnc)
command -v Xvfb >/dev/null || need+=(xvfb)
pkg-config --exists libvncclient || need+=(libvncserver-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}" >&2
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    --no-install-recommends "${need[@]}"
fi

echo "Building (Release) in $build_dir" >&2
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKWO_SANITIZE=OFF >&2
cmake --build "$build_dir" --target kwo-serve kwoagent-x11 bench_peer_client -- -j2 >&2
kwo_serve=$root/$build_dir/kwo-serve/kwo-serve
client=$root/$build_dir/bench/peers/bench_peer_client

xvfb_pid=
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  true
}
trap cleanup EXIT

# Xvfb chooses a free display number and reports it through -displayfd.
exec 5> "$out_dir/display"
Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp > "$out_dir/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 5>&-
for _ in $(seq 100); do [ -s "$out_dir/display" ] && break; sleep 0.1; done
display=":$(head -1 "$out_dir/display")"
echo "Xvfb $display (pid $xvfb_pid); logs and results in $out_dir" >&2

wait_for_port() {
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

start_server() { # server profile log
  # No password, as x11vnc runs with -nopw: the bench client sends none.
  local cmd kwo=("$kwo_serve" -display "$display" -port "$kwo_port" -nopassword)
  [ "$1" = kwo-base ] && kwo+=(-agent "$baseline_agent")
  [ "$1" = kwo-poll ] && kwo+=(-param CaptureMethod=1)
  case "$1/$2" in
    kwo*/default) cmd=("${kwo[@]}") ;;
    kwo*/fast) cmd=("${kwo[@]}" -param UpdatePeriod=0) ;;
    x11vnc/default)
      cmd=(x11vnc -display "$display" -rfbport "$x11vnc_port" -localhost -shared -forever -nopw) ;;
    x11vnc/fast)
      cmd=(x11vnc -display "$display" -rfbport "$x11vnc_port" -localhost -shared -forever -nopw
           -wait 1 -defer 1 -nonap -nowait_bog) ;;
  esac
  # Started directly, so that $! is the server itself.
  "${cmd[@]}" > "$3" 2>&1 &
  server_pid=$!
}

run_one() { # server profile round encoding viewer
  local log="$out_dir/$1-$2-$4-$5-$3.log" port=$kwo_port phases=()
  [ "$1" = x11vnc ] && port=$x11vnc_port
  if [ -n "$workloads" ]; then
    phases=(--workloads "$workloads")
    [ "$1" = kwo-poll ] && phases=(--workloads "$poll_workloads")
  fi
  start_server "$1" "$2" "$log"
  wait_for_port "$port"
  if [ "$1" != x11vnc ]; then
    for _ in $(seq 200); do grep -q "Agent connected" "$log" && break; sleep 0.1; done
  fi
  "$client" --port "$port" --display "$display" --server-pid "$server_pid" \
    --xserver-pid "$xvfb_pid" --label "$1/$2/$4/$5" --round "$3" --encoding "$4" \
    --viewer "$5" --paint-fps "$paint_fps" --seconds "$paint_seconds" --samples "$samples" \
    --idle-seconds "$idle_seconds" "${phases[@]}" | tee -a "$out_dir/results.txt"
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

: > "$out_dir/results.txt"
for round in $(seq "$rounds"); do
  for profile in $profiles; do
    for encoding in $encodings; do
      for viewer in $viewers; do
        for server in $servers; do
          echo "round $round: $server ($profile, $encoding, $viewer viewer)," \
            "load average $(cut -d' ' -f1-3 /proc/loadavg)" >&2
          run_one "$server" "$profile" "$round" "$encoding" "$viewer"
        done
      done
    done
  done
done

echo
echo "Encodings $encodings; viewers $viewers (shape: the X server's own format, 32-bit 0x00RRGGBB;"
echo "drawn: 32-bit 0x00BBGGRR, the server draws the cursor)."
echo "Means over $rounds round(s); the server side is kwo-serve plus the agent, or x11vnc."
python3 bench/peers/tabulate.py "$out_dir/results.txt"
