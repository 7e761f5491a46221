// The Monitoring tab on a virtual cluster of 8 servers whose sensors drift:
// a chosen server's sensor table, a chart that gains a point at every
// sampling round, a second page on the same history, a killed controller
// said as "connection error", a node-list event returning to the first
// server, and the first page after a restart, before any sensor pass.
// Prints the bytes sent to a page per sampling round and the time from a
// sample to the redrawn chart. The chart is watched for three rounds (ten
// with --screenshot, for a fuller picture): a round takes ten seconds.
//   node monitoring.test.mjs --trellium BIN --resources DIR --source DIR --build DIR [--screenshot FILE] [--log FILE]
import { check, LabCluster, labScript, option, until as untilEvery } from './common.mjs';

const until = (fn, what, timeout = 40000) => untilEvery(fn, what, timeout, 100);
const servers = 8;
const rounds = option('--screenshot') ? 10 : 3;  // the screenshot's chart has at least 10 points
const lab = new LabCluster('mon', servers, { drift: 2 });

const sensorNames = ['CPU Temp', 'Inlet Temp', 'FAN1', '12V', 'DIMM Temp 0', 'DIMM Temp 1', 'DIMM Temp 2',
  'DIMM Temp 3', 'Spare Temp'];
const serverSelect = (page) => page.locator('.trl-monitor select').nth(0);
const sensorSelect = (page) => page.locator('.trl-monitor select').nth(1);
const options = (select) => select.locator('option:not([hidden])').allTextContents();
const chosen = (select) => select.evaluate((s) => (s.selectedIndex >= 0 ? s.options[s.selectedIndex].text : ''));
const warning = (page) => page.evaluate(() => {
  const w = document.querySelector('.trl-monitor-warning');
  return w && w.offsetParent !== null ? w.textContent : '';
});
// The sensor table: [name, reading, state, state's class] per row.
const table = (page) => page.evaluate(() => [...document.querySelectorAll('.trl-sensors tbody tr')].map((tr) => {
  const cells = [...tr.querySelectorAll('td')];
  return [...cells.map((td) => td.textContent), cells[2] ? cells[2].className : ''];
}));
// The chart: its points, its title and the latest value with its time.
const chart = (page) => page.evaluate(() => {
  const svg = document.querySelector('.trl-chart svg');
  if (!svg) return null;
  const line = svg.querySelector('path');
  const latest = svg.querySelector('.w-chart-latest');
  const title = svg.querySelector('.w-chart-title');
  return { points: ((line && line.getAttribute('d')) || '').split(/[ML]/).length - 1,
    x: latest ? Number(latest.getAttribute('data-x')) : 0, value: latest ? latest.textContent : '',
    title: title ? title.textContent : '' };
});
// Records, in the page, each redraw of the chart's latest point.
const watchRedraws = (page) => page.evaluate(() => {
  window.redraws = [];
  const shown = document.querySelector('.trl-chart .w-chart-latest');
  let last = shown ? shown.getAttribute('data-x') : null;
  new MutationObserver(() => {
    const latest = document.querySelector('.trl-chart .w-chart-latest');
    const x = latest && latest.getAttribute('data-x');
    if (!x || x === last) return;
    last = x;
    window.redraws.push({ at: Date.now(), x: Number(x), value: latest.textContent });
  }).observe(document.body, { subtree: true, childList: true, attributes: true });
});
const openMonitoring = async (page) => {
  await page.getByRole('tab', { name: 'Monitoring' }).click();
  await serverSelect(page).waitFor({ state: 'visible' });
};

await labScript('monitoring', lab, 420, async (session) => {
  await lab.start();
  const context = await session.browser({ viewport: { width: 1000, height: 1100 } });
  // Every frame the pages receive, with its time and size.
  const frames = [];
  context.on('page', (p) => p.on('websocket', (ws) => ws.on('framereceived', (f) => {
    const text = f.payload.toString();
    frames.push({ page: p, at: Date.now(), bytes: Buffer.byteLength(f.payload), chart: text.includes('w-chart-svg') });
  })));
  const page = await session.open();
  const macToName = await lab.paired();
  const labNames = new Set(macToName.values());
  const serverOf = {};
  for (let k = 1; k <= servers; ++k) serverOf[macToName.get(lab.serverEnv(k).HOST_MAC)] = k;

  // Every paired server is offered, in table order; the tab starts on the first.
  await openMonitoring(page);
  await until(async () => (await options(serverSelect(page))).length === servers, 'eight servers offered');
  const names = await options(serverSelect(page));
  check(names.every((n) => serverOf[n]), 'every entry is a lab server: ' + names);
  check((await chosen(serverSelect(page))) === names[0], 'the first server chosen');

  // Choose the third server: its table lists the simulated controller's
  // sensors with their names and states; the sensor combo offers each name once.
  const target = names[2];
  await serverSelect(page).selectOption({ label: target });
  await until(async () => JSON.stringify((await table(page)).map((r) => r[0])) === JSON.stringify(sensorNames),
    `the sensors of ${target}`);
  const rows = await table(page);
  for (const r of rows.slice(0, 4)) {
    check(r[2] === 'nominal' && r[3].includes('trl-sensor-nominal'), 'nominal in word and class: ' + r);
    check(/^\d+(\.\d+)? (C|RPM|V)$/.test(r[1]), 'a reading with its unit: ' + r[1]);
  }
  for (const r of rows.slice(4)) check(r[1] === 'N/A' && r[2] === 'unavailable', 'no reading: ' + r);
  check(JSON.stringify(await options(sensorSelect(page))) === JSON.stringify(sensorNames), 'each sensor once');
  await sensorSelect(page).selectOption({ label: 'FAN1' });
  await sensorSelect(page).selectOption({ label: 'CPU Temp' });
  await until(async () => (await chart(page)).title === `CPU Temp on ${target}`, 'the chart titled');
  check((await warning(page)) === '', 'no warning');

  // The chart gains a point at every round (watched for `rounds` rounds);
  // the drift moves the reading.
  await watchRedraws(page);
  let second = null;
  const seen = [];
  await until(async () => {
    const c = await chart(page);
    if (c.x && (!seen.length || seen[seen.length - 1].x !== c.x)) seen.push(c);
    if (seen.length === 2 && !second) {
      // A second page joins the same history instead of resetting it.
      second = await session.open();
      await openMonitoring(second);
      check((await chosen(serverSelect(second))) === target, 'the second page shows ' + target);
      check((await chosen(sensorSelect(second))) === 'CPU Temp', 'and CPU Temp');
    }
    return second && seen.length > rounds && c.points > rounds;
  }, `${rounds} rounds`, 200000);
  for (let i = 1; i < seen.length; ++i)
    check(seen[i].points === Math.min(seen[i - 1].points + 1, 40), `one point per round: ${seen.map((s) => s.points)}`);
  check(new Set(seen.map((s) => s.value)).size >= 2, 'the drift changed the reading: ' + seen.map((s) => s.value));
  check(/^\d+ C$/.test(seen[seen.length - 1].value), 'the latest value with its unit: ' + seen[seen.length - 1].value);
  await until(async () => {
    const [a, b] = [await chart(page), await chart(second)];
    return a.x === b.x && a.points === b.points && a.value === b.value;
  }, 'the second page to draw the same history');
  const screenshot = option('--screenshot');
  if (screenshot) await page.screenshot({ path: screenshot, fullPage: true });

  // The figures, from the rounds page one saw.
  const redraws = await page.evaluate(() => window.redraws);
  const delays = redraws.map((r) => r.at - r.x * 1000).sort((a, b) => a - b);
  const own = frames.filter((f) => f.page === page && f.at > redraws[0].at + 1000 &&
    f.at <= redraws[redraws.length - 1].at + 1000);
  const perRound = own.reduce((sum, f) => sum + f.bytes, 0) / (redraws.length - 1);
  const chartPerRound = own.filter((f) => f.chart).reduce((sum, f) => sum + f.bytes, 0) / (redraws.length - 1);

  // A choice on the second page reaches the first at the next round.
  await sensorSelect(second).selectOption({ label: 'Inlet Temp' });
  await until(async () => (await chosen(sensorSelect(page))) === 'Inlet Temp', 'the first page to follow', 25000);
  await until(async () => (await chart(page)).title === `Inlet Temp on ${target}`, 'its chart to follow', 25000);

  // The target's controller dies: both pages say so and show no old readings.
  lab.killInLab(lab.serverFile(serverOf[target], 'ipmi_sim.pid'));
  for (const p of [page, second]) {
    await until(async () => (await warning(p)).startsWith('connection error'), 'the connection error', 40000);
    check((await table(p)).length === 0, 'no stale readings');
    check((await chosen(sensorSelect(p))) === 'Inlet Temp', 'the recorded sensor still shown');
  }

  // A node-list event (a rename on the Dashboard) returns both pages to the first server.
  const renamed = names[5];
  const newName = 'rack' + serverOf[renamed];
  await second.getByRole('tab', { name: 'Dashboard' }).click();
  const column = await second.locator('.trl-server-column .trl-server-name').allTextContents();
  await second.locator('.trl-server-column img').nth(column.indexOf(renamed)).click();
  await second.locator('.trl-detail input').first().fill(newName);
  await second.locator('.trl-detail').getByRole('button', { name: 'Save' }).click();
  await until(async () => (await options(serverSelect(page))).includes(newName), 'the rename to reach the tab');
  check((await chosen(serverSelect(page))) === names[0], 'back to the first server');
  await until(async () => (await table(page)).length === sensorNames.length && (await warning(page)) === '',
    'the first server\'s sensors');
  await until(async () => (await chart(page)).title === `CPU Temp on ${names[0]}`, 'the chart on the first server');
  session.checkPages();

  // After a restart the first page comes before any sensor pass: it says
  // so; the table and the sensors arrive with the first rounds.
  await second.close();
  await page.close();
  const status = await lab.stopTrellium();
  check(status === 20, 'SIGTERM gives the restart status: ' + status);
  await lab.startTrellium();
  const fresh = await session.open();
  await openMonitoring(fresh);
  check((await warning(fresh)) === 'Sensor data unavailable until server powercycled',
    'no sensor pass yet: ' + await warning(fresh));
  check((await table(fresh)).length === 0 && (await options(sensorSelect(fresh))).length === 0, 'nothing to show yet');
  await until(async () => (await table(fresh)).length === sensorNames.length && (await warning(fresh)) === '',
    'the sensors after the first pass', 40000);
  await until(async () => (await chosen(sensorSelect(fresh))) === 'CPU Temp', 'the sensor combo filled');

  console.log(`figure: bytes sent to a page per sampling round: ${Math.round(perRound)} ` +
    `(${Math.round(chartPerRound)} of them the chart; ${own.length} frames over ${redraws.length - 1} rounds)`);
  console.log(`figure: sample to redrawn chart: median ${delays[Math.floor(delays.length / 2)]} ms, ` +
    `min ${delays[0]} ms, max ${delays[delays.length - 1]} ms (${delays.length} rounds)`);
});
