// The Fabric geometry and Wiring tabs on a virtual cluster (lab/), in
// Chromium: the servers' geometries, a pick that rewrites fabric.json under
// the lab's TFTP root, the cabling list and its picture, and a second page
// that follows the pick after a registry event.
//   node fabric.test.mjs --trellium BIN --resources DIR --source DIR --build DIR
//        [--servers N] [--screenshots DIR]   (docs/: --servers 16 --screenshots docs)
import fs from 'node:fs';
import { check, LabCluster, labScript, option, readText as read, showTab, until as untilEvery } from './common.mjs';

const until = (fn, what, timeout = 60000) => untilEvery(fn, what, timeout, 200);
const servers = Number(option('--servers', '8'));
if (![8, 16].includes(servers)) {
  console.error('fabric: --servers is 8 or 16');
  process.exit(2);
}
const cluster = new LabCluster('fab', servers);
const sysroot = cluster.sysroot;
const fabricJson = `${sysroot}/var/lib/tftpboot/trellium/qv-config/fabric.json`;
const sizes = (text) => (/"x-size": (\d+),\s*"y-size": (\d+),\s*"z-size": (\d+)/.exec(text) || []).slice(1).join('x');

// The rows of the table shown in the current tab, as texts.
const tableRows = (page) => page.locator('.w-table tbody tr').evaluateAll(
  (rows) => rows.map((r) => [...r.querySelectorAll('td')].map((td) => td.textContent)));

await labScript('fabric', cluster, 400, async (session) => {
  await cluster.start();
  await session.browser({ viewport: { width: 1000, height: 760 } });
  const first = await session.open();
  const second = await session.open();

  // Every host paired with its controller: one record per server.
  const paired = () => read(`${sysroot}/etc/hosts`).split('\n')
    .filter((l) => /\tnode\d+-mc$/.test(l) && !l.startsWith('0.0.0.0')).length;
  await until(() => paired() === servers, `${servers} paired servers`, 150000);

  // The servers' geometries, best first, the first one selected and written.
  await showTab(first, 'Fabric geometry');
  const expected = {
    8: ['2x2x2', '2x4', '8', '7', '2x3', '6', '5', '2x2', '4', '3', '2'],
    16: ['2x4x2', '4x4', '2x8', '3x5', '2x7', '2x3x2', '3x4', '2x6', '2x5', '3x3', '2x2x2', '2x4', '8', '7', '2x3', '6',
      '5', '2x2', '4', '3', '2'],
  }[servers];
  const offered = async () => (await tableRows(first)).map((r) => r[0]);
  await until(async () => JSON.stringify(await offered()) === JSON.stringify(expected),
    'the geometries of the servers');
  check((await tableRows(first))[0][1] === `(${servers} nodes)`, 'the node count beside the geometry');
  check((await first.locator('tr.w-sel td').first().textContent()) === expected[0], 'the best geometry selected');
  await until(() => sizes(read(fabricJson)) === { 8: '2x2x2', 16: '2x4x2' }[servers], 'fabric.json for the first row');
  check(read(fabricJson).split('"desc": "node').length - 1 === servers, 'every server in fabric.json');
  if (option('--screenshots')) {
    await session.shoot(first, 'fabric', true);
    await showTab(first, 'Wiring');
    await first.locator('svg.trl-wiring').waitFor();
    await session.shoot(first, 'wiring', true);
    await showTab(first, 'Fabric geometry');
  }

  // Picking 2x4 rewrites the file; the Wiring tab shows its list and picture.
  await first.locator('.w-table td', { hasText: /^2x4$/ }).click();
  await until(() => sizes(read(fabricJson)) === '2x4x0', 'fabric.json rewritten for 2x4');
  await until(async () => (await first.locator('.trl-status').textContent())
    .includes('Geometry 2x4 with 1U servers is applied'), 'the status line');
  await showTab(first, 'Wiring');
  const list = await tableRows(first);
  check(list.length === 8, `8 cables in the list (${list.length})`);
  check(JSON.stringify(list[0]) === JSON.stringify(['1', 'XA01', 'XB02', '25cm', 'YA01', 'YB05', '35cm']),
    'the first cable ' + JSON.stringify(list[0]));
  const headers = await first.locator('.w-table th').allTextContents();
  check(headers.join(' ') === 'Cable From To Length From To Length', 'headers ' + headers.join(' '));
  const picture = await first.locator('svg.trl-wiring').evaluate((svg) => ({
    cables: svg.querySelectorAll('g.c').length,
    wellFormed: !new DOMParser().parseFromString(svg.outerHTML, 'image/svg+xml').querySelector('parsererror'),
    title: svg.querySelector('g.c title').textContent,
    width: svg.getBoundingClientRect().width,
  }));
  check(picture.cables === 16 && picture.wellFormed, 'the picture draws 16 cables: ' + JSON.stringify(picture));
  check(picture.title.startsWith('Cable 1, X ring: XA01 to XB02'), 'a cable names its ports: ' + picture.title);
  check(picture.width > 200 && picture.width <= 600, 'the picture fits the tab: ' + picture.width);

  // The second page follows the pick once a registry event reaches it: a
  // new server's lease (no controller answers for it, so it stays a host).
  // It lies in dhcpd's range and never ends, so dhcpd keeps it when the
  // merge restarts it and it rewrites the file.
  await showTab(second, 'Wiring');
  fs.appendFileSync(`${sysroot}/var/lib/dhcp/dhcpd.leases`, 'lease 10.0.0.249 {\n  starts 0 2026/12/06 10:00:00;\n' +
    '  ends never;\n  binding state active;\n  hardware ethernet 00:25:90:7f:00:00;\n}\n');
  await until(async () => (await tableRows(second))[0]?.join(' ') === '1 XA01 XB02 25cm YA01 YB05 35cm',
    'the 2x4 cables on the second page');
  check((await tableRows(second)).length === 8, 'the second page lists 8 cables');
  await showTab(second, 'Fabric geometry');
  const bestOfMore = { 8: '3x3 (9 nodes)', 16: '2x4x2 (16 nodes)' }[servers];
  await until(async () => (await tableRows(second))[0]?.join(' ') === bestOfMore, 'the geometries of one more server');
  check((await second.locator('tr.w-sel td').first().textContent()) === '2x4', 'the pick selected on the second page');
  const outside = servers + 1 - 8;
  const status = await second.locator('.trl-status').textContent();
  check(status.includes(`${outside} ${outside === 1 ? 'server stays' : 'servers stay'} outside the fabric`),
    'the status line counts the servers left out: ' + status);
  check(sizes(read(fabricJson)) === '2x4x0', 'the event kept the pick in fabric.json');
});
