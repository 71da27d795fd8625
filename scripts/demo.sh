#!/usr/bin/env bash
# The package's main job on a machine without hardware: a point-of-sale lane reads labels and
# weights from a single-cable scanner-scale through the OPOS control objects and the service
# objects, exactly as it would from a real one.
#
# Installs and builds what is missing, makes a temporary state root, registers the service
# objects, starts the device simulator as a single-cable scanner-scale on a pty mapped as COM1,
# writes a scanner profile (model "Heronix/2110", interface 0) and a scale profile on that port,
# then runs `sorvex-pos lane` on both while the simulator scans labels of several symbologies
# and weighs a few items (one moves before it settles). Exits 0 and leaves nothing running.
#
#   scripts/demo.sh                     install, build into build/ and run
#   scripts/demo.sh --build-dir DIR     run the programs already built in DIR (the test suite)
set -euo pipefail
cd "$(dirname "$0")/.."

build=""
case "${1:-}" in
    --build-dir) build=$(cd "${2:?--build-dir needs a directory}" && pwd) ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    "") ;;
    *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
esac
if [ -z "$build" ]; then
    ./scripts/deps.sh
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j "${JOBS:-$(nproc)}" --target TalvexSO sorvex_opos sorvex-pos \
        sorvex-sim sorvex-reg sorvex-regsvr >/dev/null
    build=$PWD/build
fi

bin=$build/bin
root=$(mktemp -d "${TMPDIR:-/tmp}/sorvex-demo.XXXXXX")
export SORVEX_ROOT=$root
sim_pid=""
pos_pid=""
cleanup() {
    exec 3>&- 2>/dev/null || true
    for pid in $pos_pid $sim_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$root"
}
trap cleanup EXIT

if [ -t 1 ]; then
    say() { printf '\n\033[1m%s\033[0m\n' "$*"; }
else
    say() { printf '\n%s\n' "$*"; }
fi
note() { printf '  %-8s %s\n' "" "($*)"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# Waits until the file has a line matching the pattern (at most $3 seconds).
wait_for() {
    local file=$1 pattern=$2 limit=${3:-20}
    for _ in $(seq $((limit * 10))); do
        grep -q -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

say "State root: $root"
"$bin/sorvex-regsvr" /s "$build/lib/libTalvexSO.so"
echo "Registered libTalvexSO.so (Orvanta.Opos.Scanner, Orvanta.OPOS.Scale)."

say "Starting the simulated single-cable scanner-scale on COM1"
mkfifo "$root/sim.in"
"$bin/sorvex-sim" --model scanner-scale --port COM1 --baud 9600 --linger \
    <"$root/sim.in" >"$root/sim.log" 2>"$root/sim.err" &
sim_pid=$!
exec 3>"$root/sim.in"
wait_for "$root/sim.log" '"event": "ready"' || fail "the simulator did not start: $(cat "$root/sim.err")"
sed -n 's/.*"endpoint": "\([^"]*\)".*/COM1 is the pty \1/p' "$root/sim.log" | head -n 1

say "Writing the profiles with sorvex-reg"
reg() { "$bin/sorvex-reg" add "$@" /f >/dev/null; }
scanner='HKLM\SOFTWARE\OLEforRetail\ServiceOPOS\Scanner\DemoScanner'
scale='HKLM\SOFTWARE\OLEforRetail\ServiceOPOS\Scale\DemoScale'
reg "$scanner" /ve /d Orvanta.Opos.Scanner
reg "$scanner" /v Model /d Heronix/2110
reg "$scanner" /v "Scanner Version" /d 0
reg "$scanner" /v "Serial Port" /d 1
reg "$scale" /ve /d Orvanta.OPOS.Scale
reg "$scale" /v "Scale Version" /d 0
reg "$scale" /v "Serial Port" /d 1
reg "$scale" /v WeightUnit /d 0
reg "$scale" /v Display /d 0
"$bin/sorvex-reg" query 'HKLM\SOFTWARE\OLEforRetail\ServiceOPOS' /s | sed 's/^/  /'

say "Running the lane: sorvex-pos lane DemoScanner DemoScale"
labels=5
weights=3
"$bin/sorvex-pos" lane DemoScanner DemoScale --timeout 60 >"$root/pos.log" 2>"$root/pos.err" &
pos_pid=$!
wait_for "$root/pos.log" '"device": "scale", "step": "AsyncMode"' 30 ||
    fail "the lane did not start: $(cat "$root/pos.err")"

# Prints the lane's events as a person reads them. A weight is shown when it changes (an empty
# scale reads 0).
show() {
    awk '
    function field(name,   m) {
        if (match($0, "\"" name "\": \"[^\"]*\"")) {
            m = substr($0, RSTART, RLENGTH); sub("^\"" name "\": \"", "", m); sub("\"$", "", m)
            return m
        }
        if (match($0, "\"" name "\": -?[0-9]+")) {
            m = substr($0, RSTART, RLENGTH); sub("^\"" name "\": ", "", m); return m
        }
        return ""
    }
    BEGIN {
        split("101 UPC-A 102 UPC-E 103 EAN-8 104 EAN-13 106 ITF 107 Codabar 108 Code-39 " \
              "109 Code-93 110 Code-128 111 UPC-A+supplement 112 UPC-E+supplement " \
              "118 EAN-8+supplement 119 EAN-13+supplement 120 EAN-128", t, " ")
        for (i = 1; i < length(t); i += 2) { type[t[i]] = t[i + 1] }
        last = "0"
    }
    /"step":/ {
        printf "  %-8s %-16s %s (%s)\n", field("device"), field("step"), field("Result"), field("ResultCode")
        fflush()
    }
    /"event": "DataEvent"/ && /"device": "scanner"/ {
        code = field("ScanDataType")
        printf "  scanner  label %-22s %s\n", field("ScanDataLabel"), (code in type ? type[code] : "type " code)
        fflush()
    }
    /"event": "DataEvent"/ && /"device": "scale"/ {
        w = field("Weight"); u = (field("WeightUnit") == 4 ? "lb" : "kg")
        if (w != last) {
            printf "  scale    %d.%03d %s\n", int(w / 1000), w % 1000, u
            last = w
        }
        fflush()
    }
    /"event": "ErrorEvent"/ {
        printf "  %-8s error %s / %s\n", field("device"), field("ResultCode"), field("ResultCodeExtended")
        fflush()
    }'
}
tail -n +1 --pid="$pos_pid" -f "$root/pos.log" | show &
show_pid=$!

sim() { printf '%s\n' "$*" >&3; }
sleep 1
sim "scan UPCA 012345678905";      sleep 0.7
sim "weight 1.25 lb";              sleep 1.2
sim "scan EAN13 4006381333931";    sleep 0.7
sim "zero";                        sleep 1
sim "scan Code128 SORVEX-2026";    sleep 0.7
sim "motion 2s"
note "an item of 0.75 lb is put on the scale; it moves for 2 s before it settles"
sim "weight 0.75 lb";              sleep 3.5
sim "scan EAN8 96385074";          sleep 0.7
sim "motion 0"
sim "zero";                        sleep 1
sim "weight 2.5 lb";               sleep 1.2
sim "scan Code39 LANE42";          sleep 1

scanned=$(grep -c '"device": "scanner", "event": "DataEvent"' "$root/pos.log" || true)
weighed=$(grep '"device": "scale", "event": "DataEvent"' "$root/pos.log" |
    sed -n 's/.*"Weight": \([0-9]*\).*/\1/p' | sort -u | grep -v '^0$' | wc -l)
kill -INT "$pos_pid"
wait "$pos_pid" || fail "sorvex-pos ended with an error: $(cat "$root/pos.err")"
pos_pid=""
wait "$show_pid" 2>/dev/null || true  # the viewer ends with sorvex-pos

say "Done: $scanned labels and $weighed different weights arrived as OPOS events."
[ "$scanned" -eq "$labels" ] || fail "expected $labels labels, got $scanned"
[ "$weighed" -eq "$weights" ] || fail "expected $weights weights, got $weighed"
