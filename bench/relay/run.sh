#!/usr/bin/env bash
# Relay benchmark: moves data through four paths on loopback and prints their throughput
# (one stream and 8 parallel connections), the 64-byte round-trip latency, the memory of the
# program's side, and the ratios of the relay road to the others:
#   raw    a plain user-space TCP copy forwarder
#   socat  a socat port forward
#   ssh    an ssh -L port forward through a private sshd on a loopback port (default cipher)
#   relay  the program's side, a relay server and a phone, each in its own process
# For the relay road it also prints, per process, the CPU seconds spent per GiB carried (from
# /proc/<pid>/stat around each one-stream transfer) and the system calls per 32 KiB block (from
# strace -c on a separate shorter run).
#
# Usage: bash bench/relay/run.sh
#   BENCH_MIB=<MiB per one-stream run>   default 256
#   BENCH_BASE=<git revision>            also build that revision and measure the relay road of
#                                        both builds in turns (base, new, base, new, ...)
#   BENCH_TURNS=<turns per build>        default 3 with BENCH_BASE, else 1
#   BENCH_PEERS=0                        skip the raw, socat and ssh paths
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

mib=${BENCH_MIB:-256}
bytes=$((mib * 1024 * 1024))
parallel_bytes=$((bytes / 8))
rounds=${BENCH_ROUNDS:-2000}
peers=${BENCH_PEERS:-1}
base_rev=${BENCH_BASE:-}
turns=${BENCH_TURNS:-$([ -n "$base_rev" ] && echo 3 || echo 1)}
strace_mib=${BENCH_STRACE_MIB:-64}
block=32768

# Tools of the benchmark only: never needed by the build or the tests.
need=()
command -v strace >/dev/null || need+=(strace)
if [ "$peers" != 0 ]; then
    command -v socat >/dev/null || need+=(socat)
    [ -x /usr/sbin/sshd ] || need+=(openssh-server)
    command -v ssh >/dev/null || need+=(openssh-client)
    command -v ssh-keygen >/dev/null || need+=(openssh-client)
fi
if [ ${#need[@]} -gt 0 ]; then
    echo "Installing: ${need[*]}"
    apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" \
        >/dev/null || echo "could not install ${need[*]}; going on without" >&2
fi

build_bench() { # build_bench <source dir> <build dir>
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_TESTS=OFF \
        -DTOLVANE_WERROR=ON >/dev/null
    cmake --build "$2" --target relaybench >/dev/null
}

build=$root/build/bench
build_bench "$root" "$build"
bench=$build/bin/relaybench

work=$(mktemp -d /tmp/relaybench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
    if [ -n "${base_src:-}" ]; then git -C "$root" worktree remove --force "$base_src" || true; fi
}
trap cleanup EXIT

declare -A builds=([new]=$bench)
labels=(new)
if [ -n "$base_rev" ]; then
    base_src=$root/build/bench-base-src
    git -C "$root" worktree remove --force "$base_src" >/dev/null 2>&1 || rm -rf "$base_src"
    git -C "$root" worktree add --detach "$base_src" "$base_rev" >/dev/null 2>&1
    build_bench "$base_src" "$root/build/bench-base"
    builds[base]=$root/build/bench-base/bin/relaybench
    labels=(base new)
fi

base=$((20000 + RANDOM % 20000))
port() { echo $((base + $1)); }

# Waits until a file holds a line matching a pattern; prints that line.
await_line() {
    local file=$1 pattern=$2
    for _ in $(seq 1 300); do
        if grep -q "$pattern" "$file" 2>/dev/null; then
            grep -m1 "$pattern" "$file"
            return 0
        fi
        sleep 0.1
    done
    echo "timed out waiting for '$pattern' in $file" >&2
    cat "$file" >&2
    return 1
}

await_port() {
    for _ in $(seq 1 300); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "port $1 never opened" >&2
    return 1
}

start() { # start <log> <command...>
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    pids+=($!)
}

stop() { # stop <pid>...
    for pid in "$@"; do kill "$pid" 2>/dev/null || true; done
    for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}

value() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
mean() { awk '{ s += $1; n++ } END { if (n) printf "%.2f", s / n; else print "n/a" }'; }

sink=$(port 0)
echo_port=$(port 1)
start "$work/sink.log" "$bench" sink --listen "$sink"
start "$work/echo.log" "$bench" echo --listen "$echo_port"
await_port "$sink"
await_port "$echo_port"

declare -A sink_of echo_of single parallel p50 p99

if [ "$peers" != 0 ]; then
    # Raw user-space copy.
    sink_of[raw]=$(port 2)
    echo_of[raw]=$(port 3)
    start "$work/copy1.log" "$bench" copy --listen "${sink_of[raw]}" --to "$sink"
    start "$work/copy2.log" "$bench" copy --listen "${echo_of[raw]}" --to "$echo_port"

    # socat.
    sink_of[socat]=$(port 4)
    echo_of[socat]=$(port 5)
    start "$work/socat1.log" socat "TCP-LISTEN:${sink_of[socat]},bind=127.0.0.1,reuseaddr,fork" \
        "TCP:127.0.0.1:$sink"
    start "$work/socat2.log" socat "TCP-LISTEN:${echo_of[socat]},bind=127.0.0.1,reuseaddr,fork" \
        "TCP:127.0.0.1:$echo_port"

    # ssh -L through a private sshd with a temporary configuration and keys.
    sshd_port=$(port 6)
    sink_of[ssh]=$(port 7)
    echo_of[ssh]=$(port 8)
    ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
    ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
    cp "$work/user_key.pub" "$work/authorized_keys"
    chmod 600 "$work/authorized_keys"
    cat >"$work/sshd_config" <<CONFIG
Port $sshd_port
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin prohibit-password
AllowTcpForwarding yes
CONFIG
    mkdir -p /run/sshd 2>/dev/null || true
    start "$work/sshd.log" /usr/sbin/sshd -D -e -f "$work/sshd_config"
    await_port "$sshd_port"
    start "$work/ssh.log" ssh -N -i "$work/user_key" -p "$sshd_port" \
        -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
        -o ExitOnForwardFailure=yes -o BatchMode=yes \
        -L "${sink_of[ssh]}:127.0.0.1:$sink" -L "${echo_of[ssh]}:127.0.0.1:$echo_port" \
        "$(id -un)@127.0.0.1"
    await_port "${sink_of[ssh]}"
    await_port "${echo_of[ssh]}"

    for path in raw socat ssh; do
        single[$path]=$("$bench" load --port "${sink_of[$path]}" --conns 1 --bytes "$bytes" |
            value mibps)
        parallel[$path]=$("$bench" load --port "${sink_of[$path]}" --conns 8 \
            --bytes "$parallel_bytes" | value mibps)
        latency=$("$bench" latency --port "${echo_of[$path]}" --count "$rounds")
        p50[$path]=$(echo "$latency" | value p50_us)
        p99[$path]=$(echo "$latency" | value p99_us)
    done
fi

# The relay road: relay server, phone and the program's side, three processes of one build.
road_port=9
road_pids=()
start_road() { # start_road <relaybench>; sets road_pids (relay phone client), road_sink, road_echo
    local binary=$1 relay_port
    relay_port=$(port "$road_port")
    road_port=$((road_port + 1))
    local relay=127.0.0.2:$relay_port
    start "$work/relay.log" "$binary" relay --listen "$relay"
    local relay_pid=${pids[-1]}
    await_line "$work/relay.log" '^listening' >/dev/null
    start "$work/phone.log" "$binary" phone --relay "$relay" --service "SINK=$sink" \
        --service "ECHO=$echo_port"
    local phone_pid=${pids[-1]}
    local session
    session=$(await_line "$work/phone.log" '^session=' | cut -d= -f2)
    start "$work/client.log" "$binary" client --relay "$relay" --session "$session" \
        --service SINK --service ECHO
    local client_pid=${pids[-1]}
    await_line "$work/client.log" '^ready' >/dev/null
    road_sink=$(await_line "$work/client.log" '^SINK=' | cut -d= -f2)
    road_echo=$(await_line "$work/client.log" '^ECHO=' | cut -d= -f2)
    road_pids=("$relay_pid" "$phone_pid" "$client_pid")
}

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
roles=(relay phone program)

declare -A road_single road_parallel road_p50 road_p99 road_cpu road_calls
measure_road() { # measure_road <label>: one turn of the relay road of that build
    local label=$1
    start_road "${builds[$label]}"
    local before=() after=() i
    for i in 0 1 2; do before[i]=$(cpu_ticks "${road_pids[i]}"); done
    road_single[$label]+="$("$bench" load --port "$road_sink" --conns 1 --bytes "$bytes" |
        value mibps) "
    for i in 0 1 2; do
        after[i]=$(cpu_ticks "${road_pids[i]}")
        road_cpu[$label,${roles[i]}]+="$(awk -v t=$((after[i] - before[i])) -v hz="$ticks" \
            -v b="$bytes" 'BEGIN { printf "%.2f", t / hz / (b / 1073741824) }') "
    done
    road_parallel[$label]+="$("$bench" load --port "$road_sink" --conns 8 \
        --bytes "$parallel_bytes" | value mibps) "
    local latency
    latency=$("$bench" latency --port "$road_echo" --count "$rounds")
    road_p50[$label]+="$(echo "$latency" | value p50_us) "
    road_p99[$label]+="$(echo "$latency" | value p99_us) "
    stop "${road_pids[@]}"
}

count_calls() { # count_calls <label>: system calls per block on a shorter one-stream run
    local label=$1 i traces=()
    command -v strace >/dev/null || return 0
    start_road "${builds[$label]}"
    for i in 0 1 2; do
        # Every thread of the process.
        strace -c -f -q -o "$work/strace-$i" \
            $(ls "/proc/${road_pids[i]}/task" | sed 's/^/-p /') 2>/dev/null &
        traces+=($!)
    done
    sleep 1
    "$bench" load --port "$road_sink" --conns 1 --bytes $((strace_mib * 1024 * 1024)) >/dev/null
    kill -TERM "${traces[@]}" 2>/dev/null || true
    wait "${traces[@]}" 2>/dev/null || true
    for i in 0 1 2; do
        road_calls[$label,${roles[i]}]=$(awk -v blocks=$((strace_mib * 1024 * 1024 / block)) \
            '/^% time/ { for (f = 1; f <= NF; f++) if ($f == "calls") c = f - 1 }
             $NF == "total" { printf "%.1f", $c / blocks }' "$work/strace-$i")
    done
    stop "${road_pids[@]}"
}

for _ in $(seq 1 "$turns"); do
    for label in "${labels[@]}"; do measure_road "$label"; done
done
for label in "${labels[@]}"; do count_calls "$label"; done

# Peak memory of the program's side: a fresh process holding 1, then 64 carried connections
# that each moved 4 MiB both ways.
peak_rss() { # peak_rss <connections>
    start_road "$bench"
    local client_pid=${road_pids[2]} hold=$work/hold-$1.log
    start "$hold" "$bench" hold --port "$road_echo" --conns "$1" --bytes $((4 * 1024 * 1024))
    local hold_pid=${pids[-1]}
    await_line "$hold" '^held' >/dev/null
    awk '/^VmHWM/ {printf "%.1f", $2 / 1024}' "/proc/$client_pid/status"
    stop "$hold_pid" "${road_pids[@]}"
}
rss1=$(peak_rss 1)
rss64=$(peak_rss 64)

for label in "${labels[@]}"; do
    single[relay-$label]=$(echo "${road_single[$label]}" | tr ' ' '\n' | grep . | mean)
    parallel[relay-$label]=$(echo "${road_parallel[$label]}" | tr ' ' '\n' | grep . | mean)
    p50[relay-$label]=$(echo "${road_p50[$label]}" | tr ' ' '\n' | grep . | mean)
    p99[relay-$label]=$(echo "${road_p99[$label]}" | tr ' ' '\n' | grep . | mean)
done

echo
echo "Relay benchmark: $mib MiB per run, 64-byte round trips x $rounds, loopback;" \
    "relay road: mean of $turns turn(s) per build"
printf '%-10s %14s %16s %10s %10s\n' path "1 stream MiB/s" "8 streams MiB/s" "p50 us" "p99 us"
paths=()
[ "$peers" != 0 ] && paths+=(raw socat ssh)
for label in "${labels[@]}"; do paths+=("relay-$label"); done
for path in "${paths[@]}"; do
    printf '%-10s %14s %16s %10s %10s\n' "$path" "${single[$path]}" "${parallel[$path]}" \
        "${p50[$path]}" "${p99[$path]}"
done
echo
echo "relay road per process: CPU s/GiB (one stream, mean) and system calls per 32 KiB block"
printf '%-10s %-8s %10s %12s   %s\n' build process "CPU s/GiB" "calls/block" "turns (MiB/s)"
for label in "${labels[@]}"; do
    for role in "${roles[@]}"; do
        printf '%-10s %-8s %10s %12s   %s\n' "$label" "$role" \
            "$(echo "${road_cpu[$label,$role]}" | tr ' ' '\n' | grep . | mean)" \
            "${road_calls[$label,$role]:-n/a}" \
            "$([ "$role" = relay ] && echo "${road_single[$label]}")"
    done
done
echo "program side peak RSS (new): ${rss1} MiB with 1 carried connection, ${rss64} MiB with 64"
if [ -n "$base_rev" ]; then
    echo "new_vs_base: single $(ratio "${single[relay-new]}" "${single[relay-base]}")," \
        "parallel $(ratio "${parallel[relay-new]}" "${parallel[relay-base]}")," \
        "p50 $(ratio "${p50[relay-new]}" "${p50[relay-base]}")"
fi
if [ "$peers" != 0 ]; then
    for peer in raw socat ssh; do
        echo "relay_vs_${peer}: single $(ratio "${single[relay-new]}" "${single[$peer]}")," \
            "parallel $(ratio "${parallel[relay-new]}" "${parallel[$peer]}")"
    done
    echo "relay_vs_ssh_ratio=$(ratio "${single[relay-new]}" "${single[ssh]}")"
fi
