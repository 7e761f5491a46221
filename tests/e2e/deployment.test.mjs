// The Deployment tab on a virtual cluster (lab/), in Chromium: the boot
// options of the lab's TFTP tree, another option chosen in the page that
// rewrites every server's PXELINUX file, and a server reset that boots from
// the network and fetches the new file over TFTP.
//   node deployment.test.mjs --trellium BIN --resources DIR --source DIR --build DIR [--screenshots DIR]
import fs from 'node:fs';
import { check, ipmipower, LabCluster, labScript, readText, until as untilEvery } from './common.mjs';

const until = (fn, what, timeout = 60000) => untilEvery(fn, what, timeout, 200);
const servers = 2;
const lab = new LabCluster('dep', servers);
const tftp = `${lab.sysroot}/var/lib/tftpboot/trellium`;
const bootFile = (mac) => `${tftp}/pxelinux.cfg/01-${mac.replace(/:/g, '-')}`;
const ubuntu = 'Ubuntu 22.04 <server>';

await labScript('deployment', lab, 300, async (session) => {
  lab.up();
  // A second system to boot (the lab has the memory test), installed before
  // Trellium starts: the options are read once.
  fs.mkdirSync(`${tftp}/os/ubuntu-22.04`);
  fs.writeFileSync(`${tftp}/os/ubuntu-22.04/NAME`, `${ubuntu}\n`);
  fs.writeFileSync(`${tftp}/os/ubuntu-22.04/PXELINUX`,
    'DEFAULT install\nLABEL install\n  KERNEL ubuntu/vmlinuz\n  APPEND console=ttyS1 serial X\n');
  await lab.startTrellium();

  await session.browser({ viewport: { width: 1000, height: 600 } });
  const page = await session.open();
  // With a page open the registry polls the controllers and pairs the servers;
  // the tab's refresh on each change gives every server its boot file.
  await lab.paired();
  const macs = Array.from({ length: servers }, (_, i) => lab.serverEnv(i + 1).HOST_MAC);
  await until(() => macs.every((mac) => readText(bootFile(mac)).includes('memtest')),
    'every server booting the memory test');

  await page.getByRole('tab', { name: 'Deployment' }).click();
  const radios = page.getByRole('radio');
  await until(async () => (await radios.count()) === 2, 'two boot options');
  const labels = await page.locator('.trl-booting .w-radio').allTextContents();
  check(JSON.stringify(labels) === JSON.stringify(['Memory test', ubuntu]), 'the options ' + JSON.stringify(labels));
  check(await page.getByRole('radio', { name: 'Memory test' }).isChecked(), 'the option in force checked');
  const status = () => page.locator('.trl-booting .trl-status').textContent();
  check((await status()).startsWith('In force: Memory test.'), 'the line says what is in force');
  await session.shoot(page, 'deployment', true);

  // Another option: every server's file is written from its template, the
  // serial console port in place of "serial X".
  await page.getByRole('radio', { name: ubuntu }).check();
  await until(() => macs.every((mac) => readText(bootFile(mac)).includes('KERNEL ubuntu/vmlinuz')),
    'every server booting Ubuntu');
  for (const mac of macs) check(/APPEND console=ttyS1 serial -?\d+\n/.test(readText(bootFile(mac))), 'the port in ' + mac);
  await until(async () => (await status()).startsWith(`In force: ${ubuntu}.`), 'the line to follow the choice');
  check(lab.log.includes('[DeploymentTab] Changing boot option to id 1\n'), 'the choice in the log');
  check(readText(`${lab.sysroot}/var/log/trellium/audit.log`).includes(`\tdemo\t127.0.0.1\tboot option\t${ubuntu}\n`),
    'the choice in the audit log, with who made it');

  // A reset server boots from the network: its host leases again and fetches
  // its PXELINUX file over TFTP (the lab's boot step keeps what it got).
  const one = lab.serverEnv(1);
  const fetched = `${lab.state}/servers/1/boot/trellium_pxelinux.cfg_01-${one.HOST_MAC.replace(/:/g, '-')}`;
  const fetches = () => (lab.serverFile(1, 'boot.log').match(/pxelinux\.cfg\/01-\S+ ok/g) || []).length;
  const before = fetches();
  ipmipower(lab, 1, '--reset');
  await until(() => fetches() > before, 'server 1 to fetch its boot file after the reset');
  check(readText(fetched) === readText(bootFile(one.HOST_MAC)), 'the server got the file Trellium wrote');
  check(readText(fetched).includes('KERNEL ubuntu/vmlinuz'), 'the server boots Ubuntu now');
});
