// The Settings tab in Chromium, with Trellium run under its service's restart
// rules (lab/supervise.sh and the package's unit): the status report made
// twice and downloaded, an upload over the size limit, and the upgrade with
// two small packages built with dpkg-deb, installed into a package root of
// the test's own: one whose validation fails, then a valid newer one,
// declined once and then installed, after which Trellium exits with 20, is
// started again and the page comes back by itself.
//   node settings.test.mjs --trellium BIN --resources DIR --source DIR [--screenshots DIR]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { answer as answerIn, check, onSignInPage, option, readText, rootScript, signIn, until } from './common.mjs';

const source = option('--source');
const resources = option('--resources');
// Trellium runs under its supervisor, which ends with 0 when told to stop.
await rootScript('settings', 240, async (session) => {
  const { scratch, root } = session;

  // The package manager Trellium runs is the real one, bound to a package
  // root and database of this test: the machine's packages are never touched.
  const packages = path.join(scratch, 'packages');
  const admin = path.join(scratch, 'dpkg');
  for (const dir of [packages, `${admin}/updates`, `${admin}/info`]) fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(`${admin}/status`, '');
  const dpkg = path.join(root, 'usr/bin/dpkg');
  fs.writeFileSync(dpkg, `#!/bin/sh\nexec /usr/bin/dpkg --root=${packages} --admindir=${admin} ` +
    `--log=${scratch}/dpkg.log --force-script-chrootless --force-not-root "$@"\n`, { mode: 0o755 });
  const installed = () => (/Package: trellium\nStatus: install ok installed\n(?:.*\n)*?Version: (\S+)\n/
    .exec(readText(`${admin}/status`)) || [])[1];

  // A package named like Trellium; its file says its version.
  function buildPackage(version, { preDepends = '', postinst = '' } = {}) {
    const tree = path.join(scratch, `tree-${version}`);
    fs.mkdirSync(`${tree}/DEBIAN`, { recursive: true });
    fs.mkdirSync(`${tree}/opt/trellium`, { recursive: true });
    fs.writeFileSync(`${tree}/DEBIAN/control`, `Package: trellium\nVersion: ${version}\nArchitecture: all\n` +
      (preDepends ? `Pre-Depends: ${preDepends}\n` : '') + 'Maintainer: Test <test@example.invalid>\nDescription: upgrade probe\n');
    if (postinst) fs.writeFileSync(`${tree}/DEBIAN/postinst`, `#!/bin/sh\n${postinst}\n`, { mode: 0o755 });
    fs.writeFileSync(`${tree}/opt/trellium/VERSION`, `${version}\n`);
    const deb = path.join(scratch, `trellium_${version}_all.deb`);
    execFileSync('/usr/bin/dpkg-deb', ['--root-owner-group', '-Zgzip', '--build', tree, deb], { stdio: 'ignore' });
    return deb;
  }
  execFileSync(dpkg, ['-i', buildPackage('1.4.6')], { stdio: 'ignore' });
  // The installation takes a moment, long enough to see its dialog.
  const newer = buildPackage('1.4.7', { postinst: 'sleep 2' });
  // It needs, before it can be unpacked, a package this host does not have.
  const unsound = buildPackage('1.4.8', { preDepends: 'trellium-missing-library (>= 9)' });
  const big = path.join(scratch, 'big.deb');
  fs.writeFileSync(big, Buffer.alloc(200 * 1024, 7));

  const port = await new Promise((resolve) => {
    const probe = net.createServer().listen(0, '127.0.0.1', () => {
      const { port: free } = probe.address();
      probe.close(() => resolve(free));
    });
  });
  const supervisor = path.join(scratch, 'supervisor');
  const append = (...words) => words.flatMap((w) => ['--append', w]);
  const trellium = session.start([
    '--program', option('--trellium'), '--state', supervisor,
    ...append('--sysroot', root, '--service-control', '/sbin/initctl', '--http-address', '127.0.0.1',
      '--http-port', String(port), '--docroot', path.join(resources, 'docroot'), '--approot', resources + '/',
      '--max-request-size', '100k'),
    path.join(source, 'packaging/trellium.service')], path.join(source, 'lab/supervise.sh'));
  const url = `http://127.0.0.1:${port}/`;

  await until(() => trellium.count('listening on') === 1, 'trellium to listen', 30000);
  await session.browser({ viewport: { width: 1000, height: 860 } });
  const page = await session.open(url);
  await page.getByRole('tab', { name: 'Settings' }).click();
  await page.locator('.w-panel-title', { hasText: 'Upload upgrade package' }).waitFor();

  const answer = (button) => answerIn(page, button);
  const uploadButton = page.getByRole('button', { name: 'Upload', exact: true });
  const upload = async (file) => {
    await page.locator('.trl-settings-panel input[type=file]').setInputFiles(file);
    await until(() => uploadButton.isEnabled(), 'Upload enabled by the choice');
    await uploadButton.click();
  };
  const panelReset = async () => !(await uploadButton.isEnabled()) &&
    (await page.locator('.trl-settings-panel input[type=file]').evaluate((i) => i.files.length)) === 0;

  // The report, made twice, downloads as this session's file.
  const generate = page.getByRole('button', { name: 'Generate report' });
  await generate.click();
  await page.getByRole('link', { name: 'TRL status report' }).waitFor();
  await generate.click();
  const [download] = await Promise.all([page.waitForEvent('download'),
    page.getByRole('link', { name: 'TRL status report' }).click()]);
  const saved = path.join(scratch, 'report.txt');
  await download.saveAs(saved);
  const report = readText(saved);
  check(report.split('\n')[0] === 'Trellium status report', 'the report\'s first line: ' + report.split('\n')[0]);
  check(/^Generated at \w{3} \w{3} \d{1,2} \d\d:\d\d:\d\d \d{4} UTC$/.test(report.split('\n')[1]), 'the time line');
  check(report.includes('Current booting option: Memory test\n'), 'the booting section');
  await session.shoot(page, 'settings', true);

  // Over the size limit: refused, and Upload can be pressed again.
  await upload(big);
  check((await answer('OK')) === 'File big.deb too large to be uploaded', 'the size-limit box');
  check(await uploadButton.isEnabled(), 'Upload enabled again');

  // A package whose dry run fails: the reason, nothing installed, a fresh panel.
  await upload(unsound);
  const refused = await answer('OK');
  check(refused.startsWith('Upgrade validation failed: ') && refused.includes('--dry-run') &&
    refused.endsWith('exited with 1; expected 0'), 'the validation box: ' + refused);
  await until(panelReset, 'the panel reset');
  check(installed() === '1.4.6', 'nothing installed');

  // The valid one, declined: nothing installed, Trellium runs on.
  await upload(newer);
  check((await answer('No')) === 'Upgrade validated. Proceed upgrading Trellium?', 'the question');
  await until(panelReset, 'the panel reset after No');
  check(installed() === '1.4.6' && !trellium.log.includes('exiting with restart flag set'), 'nothing installed');
  check(readText(`${supervisor}/exits`) === '' && trellium.count('listening on') === 1, 'Trellium still running');

  // Accepted: the package is installed under a dialog without Cancel; the
  // process ends with 20, the service starts it again, and the page loads
  // the new version by itself.
  const firstPid = readText(`${supervisor}/pid`).trim();
  await page.evaluate(() => { window.beforeUpgrade = true; });
  await upload(newer);
  check((await answer('Yes')) === 'Upgrade validated. Proceed upgrading Trellium?', 'the question again');
  check((await answer('OK')) === 'Please reload this page after 30 seconds', 'the reload box');
  const installing = page.locator('.w-progressdialog', { hasText: 'Installing trellium_1.4.7_all.deb' });
  await installing.waitFor();
  check((await installing.getByRole('button').count()) === 0, 'no Cancel once installation has started');
  await until(() => readText(`${supervisor}/exits`).trim() === '20', 'Trellium to exit with 20', 30000);
  const exited = Date.now();
  check(installed() === '1.4.7' && readText(`${packages}/opt/trellium/VERSION`) === '1.4.7\n',
    'the package installed into the test\'s package root');
  check(trellium.log.includes('exiting with restart flag set\n') && trellium.log.includes(`] pid = ${firstPid}\n`),
    'the restart lines name the process');
  check(trellium.log.includes('Trellium terminating with restart flag 1\n'), 'the last line');
  await until(() => trellium.count('listening on') === 2, 'the service to start Trellium again', 30000);
  const reloaded = async () => {
    try {
      // A restart ends every sign-in: the page comes back to the sign-in form.
      if (await onSignInPage(page)) await signIn(page);
      return await page.evaluate(() => !window.beforeUpgrade && !!window.trlweb && window.trlweb.state.connected);
    } catch {
      return false;  // between two documents
    }
  };
  await until(reloaded, 'the page to load the new version by itself', 60000);
  console.log(`figure: the page showed the new version ${Date.now() - exited} ms after the old one exited, signing in again included`);
  await until(async () => (await page.locator('.w-tab-current').textContent()) === 'Settings',
    'the Settings tab open again');
  check(readText(`${supervisor}/starts`).trim() === '2', 'started twice');
  const audit = readText(`${root}/var/log/trellium/audit.log`);
  check(audit.includes('\tdemo\t127.0.0.1\tupgrade attempt\ttrellium_1.4.7_all.deb\n') &&
    audit.includes('\tdemo\t127.0.0.1\tupgrade result\ttrellium_1.4.7_all.deb: installed\n'),
    'the upgrade\'s attempt and result in the audit log, with who asked');
}, 0);
