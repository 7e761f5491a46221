// Prints what the application shell costs in a real browser: the time from
// a back-end event (a lease appended to the leases file, so the registry's
// inotify descriptor fires) to the change seen in an open page, and the
// memory of one open session with 50 sessions open.
//   node tests/bench/shell_bench.mjs --trellium BIN --resources DIR --source DIR
import fs from 'node:fs';
import path from 'node:path';
import { rootScript } from '../e2e/common.mjs';

await rootScript('shell_bench', 300, async (session) => {
  const trellium = session.start(['--http-port', '0']);
  const rss = () => Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${trellium.child.pid}/status`, 'utf8'))[1]);
  await session.browser();
  const url = `http://127.0.0.1:${await trellium.port()}/`;
  const open = () => session.open(url);
  const page = await open();
  const leases = path.join(session.root, 'var/lib/dhcp/dhcpd.leases');
  const times = [];
  for (let i = 1; i <= 10; ++i) {
    const text = String(i);  // the Dashboard's count of servers
    const start = process.hrtime.bigint();
    fs.appendFileSync(leases, `lease 10.0.0.${100 + i} {\n  hardware ethernet 00:25:90:00:00:${(i + 16).toString(16)};\n}\n`);
    await page.waitForFunction((t) => document.querySelector('.trl-total')?.textContent === t, text, { polling: 'raf' });
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
  }
  times.sort((a, b) => a - b);
  const before = rss();
  for (let i = 0; i < 49; ++i) await open();
  await new Promise((r) => setTimeout(r, 1000));
  const after = rss();
  console.log(`lease appended to change seen in the page: median ${times[5].toFixed(1)} ms, max ${times[9].toFixed(1)} ms`);
  console.log('  (includes the rescan, the hosts and DHCP rewrite and the DHCP restart stand-in)');
  console.log(`memory per open session (1 -> 50 sessions): ${((after - before) / 49).toFixed(0)} kB`);
});
