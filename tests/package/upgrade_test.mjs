// The real package upgrades itself from its Settings tab, in Chromium, on
// the lab. Version N is installed with apt into a copy of the fresh Debian
// root, which becomes the lab's system root; the installed program runs
// chrooted there, in the lab's management namespace, under its unit's
// restart rules (lab/supervise.sh). Once the servers are named and placed
// in partitions, a truncated package and a foreign one are refused at
// validation while N runs on; N+1, confirmed, is installed by the real dpkg
// of the root, the program ends with 20, the supervisor starts N+1, and the
// open page comes back by itself with the new version in its title and
// every server's name and partition. Each further run (--runs, up to 3)
// installs the other of the two versions; the script prints the install
// time and, per run, the time from "Yes" to the new version answering.
//   node upgrade_test.mjs --source DIR --build DIR --resources DIR [--runs N] [--log FILE]
// scripts/test.sh makes both packages and, with tests/package/prepare.sh,
// the root; without them the test is skipped (status 77).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import { answer, check, finishLabScript, grid, labAccount, LabCluster, launchChromium, onSignInPage, openPage, option,
  readText, showTab, signIn, until } from '../e2e/common.mjs';

const source = option('--source');
const build = option('--build');
const cache = `${build}/package-test`;
const packages = [readText(`${cache}/deb`).trim(), readText(`${cache}/deb-next`).trim()];
if (!fs.existsSync(`${cache}/root`) || !packages.every((p) => p && fs.existsSync(p))) {
  console.log(`SKIP: no prepared root or packages; run scripts/test.sh`);
  process.exit(77);
}
const runs = Number(option('--runs', '3'));
if (!(runs >= 1 && runs <= 3)) {
  // The unit gives the program up after five starts within a minute.
  console.error('upgrade: --runs is 1 to 3');
  process.exit(2);
}
const servers = 4;
const versionOf = (deb) => execFileSync('dpkg-deb', ['--field', deb, 'Version'], { encoding: 'utf8' }).trim();
const versions = packages.map(versionOf);
const seconds = (ms) => (ms / 1000).toFixed(1);

// prepare.sh clears scratch roots that an interrupted run left behind.
const work = fs.mkdtempSync(`${cache}/run.`);
const root = `${work}/root`;
const supervisor = `${work}/supervisor`;
const lab = new LabCluster('upg', servers, { sysroot: root });
let context = null;
const guard = setTimeout(() => { console.error('upgrade: timed out after 600 s'); finish(1); }, 600000);
const finish = (code) => finishLabScript('upgrade', lab, code, { context, scratch: work, guard, status: 0 });

const inRoot = (...command) => execFileSync('chroot', [root, ...command],
  { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, DEBIAN_FRONTEND: 'noninteractive' } });
const installed = () => inRoot('dpkg-query', '-W', '-f=${Status} ${Version}', 'trellium');
const exits = () => readText(`${supervisor}/exits`).split('\n').filter(Boolean);

// A package whose name is not trellium.
function foreignPackage() {
  const tree = `${work}/foo`;
  fs.mkdirSync(`${tree}/DEBIAN`, { recursive: true });
  fs.writeFileSync(`${tree}/DEBIAN/control`, 'Package: foo\nVersion: 1.0\nArchitecture: all\n' +
    'Maintainer: Test <test@example.invalid>\nDescription: not Trellium\n');
  execFileSync('dpkg-deb', ['--root-owner-group', '--build', tree, `${work}/foo_1.0_all.deb`], { stdio: 'ignore' });
  return `${work}/foo_1.0_all.deb`;
}

try {
  execFileSync(`${source}/tests/package/fresh-root.sh`, [build, root, packages[0]]);
  const start = Date.now();
  inRoot('apt-get', '-q', '-y', '-o', 'Dpkg::Use-Pty=0', 'install', '/tmp/trellium.deb');
  console.log(`figure: package ${fs.statSync(packages[0]).size} bytes; apt-get install with its dependencies ` +
    `in the fresh root: ${seconds(Date.now() - start)} s`);
  // The administrator's edit of the options file, which every upgrade keeps:
  // plain HTTP on the loopback address the lab forwards to.
  const options = `${root}/etc/trellium/wthttpd`;
  fs.writeFileSync(options, readText(options).replace(/^(https?-address|https?-port) *=.*\n/gm, '') +
    `http-address = 127.0.0.1\nhttp-port = ${lab.port}\n`);
  // The person who signs in: an account of the root, in the administrators' group.
  inRoot('useradd', '--no-create-home', '--groups', 'trellium', labAccount.user);
  inRoot('sh', '-c', `echo '${labAccount.user}:${labAccount.password}' | chpasswd`);
  // The DHCP server's sample configuration gives way to Trellium's template.
  fs.rmSync(`${root}/etc/dhcp/dhcpd.conf`);
  lab.up();
  // The lab's DHCP server is run by the lab's stand-in service manager,
  // outside the root, out of reach of the chrooted program: it goes on
  // serving the leases it gave, which is all this test needs of it.
  const append = (...words) => words.flatMap((w) => ['--append', w]);
  await lab.run([`${source}/lab/supervise.sh`, '--state', supervisor,
    ...append('--service-control', '/bin/true', '--ipmi-retransmission-timeout', '100'),
    `${root}/lib/systemd/system/trellium.service`,
    '--', 'ip', 'netns', 'exec', `${lab.prefix}-mgmt`, `${source}/tests/package/in-root.sh`, root]);

  context = await launchChromium(`${work}/profile`, { viewport: { width: 1000, height: 860 } });
  context.setDefaultTimeout(20000);
  let pageErrors = 0;
  const page = await openPage(context, lab.url, (e) => { console.error('page error:', e.message); ++pageErrors; });

  // The servers named, two of them moved into partitions 1 and 2.
  await lab.paired();
  await showTab(page, 'Servers');
  const table = async () => (await grid(page)).map((r) => `${r.Hostname} ${r['eth0 MAC address']} ${r.Partition}`);
  for (const [name, partition] of [['node2', '1'], ['node3', '2']]) {
    const row = await until(async () => (await grid(page)).find((r) => r.Hostname === name), `${name} in the grid`);
    await page.locator(`td[data-arg="${row.at.Partition}"] select`).selectOption({ label: partition });
    await until(async () => (await table()).some((r) => r.startsWith(`${name} `) && r.endsWith(` ${partition}`)),
      `${name} in partition ${partition}`);
  }
  const nodeTable = await table();
  check(nodeTable.length === servers && nodeTable.every((r) => /^node\d+ [0-9a-f:]{17} \d$/.test(r)),
    'every server named: ' + nodeTable.join(', '));

  await showTab(page, 'Settings');
  const uploadButton = page.getByRole('button', { name: 'Upload', exact: true });
  const upload = async (file) => {
    await page.locator('.trl-settings-panel input[type=file]').setInputFiles(file);
    await until(() => uploadButton.isEnabled(), 'Upload enabled by the choice');
    await uploadButton.click();
  };

  // Refused at validation, and N runs on.
  const truncated = `${work}/trellium_truncated.deb`;
  fs.writeFileSync(truncated, fs.readFileSync(packages[1]).subarray(0, fs.statSync(packages[1]).size >> 1));
  for (const [file, reason] of [[truncated, 'the package file is damaged or incomplete; upload it again'],
    [foreignPackage(), 'not a Trellium package: foo']]) {
    await upload(file);
    const refused = await answer(page, 'OK');
    check(refused.startsWith('Upgrade validation failed: ') && refused.endsWith(reason), 'the refusal: ' + refused);
  }
  check(installed() === `install ok installed ${versions[0]}` && exits().length === 0 &&
    readText(`${supervisor}/starts`).trim() === '1', `version ${versions[0]} still installed and running`);
  check(!lab.log.includes('exiting with restart flag set'), 'no restart');

  // The upgrade, then back and forth between the two versions. The server
  // is asked through the page's own request context: whatever a page needs
  // to be answered (a sign-in), the request has too.
  const answers = async (title) => {
    try {
      // The sign-in page's title ends with the version too: a restart ends every sign-in.
      return (await (await context.request.get(lab.url, { timeout: 2000 })).text()).includes(`${title}</title>`);
    } catch {
      return false;  // not listening yet
    }
  };
  const times = [];
  for (let run = 1; run <= runs; ++run) {
    const to = run % 2;
    const title = `Trellium v${versions[to]}`;
    await page.evaluate(() => { window.beforeUpgrade = true; });
    await upload(packages[to]);
    await page.locator('.w-messagebox', { hasText: 'Proceed upgrading Trellium?' }).waitFor();
    const yes = Date.now();
    check((await answer(page, 'Yes')) === 'Upgrade validated. Proceed upgrading Trellium?', 'the question');
    check((await answer(page, 'OK')) === 'Please reload this page after 30 seconds', 'the reload box');
    await until(() => answers(title), `${title} to answer`, 120000, 100);
    times.push(Date.now() - yes);
    console.log(`figure: run ${run}: from "Yes" to ${title} answering: ${seconds(times.at(-1))} s`);
    check(exits().join() === Array(run).fill('20').join() && readText(`${supervisor}/starts`).trim() === `${run + 1}`,
      'the program ended with 20 and the supervisor started it again');
    check(installed() === `install ok installed ${versions[to]}`, `version ${versions[to]} installed`);
    await until(async () => {
      try {
        if (await onSignInPage(page)) await signIn(page);
        return await page.evaluate(() => !window.beforeUpgrade && window.trlweb?.state.connected) &&
          (await page.title()) === title;
      } catch {
        return false;  // between two documents
      }
    }, `the open page to load ${title} by itself`, 60000, 200);
    await showTab(page, 'Servers');
    await until(async () => (await table()).join() === nodeTable.join(), 'every name and partition kept');
    await showTab(page, 'Settings');
  }
  const sorted = [...times].sort((a, b) => a - b);
  console.log(`figure: from "Yes" to the new version answering over ${runs} runs: min ${seconds(sorted[0])} s, ` +
    `median ${seconds(sorted[sorted.length >> 1])} s, max ${seconds(sorted.at(-1))} s`);
  check(pageErrors === 0, 'no script errors in the page');
  await finish(0);
} catch (e) {
  console.error(`upgrade: FAILED: ${e.stack || e}` + (e.stderr ? '\n' + e.stderr : ''));
  await finish(1);
}
