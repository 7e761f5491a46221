// The Dashboard on a virtual cluster of 8 servers: counts and pictures that
// match the lab, group power off with its dialog, a cancelled group power
// on, a per-server power on seen by a second page, a rename saved from the
// detail panel, and a killed controller. Prints the time from a power change
// in the lab to the changed picture in the page.
//   node dashboard.test.mjs --trellium BIN --resources DIR --source DIR --build DIR [--screenshot FILE] [--log FILE]
import { check, LabCluster, labScript, option, until as untilEvery } from './common.mjs';

const until = (fn, what, timeout = 60000) => untilEvery(fn, what, timeout, 100);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const servers = 8;
const lab = new LabCluster('dash', servers);

// The server column as the page shows it: one {name, picture, state} per line.
const column = (page) => page.evaluate(() => {
  const col = document.querySelector('.trl-server-column');
  if (!col) return [];
  const names = [...col.querySelectorAll('.trl-server-name')].map((e) => e.textContent);
  const pictures = [...col.querySelectorAll('img')].map((e) => e.getAttribute('src'));
  const states = [...col.querySelectorAll('.trl-state')].map((e) => e.textContent);
  return names.map((name, i) => ({ name, picture: pictures[i], state: states[i] }));
});
const rowOf = async (page, name) => (await column(page)).find((r) => r.name === name);
const picture = { on: '/images/serveron', off: '/images/serveroff', error: '/images/servererror' };
const counts = async (page) => [await page.locator('.trl-total').textContent(), await page.locator('.trl-online').textContent()];
const dialogText = (page) => page.evaluate(() => {
  const d = document.querySelector('.w-progressdialog');
  return d && d.style.display !== 'none' ? d.innerText : '';
});
const detail = (page) => page.locator('.trl-detail');
const clickServer = async (page, name) => {
  const index = (await column(page)).findIndex((r) => r.name === name);
  await page.locator('.trl-server-column img').nth(index).click();
};

// After a group command: a box names the servers the registry logged as
// failed since `from` (a simulated controller that answers late loses its
// session, though the chassis did change), and no box appears when none did.
async function failuresShown(page, action, from) {
  const failed = (lab.log.slice(from).match(/\] (IPMI Connection Error|Exception): /g) || []).length;
  const box = page.locator('.w-messagebox');
  if (failed === 0) {
    await sleep(500);
    check(!(await box.isVisible()), 'no failure box when none failed');
    return;
  }
  await box.waitFor({ state: 'visible' });
  const text = await box.innerText();
  const named = [...text.matchAll(new RegExp(`${action} failed for ([^:]+):`, 'g'))]
    .flatMap((m) => m[1].split(', '));
  check(named.length === failed, `the box names the ${failed} servers that failed: ${text}`);
  console.log(`note: ${action}: ${failed} controller(s) answered late; the box said: ${text.replace(/\n/g, ' / ')}`);
  await box.getByRole('button', { name: 'OK' }).click();
}

await labScript('dashboard', lab, 420, async (session) => {
  await lab.start();
  await session.browser({ viewport: { width: 1000, height: 900 } });
  const page = await session.open();

  // Every server paired and named; k -> name from the lab's MACs.
  const macToName = await lab.paired();
  const nameOf = {}, serverOf = {};
  for (let k = 1; k <= servers; ++k) {
    nameOf[k] = macToName.get(lab.serverEnv(k).HOST_MAC);
    serverOf[nameOf[k]] = k;
  }
  const power = (name) => lab.serverFile(serverOf[name], 'bmc/power') === '1';

  // The counts and the pictures match the lab (every chassis starts on).
  await until(async () => (await column(page)).length === servers &&
    (await column(page)).every((r) => r.picture === picture.on + '.png' && r.state === 'up'), 'eight servers shown up');
  check(JSON.stringify(await counts(page)) === JSON.stringify(['8', '8']), 'counts ' + await counts(page));
  const order = (await column(page)).map((r) => r.name);  // table order
  check(order.every((n) => serverOf[n]), 'every line names a lab server: ' + order);

  // Group power off: the dialog counts up, every chassis and host goes off,
  // and each picture follows; the time from each change in the lab to its
  // picture is the figure the script prints.
  const changed = {};  // name -> { lab: ms, page: ms }
  const watch = async (state) => {
    const target = (state ? picture.on : picture.off);
    const start = Date.now();
    while (Object.keys(changed).filter((n) => changed[n].page).length < order.length && Date.now() - start < 60000) {
      const rows = await column(page);
      const now = Date.now();
      for (const n of order) {
        changed[n] = changed[n] || {};
        if (!changed[n].lab && power(n) === state) changed[n].lab = now;
        const row = rows.find((r) => r.name === n);
        if (changed[n].lab && !changed[n].page && row && row.picture.startsWith(target)) changed[n].page = now;
      }
      await sleep(50);
    }
  };
  const logged = lab.log.length;
  await page.locator('.trl-power-control button', { hasText: 'Power off' }).click();
  const seen = new Set();
  let titled = false;
  const watching = watch(false);
  await until(async () => {
    const m = /Powering down node (\d+)/.exec(await dialogText(page));
    if (m) seen.add(Number(m[1]));
    if (m && !titled) titled = (await dialogText(page)).includes('Power control');
    return seen.has(servers);
  }, 'the dialog to count to 8');
  check(seen.size >= servers - 1, `the dialog counted up: ${[...seen]}`);
  check(titled, 'the dialog is titled Power control');
  await watching;
  for (const n of order) {
    check(!power(n), `${n} is off in the lab`);
    check(changed[n].page, `${n}'s picture turned off`);
  }
  for (let k = 1; k <= servers; ++k)
    await until(() => lab.serverFile(k, 'host.state') === 'off', `host ${k} to go down`, 20000);
  await until(async () => (await counts(page))[1] === '0', 'no server online');
  check((await dialogText(page)) === '', 'the dialog closed');
  await failuresShown(page, 'Power off', logged);
  const delays = order.map((n) => changed[n].page - changed[n].lab);

  // Cancel after the second server: the rest stay off.
  const cancelLogged = lab.log.length;
  await page.locator('.trl-power-control button', { hasText: 'Power on' }).click();
  await until(async () => (await dialogText(page)).includes('Powering up node 3'), 'the third step', 20000);
  await page.locator('.w-progressdialog button', { hasText: 'Cancel' }).click();
  await until(async () => (await dialogText(page)) === '', 'the dialog to close');
  await failuresShown(page, 'Power on', cancelLogged);
  await until(() => power(order[0]) && power(order[1]), 'the first two servers on', 20000);
  await sleep(3000);
  for (const n of order.slice(2)) check(!power(n), `${n} untouched by the cancelled command`);
  await until(async () => (await rowOf(page, order[1])).picture.startsWith(picture.on), 'the second picture on');

  // A per-server power on in the detail panel; a second page sees it.
  const second = await session.open();
  await second.evaluate(() => { window.notReloaded = true; });
  const target = order[4];
  await clickServer(page, target);
  await detail(page).waitFor({ state: 'visible' });
  await until(async () => (await detail(page).locator('.trl-detail-status').textContent()) === 'down', 'the panel shows down');
  const powerOn = detail(page).getByRole('button', { name: 'Power on' });
  check(await powerOn.isEnabled(), 'Power on offered for a server that is off');
  check(!(await detail(page).getByRole('button', { name: 'Power off' }).isEnabled()), 'Power off not offered');
  const sentFrom = lab.log.length;
  await powerOn.click();
  const box = page.locator('.w-messagebox');
  await box.waitFor({ state: 'visible' });
  const said = await box.innerText();
  if (!said.includes('Power command sent')) {
    // The lab's late answer (see failuresShown): the box says what IPMI said.
    check(/ipmi_cmd_chassis_control failed/.test(said) && /\] Exception: /.test(lab.log.slice(sentFrom)),
      'the box reports the failure the log shows: ' + said);
    console.log(`note: per-server power on: the controller answered late; the box said: ${said.replace(/\n/g, ' / ')}`);
  }
  await box.getByRole('button', { name: 'OK' }).click();
  await until(() => power(target), `${target} on in the lab`, 20000);
  const inLab = Date.now();
  await until(async () => (await rowOf(second, target)).picture === picture.on + '.png', 'the second page to follow');
  delays.push(Date.now() - inLab);
  check(await second.evaluate(() => window.notReloaded === true), 'the second page was not reloaded');
  await until(async () => (await detail(page).locator('.trl-detail-status').textContent()) === 'up', 'the open panel follows');
  check(!(await powerOn.isEnabled()), 'Power on no longer offered');

  // Renaming in the panel rewrites the hosts file and dhcpd.conf, and the
  // panel is open again on the renamed server after the rebuild.
  const renamed = 'rack' + serverOf[target];
  const hostMac = lab.serverEnv(serverOf[target]).HOST_MAC;
  await detail(page).locator('input').first().fill(renamed);
  await detail(page).getByRole('button', { name: 'Save' }).click();
  await until(() => lab.hostsLines().some((l) => l.endsWith('\t' + renamed)), 'the hosts file to name ' + renamed);
  await until(() => lab.hostsLines().some((l) => l.endsWith('\t' + renamed + '-mc')), 'the controller renamed');
  await until(() => lab.dhcpNames().get(hostMac) === renamed, 'dhcpd.conf to name ' + renamed);
  await until(async () => (await rowOf(page, renamed)) && (await rowOf(second, renamed)), 'both pages to list ' + renamed);
  await until(async () => (await detail(page).isVisible()) &&
    (await detail(page).locator('input').first().inputValue()) === renamed, 'the panel open again on ' + renamed);
  check((await rowOf(page, renamed)).picture === picture.on + '_selected.png', 'its picture selected');
  const screenshot = option('--screenshot');
  if (screenshot) await page.screenshot({ path: screenshot, fullPage: true });

  // A controller killed in the lab: the error picture and the words.
  const victim = order[6];
  lab.killInLab(lab.serverFile(serverOf[victim], 'ipmi_sim.pid'));
  await until(async () => {
    const row = await rowOf(second, victim);
    return row.picture === picture.error + '.png' && row.state === 'connection error';
  }, 'the error picture and "connection error"');
  await clickServer(second, victim);
  await until(async () => (await detail(second).locator('.trl-detail-status').textContent()) === 'connection error',
    'the panel to say connection error');
  check(!(await detail(second).getByRole('button', { name: 'Power on' }).isEnabled()), 'no power button offered');

  delays.sort((a, b) => a - b);
  const median = delays[Math.floor(delays.length / 2)];
  console.log(`figure: power change in the lab to the changed picture in the page: median ${median} ms, ` +
    `min ${delays[0]} ms, max ${delays[delays.length - 1]} ms (${delays.length} changes)`);
});
