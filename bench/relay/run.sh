#!/usr/bin/env bash
# Relay benchmark: moves data through four paths on loopback and prints their throughput
# (one stream and 8 parallel connections), the 64-byte round-trip latency, the memory of the
# program's side, and the ratios of the relay road to the others:
#   raw    a plain user-space TCP copy forwarder
#   socat  a socat port forward
#   ssh    an ssh -L port forward through a private sshd on a loopback port (default cipher)
#   relay  the program's side, a relay server and a phone, each in its own process
# Usage: bash bench/relay/run.sh   (BENCH_MIB=<MiB per single-stream run>, default 256)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

mib=${BENCH_MIB:-256}
bytes=$((mib * 1024 * 1024))
parallel_bytes=$((bytes / 8))
rounds=${BENCH_ROUNDS:-2000}

# Tools of the benchmark only: never needed by the build or the tests.
need=()
command -v socat >/dev/null || need+=(socat)
[ -x /usr/sbin/sshd ] || need+=(openssh-server)
command -v ssh >/dev/null || need+=(openssh-client)
command -v ssh-keygen >/dev/null || need+=(openssh-client)
if [ ${#need[@]} -gt 0 ]; then
    echo "Installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

build=$root/build/bench
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_TESTS=OFF \
    -DTOLVANE_WERROR=ON >/dev/null
cmake --build "$build" --target relaybench >/dev/null
bench=$build/bin/relaybench

work=$(mktemp -d /tmp/relaybench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

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

sink=$(port 0)
echo_port=$(port 1)
start "$work/sink.log" "$bench" sink --listen "$sink"
start "$work/echo.log" "$bench" echo --listen "$echo_port"
await_port "$sink"
await_port "$echo_port"

declare -A sink_of echo_of

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

# The relay road: relay server, phone and the program's side, three processes.
relay_port=$(port 9)
relay=127.0.0.2:$relay_port
start "$work/relay.log" "$bench" relay --listen "$relay"
await_line "$work/relay.log" '^listening' >/dev/null
start "$work/phone.log" "$bench" phone --relay "$relay" --service "SINK=$sink" \
    --service "ECHO=$echo_port"
session=$(await_line "$work/phone.log" '^session=' | cut -d= -f2)
start_client() { # start_client <log>
    start "$1" "$bench" client --relay "$relay" --session "$session" --service SINK --service ECHO
    await_line "$1" '^ready' >/dev/null
}
start_client "$work/client.log"
sink_of[relay]=$(await_line "$work/client.log" '^SINK=' | cut -d= -f2)
echo_of[relay]=$(await_line "$work/client.log" '^ECHO=' | cut -d= -f2)

value() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }

declare -A single parallel p50 p99
paths=(raw socat ssh relay)
for path in "${paths[@]}"; do
    single[$path]=$("$bench" load --port "${sink_of[$path]}" --conns 1 --bytes "$bytes" | value mibps)
    parallel[$path]=$("$bench" load --port "${sink_of[$path]}" --conns 8 --bytes "$parallel_bytes" |
        value mibps)
    latency=$("$bench" latency --port "${echo_of[$path]}" --count "$rounds")
    p50[$path]=$(echo "$latency" | value p50_us)
    p99[$path]=$(echo "$latency" | value p99_us)
done

# Peak memory of the program's side: a fresh process holding 1, then 64 carried connections
# that each moved 4 MiB both ways.
peak_rss() { # peak_rss <connections>
    local log=$work/client-$1.log hold=$work/hold-$1.log
    start_client "$log"
    local client_pid=${pids[-1]}
    local echo_forward
    echo_forward=$(await_line "$log" '^ECHO=' | cut -d= -f2)
    start "$hold" "$bench" hold --port "$echo_forward" --conns "$1" --bytes $((4 * 1024 * 1024))
    await_line "$hold" '^held' >/dev/null
    awk '/^VmHWM/ {printf "%.1f", $2 / 1024}' "/proc/$client_pid/status"
    kill "${pids[-1]}" "$client_pid" 2>/dev/null || true
}
rss1=$(peak_rss 1)
rss64=$(peak_rss 64)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo
echo "Relay benchmark: $mib MiB per run, 64-byte round trips x $rounds, loopback"
printf '%-6s %14s %16s %10s %10s\n' path "1 stream MiB/s" "8 streams MiB/s" "p50 us" "p99 us"
for path in "${paths[@]}"; do
    printf '%-6s %14s %16s %10s %10s\n' "$path" "${single[$path]}" "${parallel[$path]}" \
        "${p50[$path]}" "${p99[$path]}"
done
echo "program side peak RSS: ${rss1} MiB with 1 carried connection, ${rss64} MiB with 64"
for peer in raw socat ssh; do
    echo "relay_vs_${peer}: single $(ratio "${single[relay]}" "${single[$peer]}")," \
        "parallel $(ratio "${parallel[relay]}" "${parallel[$peer]}")"
done
echo "relay_vs_ssh_ratio=$(ratio "${single[relay]}" "${single[ssh]}")"
