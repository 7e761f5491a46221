// Trellium on a virtual cluster (lab/): a new server's road from its first
// lease to a paired record with a fixed address, a power command seen by the
// polling thread, and a controller that dies and comes back.
//   node cluster.test.mjs --trellium BIN --resources DIR --source DIR --build DIR
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { check, endLabScript, labTrellium, launchChromium, openPage, until as untilEvery } from './common.mjs';

// The lab moves in tenths of seconds and minutes: poll less often, wait longer.
const until = (fn, what, timeout = 60000) => untilEvery(fn, what, timeout, 200);
const read = (file) => { try { return fs.readFileSync(file, 'utf8'); } catch { return ''; } };
const servers = 8;
const cluster = labTrellium('e2e');
const { prefix, state, sysroot, lab, inMgmt, serverEnv } = cluster;

const guard = setTimeout(() => { console.error('cluster: timed out after 400 s'); cleanup(1); }, 400000);
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'trl-e2e-'));
let context = null;

const cleanup = (code) => endLabScript('cluster', code, { cluster, context, scratch, guard, exitStatus: 20 });

try {
  await cluster.start(servers);
  // A browser session: the polling thread works only while someone watches.
  context = await launchChromium(path.join(scratch, 'profile'));
  const page = await openPage(context, cluster.url);

  // The road of a new server: every host paired with its controller, named,
  // written to the hosts file and dhcpd.conf, and dhcpd restarted with them.
  const hostsLines = () => read(`${sysroot}/etc/hosts`).split('\n').filter((l) => /\tnode\d+(-mc)?$/.test(l));
  await until(() => hostsLines().length === 2 * servers && !hostsLines().some((l) => l.startsWith('0.0.0.0')),
    'eight paired servers in the hosts file', 120000);
  await until(async () => (await page.locator('.trl-summary').first().textContent()) === `${servers} servers in the node table`,
    'the page to show eight servers');
  const names = new Map();  // MAC -> name, from dhcpd.conf
  for (const m of read(`${sysroot}/etc/dhcp/dhcpd.conf`).matchAll(/host (\S+)\t\{ hardware ethernet ([0-9a-f:]+); fixed-address \1; \}/g))
    names.set(m[2], m[1]);
  check(names.size === 2 * servers, `dhcpd.conf lists ${names.size} hosts`);
  const address = new Map(hostsLines().map((l) => { const [ip, name] = l.split('\t'); return [name, ip]; }));
  for (let k = 1; k <= servers; ++k) {
    const env = serverEnv(k);
    const name = names.get(env.HOST_MAC);
    check(/^node\d+$/.test(name || ''), `server ${k}'s host is named (${name})`);
    check(names.get(env.BMC_MAC) === name + '-mc', `server ${k}'s controller is ${name}-mc`);
  }
  // The lab's service control fails (and Trellium logs "exited with") when dhcpd refuses a configuration.
  check(cluster.log().includes('isc-dhcp-server start/running') && !cluster.log().includes('isc-dhcp-server } exited with'),
    'dhcpd accepted the configuration');
  // After the restart every host renews and gets the address Trellium fixed for it.
  for (let k = 1; k <= servers; ++k) {
    lab('cluster/renew.sh', prefix, String(k), 'host', '30');
    const env = serverEnv(k);
    const expected = address.get(names.get(env.HOST_MAC));
    await until(() => read(`${state}/servers/${k}/host.address`).trim() === expected, `server ${k} at ${expected}`, 30000);
  }

  // The road of a power command: the controller powers off, the polling
  // thread reports it, the host goes down.
  const one = serverEnv(1);
  const bmc1 = read(`${state}/servers/1/bmc.address`).trim();
  const name1 = names.get(one.HOST_MAC);
  inMgmt('ipmipower', '-h', bmc1, '-u', one.IPMI_USER, '-p', one.IPMI_PASSWORD, '-a', 'MD5', '-l', 'ADMIN',
    '--driver-type=LAN', '--session-timeout=5000', '--retransmission-timeout=100', '--off');
  await until(() => cluster.log().includes(`Power status of ${name1} changed to down from up`), 'the polling thread to see power off');
  check(cluster.log().includes('power status change detected. Trigger event...'), 'the power event was raised');
  await until(() => read(`${state}/servers/1/host.state`).trim() === 'off', 'the simulated host to go down', 20000);

  // A controller killed mid-run: connection error, back-off, and back by itself.
  const two = serverEnv(2);
  const name2 = names.get(two.HOST_MAC);
  execFileSync('pkill', ['-f', `${state}/servers/2/bmc/lan.conf`]);
  await until(() => cluster.log().includes(`IPMI connection error getting power status for ${name2}`), 'the connection error');
  await until(() => cluster.log().includes(`Power status of ${name2} changed to connection error`), 'the ConnectionError state');
  lab('cluster/renew.sh', prefix, '2', 'bmc', '30');  // its DHCP hook starts ipmi_sim again
  await until(() => cluster.log().includes(`Power status of ${name2} changed to up from connection error`),
    'the controller to come back', 90000);
  await cleanup(0);
} catch (e) {
  console.error(`cluster: FAILED: ${e.stack || e}` + (e.stderr ? '\n' + e.stderr : ''));
  await cleanup(1);
}
