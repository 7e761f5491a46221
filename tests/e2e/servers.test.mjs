// The Servers tab on a virtual cluster (lab/), in Chromium, with two pages
// open: a rename typed into a cell reaches the hosts file and dhcpd.conf,
// the real dhcpd restarts and the host renews under its new name, and the
// other page follows without a reload; partitions chosen in their cells
// make the empty-partition warning come and go; a double click on a power
// cell, answered Yes, takes the lab's server down; "Delete node" without a
// selection and "Clear" answered No forget nothing; a MAC address dragged
// onto another server's cell moves there.
//   node servers.test.mjs --trellium BIN --resources DIR --source DIR --build DIR [--screenshots DIR]
import { answer, check, grid, LabCluster, labScript, readText as read, showTab, until as untilEvery } from './common.mjs';

const until = (fn, what, timeout = 60000) => untilEvery(fn, what, timeout, 200);
const servers = 8;
const cluster = new LabCluster('srv', servers);
const { state, sysroot } = cluster;
const serverEnv = (k) => cluster.serverEnv(k);
const hostsAddress = (name) => (read(`${sysroot}/etc/hosts`).split('\n').find((l) => l.endsWith(`\t${name}`)) || '').split('\t')[0];
const dhcpStarts = () => read(`${sysroot}/sbin/initctl.calls`).split('\n').filter((l) => l === 'start isc-dhcp-server').length;

const rowOf = async (page, name) => (await grid(page)).find((r) => r.Hostname === name);
const cell = async (page, name, header) => {
  const row = await until(() => rowOf(page, name), `${name} in the grid`);
  return page.locator(`td[data-arg="${row.at[header]}"]`);
};
const shows = async (page, name, header, text) => (await rowOf(page, name))?.[header] === text;
const warningLine = (page) => page.locator('.trl-warning-line').textContent();

await labScript('servers', cluster, 400, async (session) => {
  await cluster.start();
  await session.browser({ viewport: { width: 1000, height: 760 } });
  const first = await session.open();
  const second = await session.open();
  await showTab(first, 'Servers');
  await showTab(second, 'Servers');

  // Every server paired, named and powered up, in both pages.
  await until(async () => {
    const rows = await grid(second);
    return rows.length === servers && rows.every((r) => /^node\d+$/.test(r.Hostname) && r['Power status'] === 'up' &&
      r['MC MAC address'] !== 'unset' && r['eth0 MAC address'] !== 'unset');
  }, 'eight paired servers powered up', 150000);
  const names = cluster.dhcpNames();  // host MAC -> name
  const serverNamed = (name) => [...Array(servers).keys()].map((i) => i + 1)
    .find((k) => names.get(serverEnv(k).HOST_MAC) === name);
  check((await warningLine(first)) === '', 'no warning with eight good servers');

  // A rename typed into the cell: files, the DHCP server, the host's lease, the other page.
  const renamed = serverNamed('node3');
  const starts = dhcpStarts();
  await (await cell(first, 'node3', 'Hostname')).dblclick();
  const editor = first.locator('td input.w-cell-editor');
  await editor.fill('web_03');
  await editor.press('Enter');
  await until(() => hostsAddress('web_03') !== '' && hostsAddress('web_03-mc') !== '', 'web_03 in the hosts file');
  await until(() => read(`${sysroot}/etc/dhcp/dhcpd.conf`)
    .includes(`host web_03\t{ hardware ethernet ${serverEnv(renamed).HOST_MAC};`), 'web_03 in dhcpd.conf');
  await until(() => dhcpStarts() > starts, 'dhcpd started again');
  await until(() => shows(second, 'web_03', 'MC MAC address', serverEnv(renamed).BMC_MAC), 'the rename in the other page');
  cluster.script('cluster/renew.sh', cluster.prefix, String(renamed), 'host', '30');
  check(read(`${state}/servers/${renamed}/host.address`).trim() === hostsAddress('web_03'),
    'the host renewed at the address dhcpd resolved from its new name');

  // Power by double click, after a Yes.
  const powered = serverNamed('node2');
  await (await cell(first, 'node2', 'Power status')).dblclick();
  check((await answer(first, 'Yes')) === 'Are you sure you want to power down?', 'the power question');
  await until(() => read(`${state}/servers/${powered}/host.state`).trim() === 'off', 'the lab server to go down', 30000);
  await until(() => shows(second, 'node2', 'Power status', 'down'), 'down in the other page', 30000);

  // Partitions: a gap warns, closing it clears the warning.
  const choose = async (name, partition) => {
    await (await cell(first, name, 'Partition')).locator('select').selectOption({ label: String(partition) });
    await until(() => shows(second, name, 'Partition', String(partition)), `${name} in partition ${partition}`);
  };
  await choose('node8', 1);
  await choose('node7', 2);
  check((await warningLine(first)) === '', 'partitions 0, 1 and 2 are all used');
  await choose('node8', 0);
  await until(async () => (await warningLine(first)).startsWith('Error: Partition 1 is empty'), 'the empty-partition warning');
  check((await warningLine(second)).startsWith('Error: Partition 1 is empty'), 'the warning in the other page');
  // The picture: a renamed server, one powered down, partitions with a gap.
  await session.shoot(first, 'servers', true);
  await choose('node7', 0);
  await until(async () => (await warningLine(first)) === '', 'the warning to clear');

  // Nothing is forgotten without a selection or a Yes.
  await second.getByRole('button', { name: 'Delete node' }).click();
  check((await answer(second, 'OK')) === 'Please select a server', 'Delete node without a selection');
  await first.getByRole('button', { name: 'Clear' }).click();
  check((await answer(first, 'No')) ===
    `Clear the node table? All ${servers} servers will be forgotten and rediscovered from the DHCP leases.`, 'the Clear question');
  await new Promise((r) => setTimeout(r, 1000));
  check((await grid(first)).length === servers && hostsAddress('node1') !== '', 'No kept the table');

  // A MAC address dragged onto another server's cell. Both are of the brand
  // paired by the controller's report, so the next lease scan does not pair
  // the target's own host MAC back by the MAC distance.
  const supermicro = (await grid(first)).filter((r) => r['Server type'] === 'Supermicro' && r.Hostname !== 'node2');
  check(supermicro.length >= 2, 'two Supermicro servers left to drag between');
  const [from, to] = supermicro.slice(-2).map((r) => r.Hostname);
  const moved = (await rowOf(first, from))['eth0 MAC address'];
  await (await cell(first, from, 'eth0 MAC address')).dragTo(await cell(first, to, 'eth0 MAC address'));
  await until(() => shows(second, to, 'eth0 MAC address', moved), `${to} with ${from}'s MAC`);
  await until(() => read(`${sysroot}/etc/dhcp/dhcpd.conf`).includes(`host ${to}\t{ hardware ethernet ${moved};`),
    'the move in dhcpd.conf');
});
