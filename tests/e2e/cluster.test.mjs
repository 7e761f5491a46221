// Trellium on a virtual cluster (lab/): a new server's road from its first
// lease to a paired record with a fixed address, a power command seen by the
// polling thread, and a controller that dies and comes back.
//   node cluster.test.mjs --trellium BIN --resources DIR --source DIR --build DIR
import { check, ipmipower, LabCluster, labScript, readText as read, until as untilEvery } from './common.mjs';

// The lab moves in tenths of seconds and minutes: poll less often, wait longer.
const until = (fn, what, timeout = 60000) => untilEvery(fn, what, timeout, 200);
const servers = 8;
const lab = new LabCluster('e2e', servers);
const { state } = lab;

await labScript('cluster', lab, 400, async (session) => {
  await lab.start();

  // A browser session: the polling thread works only while someone watches.
  await session.browser();
  const page = await session.open();

  // The road of a new server: every host paired with its controller, named,
  // written to the hosts file and dhcpd.conf, and dhcpd restarted with them.
  const names = await lab.paired();  // MAC -> name, from dhcpd.conf
  await until(async () => (await page.locator('.trl-total').textContent()) === String(servers),
    'the page to show eight servers');
  const address = new Map(lab.hostsLines().map((l) => { const [ip, name] = l.split('\t'); return [name, ip]; }));
  for (let k = 1; k <= servers; ++k) {
    const env = lab.serverEnv(k);
    const name = names.get(env.HOST_MAC);
    check(/^node\d+$/.test(name || ''), `server ${k}'s host is named (${name})`);
    check(names.get(env.BMC_MAC) === name + '-mc', `server ${k}'s controller is ${name}-mc`);
  }
  // The lab's service control fails (and Trellium logs "exited with") when dhcpd refuses a configuration.
  check(lab.log.includes('isc-dhcp-server start/running') && !lab.log.includes('isc-dhcp-server } exited with'),
    'dhcpd accepted the configuration');
  // After the restart every host renews and gets the address Trellium fixed for it.
  for (let k = 1; k <= servers; ++k) {
    lab.script('cluster/renew.sh', lab.prefix, String(k), 'host', '30');
    const env = lab.serverEnv(k);
    const expected = address.get(names.get(env.HOST_MAC));
    await until(() => read(`${state}/servers/${k}/host.address`).trim() === expected, `server ${k} at ${expected}`, 30000);
  }

  // The road of a power command: the controller powers off, the polling
  // thread reports it, the host goes down.
  const name1 = names.get(lab.serverEnv(1).HOST_MAC);
  ipmipower(lab, 1, '--off');
  await until(() => lab.log.includes(`Power status of ${name1} changed to down from up`), 'the polling thread to see power off');
  check(lab.log.includes('power status change detected. Trigger event...'), 'the power event was raised');
  await until(() => read(`${state}/servers/1/host.state`).trim() === 'off', 'the simulated host to go down', 20000);

  // A controller killed mid-run: connection error, back-off, and back by itself.
  const two = lab.serverEnv(2);
  const name2 = names.get(two.HOST_MAC);
  lab.killInLab(lab.serverFile(2, 'ipmi_sim.pid'));
  await until(() => lab.log.includes(`IPMI connection error getting power status for ${name2}`), 'the connection error');
  await until(() => lab.log.includes(`Power status of ${name2} changed to connection error`), 'the ConnectionError state');
  lab.script('cluster/renew.sh', lab.prefix, '2', 'bmc', '30');  // its DHCP hook starts ipmi_sim again
  await until(() => lab.log.includes(`Power status of ${name2} changed to up from connection error`),
    'the controller to come back', 90000);
});
