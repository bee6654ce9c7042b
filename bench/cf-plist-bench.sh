#!/usr/bin/env bash
# Reading speed of the stand-in value library's property-list reader beside
# plistutil (libplist) converting the same files, in one run.
#   bench/cf-plist-bench.sh [SECONDS]
# Builds what it needs, writes 1 MB binary and XML lists into
# build/bench/cf, runs cf-plist-bench.exe under Wine and plistutil natively,
# and prints a table for the README.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-3}
source "$root/scripts/wine-env.sh" # the edition that runs here (ORVEX_EDITION chooses)
"$root/scripts/build.sh" --edition "$ORVEX_EDITION" --target cf-plist-bench >/dev/null
out="$ORVEX_BUILD/bench/cf"
/usr/bin/python3 "$root/bench/make_bench_plists.py" "$out"

ours=$("$root/scripts/wine-run" "$ORVEX_BUILD/bin/cf-plist-bench.exe" --seconds "$seconds" \
    "$(winepath -w "$out/bench.bin")" "$(winepath -w "$out/bench.xml")")

# plistutil converts each file (reads it, writes the other format) as a
# process of its own: time many runs, and runs on a tiny file for the cost
# of starting the process.
now() { date +%s.%N; }
plistutil_rate() { # file, target format -> "raw MB/s, MB/s without start-up"
    local file=$1 format=$2 runs=0 start end tiny_start tiny_end size
    size=$(stat -c %s "$file")
    start=$(now)
    while :; do
        plistutil -i "$file" -o /dev/null -f "$format"
        runs=$((runs + 1))
        end=$(now)
        awk -v s="$start" -v e="$end" -v t="$seconds" 'BEGIN { exit !(e - s < t) }' || break
    done
    tiny_start=$(now)
    for _ in $(seq "$runs"); do plistutil -i "$out/tiny.xml" -o /dev/null -f "$format"; done
    tiny_end=$(now)
    awk -v n="$runs" -v b="$size" -v s="$start" -v e="$end" -v ts="$tiny_start" -v te="$tiny_end" \
        'BEGIN { t = e - s; u = t - (te - ts); printf "%.1f|%.1f", b * n / t / 1e6, (u > 0 ? b * n / u / 1e6 : 0) }'
}
bin_rate=$(plistutil_rate "$out/bench.bin" xml)
xml_rate=$(plistutil_rate "$out/bench.xml" bin)

ours_bin=$(echo "$ours" | awk '/bench.bin/ { print $(NF-1) }')
ours_xml=$(echo "$ours" | awk '/bench.xml/ { print $(NF-1) }')
size_bin=$(stat -c %s "$out/bench.bin")
size_xml=$(stat -c %s "$out/bench.xml")
echo "| list | size | CoreFoundation.dll stand-in, read (MB/s) | plistutil, convert (MB/s) | plistutil, convert less process start (MB/s) |"
echo "|---|---|---|---|---|"
echo "| binary | $size_bin bytes | $ours_bin | ${bin_rate%|*} | ${bin_rate#*|} |"
echo "| XML | $size_xml bytes | $ours_xml | ${xml_rate%|*} | ${xml_rate#*|} |"
