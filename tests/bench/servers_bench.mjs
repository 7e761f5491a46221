// Prints what one cell edit in the Servers tab costs with 64 servers, in
// Chromium: the time from pressing Enter in a host name cell of one page to
// the new name in the other page (the record written, the hosts file and
// the DHCP configuration rewritten, the DHCP restart stand-in run, the
// registry event, both pages updated), and the bytes each page receives for
// it, beside the size of the whole grid. The servers come from 64 leases in
// a scratch system root; their controllers are not simulated. Runs inside a
// network namespace of its own (loopback only), as root, so the registry's
// probes of the leased addresses never leave the machine.
//   node tests/bench/servers_bench.mjs --trellium BIN --resources DIR --source DIR [--runs N]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { option, rootScript, until } from '../e2e/common.mjs';

if (!process.env.TRL_BENCH_NETNS) {
  const inside = spawnSync('unshare', ['--net', '--', 'bash', '-c', 'ip link set lo up && exec "$0" "$@"',
    process.execPath, fileURLToPath(import.meta.url), ...process.argv.slice(2)],
  { stdio: 'inherit', env: { ...process.env, TRL_BENCH_NETNS: '1' } });
  process.exit(inside.status ?? 1);
}

const servers = 64;
const runs = Number(option('--runs', '11'));
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
await rootScript('servers_bench', 600, async (session) => {
  const hex = (n) => n.toString(16).padStart(2, '0');
  let leases = '';
  for (let k = 1; k <= servers; ++k)
    leases += `lease 10.0.0.${10 + k} {\n  binding state active;\n` +
      `  hardware ethernet 00:25:90:00:${hex(k)}:00;\n}\n`;
  fs.writeFileSync(path.join(session.root, 'var/lib/dhcp/dhcpd.leases'), leases);
  const trellium = session.start(['--http-port', '0']);
  const context = await session.browser({ viewport: { width: 1000, height: 900 } });
  const received = new Map();  // page -> [[time, bytes]] of the WebSocket frames it got
  context.on('page', (page) => {
    received.set(page, []);
    page.on('websocket', (ws) => ws.on('framereceived', (f) =>
      received.get(page).push([performance.now(), Buffer.byteLength(f.payload)])));
  });
  const url = `http://127.0.0.1:${await trellium.port()}/`;
  const [first, second] = [await session.open(url), await session.open(url)];
  for (const page of [first, second]) {
    await page.getByRole('tab', { name: 'Servers', exact: true }).click();
    await until(async () => (await page.locator('.w-table tbody tr').count()) === servers, '64 rows', 60000);
  }
  // The registry's first probes settle the power cells; then the pages are quiet.
  await until(() => trellium.log.includes('power status change detected'), 'the first power round', 60000);
  await new Promise((r) => setTimeout(r, 1500));
  const grid = await second.locator('.w-table').evaluate((t) => t.outerHTML.length);

  const times = [], bytes = { first: [], second: [] };
  for (let i = 0; i < runs; ++i) {
    // node20 <-> node20a: the same place in the sorted table every time.
    const from = i % 2 ? 'node20a' : 'node20';
    const to = i % 2 ? 'node20' : 'node20a';
    await first.locator('.w-table td', { hasText: new RegExp(`^${from}$`) }).dblclick();
    const editor = first.locator('td input.w-cell-editor');
    await editor.fill(to);
    const start = performance.now();
    await editor.press('Enter');
    await second.waitForFunction((name) => [...document.querySelectorAll('.w-table td')].some((td) => td.textContent === name),
      to, { polling: 'raf' });
    times.push(performance.now() - start);
    await new Promise((r) => setTimeout(r, 700));  // later frames of the same edit
    for (const [page, key] of [[first, 'first'], [second, 'second']])
      bytes[key].push(received.get(page).filter(([t]) => t >= start).reduce((sum, [, n]) => sum + n, 0));
  }
  console.log(`Servers tab, ${servers} servers, one host name edit (median of ${runs}):`);
  console.log(`  Enter in one page to the new name in the other: median ${median(times).toFixed(1)} ms, ` +
    `max ${Math.max(...times).toFixed(1)} ms`);
  console.log('  (includes the record, the hosts and DHCP files, the DHCP restart stand-in and the registry event)');
  console.log(`  sent to the editing page: ${median(bytes.first)} bytes; to the other page: ${median(bytes.second)} bytes`);
  console.log(`  the whole grid, for comparison: ${grid} bytes`);
});
