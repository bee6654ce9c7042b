// The reference side of the archive benchmark: app-info-parser reading the
// same archive, cgbi-to-png normalising the same icon (read and write of the
// files included, as on our side). Prints "name milliseconds" lines.
//   node ipa_bench_node.js ARCHIVE ICON OUTDIR RUNS
'use strict';
const fs = require('fs');
const path = require('path');
const AppInfoParser = require('app-info-parser');
const cgbiToPng = require('cgbi-to-png');

const [archive, icon, outdir, runsText] = process.argv.slice(2);
const runs = Number(runsText || 5);

function mean(values) {
  return values.reduce((a, b) => a + b, 0) / values.length;
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

async function main() {
  const parses = [];
  const parseCpu = [];
  let info = null;
  for (let i = 0; i < runs; i++) {
    const cpu = process.cpuUsage();
    const start = process.hrtime.bigint();
    info = await new AppInfoParser(archive).parse();
    parses.push(Number(process.hrtime.bigint() - start) / 1e6);
    const used = process.cpuUsage(cpu);
    parseCpu.push((used.user + used.system) / 1000);
  }
  if (!info || info.CFBundleIdentifier !== 'com.example.bench' || !info.icon) {
    throw new Error('app-info-parser did not read the archive');
  }
  const converts = [];
  const convertCpu = [];
  for (let i = 0; i < runs * 4; i++) {
    const cpu = process.cpuUsage();
    const start = process.hrtime.bigint();
    fs.writeFileSync(path.join(outdir, 'node-icon.png'), cgbiToPng.revert(fs.readFileSync(icon)));
    converts.push(Number(process.hrtime.bigint() - start) / 1e6);
    const used = process.cpuUsage(cpu);
    convertCpu.push((used.user + used.system) / 1000);
  }
  console.log(`app-info-parser-first ${parses[0].toFixed(1)}`);
  console.log(`app-info-parser-median ${median(parses).toFixed(1)}`);
  console.log(`cgbi-to-png-median ${median(converts).toFixed(1)}`);
  console.log(`app-info-parser-cpu ${mean(parseCpu).toFixed(1)}`);
  console.log(`cgbi-to-png-cpu ${mean(convertCpu).toFixed(1)}`);
  console.log(`node-peak-rss-mb ${(process.resourceUsage().maxRSS / 1024).toFixed(1)}`);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
