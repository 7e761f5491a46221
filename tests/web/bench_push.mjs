// Benchmark (not a test): time from a back-end push to the change seen in
// the page, over two open pages. Prints median and 95th percentile.
//   node tests/web/bench_push.mjs --demo build/Release/tests/web/web_demo [--rounds 50]
import { run } from './browser/harness.mjs';

const i = process.argv.indexOf('--rounds');
const rounds = i >= 0 ? Number(process.argv[i + 1]) : 50;

await run('push latency', async ({ demo, open }) => {
  const pages = [await open(), await open()];
  for (const page of pages) {
    await page.evaluate(() => {
      window.seen = {};
      new MutationObserver(() => {
        const t = document.querySelector('.pushed').textContent;
        if (!(t in window.seen)) window.seen[t] = Date.now();
      }).observe(document.body, { subtree: true, childList: true, characterData: true });
    });
  }
  const latencies = [];
  for (let r = 0; r < rounds; r++) {
    const text = 'round ' + r;
    const t0 = Date.now();
    demo.command('push ' + text);
    for (const page of pages) {
      const seen = await page.waitForFunction((t) => window.seen['Push: ' + t], text);
      latencies.push((await seen.jsonValue()) - t0);
    }
  }
  latencies.sort((a, b) => a - b);
  const at = (q) => latencies[Math.min(latencies.length - 1, Math.floor(q * latencies.length))];
  console.log(`push to change seen in the page (${latencies.length} samples, 2 pages): ` +
              `median ${at(0.5)} ms, p95 ${at(0.95)} ms, max ${latencies[latencies.length - 1]} ms`);
});
