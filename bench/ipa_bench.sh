#!/usr/bin/env bash
# The archive reader's benchmark: builds a 100 MB .ipa with 5,000 entries and
# a 512 x 512 CgBI icon, then times GetAppInfoFromIPA (first call and cached
# call) and the icon normaliser beside the npm packages app-info-parser and
# cgbi-to-png (installed under build/bench/node, run with the machine's
# Node.js) on the same files, and prints one table.
#   bench/ipa_bench.sh [RUNS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-5}
source "$root/scripts/wine-env.sh" # the edition that runs here (ORVEX_EDITION chooses)
build=$ORVEX_BUILD
out=$build/bench/ipa
node_dir=$build/bench/node
mkdir -p "$out" "$node_dir"

"$root/scripts/build.sh" --edition "$ORVEX_EDITION" --target orvex-ipa-bench >/dev/null
[ -f "$out/bench.ipa" ] || /usr/bin/python3 "$root/bench/make_bench_ipa.py" "$out"
if [ ! -d "$node_dir/node_modules/app-info-parser" ] || [ ! -d "$node_dir/node_modules/cgbi-to-png" ]; then
    npm install --prefix "$node_dir" --no-audit --no-fund --silent app-info-parser@1.1.6 cgbi-to-png@1.0.7
fi
"$root/scripts/prefix-setup.sh" >/dev/null

NODE_PATH="$node_dir/node_modules" node "$root/bench/ipa_bench_node.js" "$out/bench.ipa" "$out/icon.png" "$out" "$runs" \
    > "$out/node.txt"
# Wine maps the Linux root as drive Z:.
winpath() { local p; p=$(realpath "$1"); echo "Z:${p//\//\\}"; }
"$root/scripts/wine-run" "$build/bin/orvex-ipa-bench.exe" "$(winpath "$out/bench.ipa")" "$(winpath "$out/icon.png")" \
    "$runs" | tr -d '\r' > "$out/ours.txt"

value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
first=$(value first-call-median "$out/ours.txt")
cached=$(value cached-call-median "$out/ours.txt")
norm=$(value normalise-median "$out/ours.txt")
parser=$(value app-info-parser-median "$out/node.txt")
cgbi=$(value cgbi-to-png-median "$out/node.txt")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
row() { printf '%-44s %12s %12s %8s\n' "$1" "$2" "$3" "$(ratio "$3" "$2")x"; }

echo "archive: $(value archive-mb "$out/ours.txt") MiB, 5000 entries; icon: 512 x 512 CgBI; median of $runs runs;" \
    "load average $(cut -d' ' -f1 /proc/loadavg)"
printf '%-44s %12s %12s %8s\n' "wall-clock time (ms)" "ours" "reference" "ratio"
row "read archive, first call vs app-info-parser" "$first" "$parser"
row "read archive, cached call vs our first call" "$cached" "$first"
row "normalise icon vs cgbi-to-png" "$norm" "$cgbi"
printf '%-44s %12s %12s %8s\n' "processor time, mean (ms)" "ours" "reference" "ratio"
row "read archive, first call vs app-info-parser" "$(value first-call-cpu "$out/ours.txt")" \
    "$(value app-info-parser-cpu "$out/node.txt")"
row "read archive, cached call vs our first call" "$(value cached-call-cpu "$out/ours.txt")" \
    "$(value first-call-cpu "$out/ours.txt")"
row "normalise icon vs cgbi-to-png" "$(value normalise-cpu "$out/ours.txt")" "$(value cgbi-to-png-cpu "$out/node.txt")"
echo "our peak memory growth during the first calls: $(value peak-commit-growth-mb "$out/ours.txt") MiB" \
    "(app-info-parser process peak RSS: $(value node-peak-rss-mb "$out/node.txt") MiB)"
