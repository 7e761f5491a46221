// The application shell in a real browser: the page, the help toggle, a
// back-end event reaching two sessions, and a closed page ending its session.
//   node shell.test.mjs --trellium BIN --resources DIR --source DIR [--screenshot FILE]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Trellium, check, launchChromium, openPage, option, until } from './common.mjs';

const guard = setTimeout(() => { console.error('shell: timed out after 120 s'); process.exit(1); }, 120000);
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'trl-e2e-'));
const root = path.join(scratch, 'root');
const resources = option('--resources');
execFileSync(path.join(option('--source'), 'lab/make-sysroot.sh'), [root, resources]);
const trellium = new Trellium(option('--trellium'), [
  '--sysroot', root, '--http-address', '127.0.0.1', '--http-port', '0',
  '--docroot', path.join(resources, 'docroot'), '--approot', resources + '/']);
let context = null;
let failed = false;
try {
  const url = `http://127.0.0.1:${await trellium.port()}/`;
  context = await launchChromium(path.join(scratch, 'profile'), { viewport: { width: 1000, height: 700 } });
  context.setDefaultTimeout(15000);
  const open = () => openPage(context, url, (e) => { console.error('page error:', e.message); failed = true; });
  const first = await open();
  const second = await open();

  // Seven tabs, the Dashboard first.
  const titles = await first.locator('.w-tab').allTextContents();
  check(JSON.stringify(titles) === JSON.stringify(['Dashboard', 'Servers', 'Monitoring', 'Fabric geometry', 'Wiring',
    'Settings', 'Deployment']), 'tab titles ' + JSON.stringify(titles));
  check((await first.locator('.w-tab-current').textContent()) === 'Dashboard', 'the Dashboard is shown first');
  await first.getByText('Contextual help').first().waitFor();
  const screenshot = option('--screenshot');
  if (screenshot) await first.screenshot({ path: screenshot });

  // The help toggle, on the current tab and on another.
  // The current tab's content: the first item of its page, before the help panel.
  const tabWidth = (page) => page.locator('.w-tab-panel > .w-panel-body > * > :first-child').first()
    .evaluate((e) => e.style.width);
  const helpShown = (page) => page.getByText('Contextual help', { exact: true }).first().isVisible();
  check((await tabWidth(first)) === '594px', 'tab width with help');
  await first.getByRole('button', { name: 'Hide help' }).click();
  await until(async () => !(await helpShown(first)), 'the help panel to hide');
  await until(() => first.getByRole('button', { name: 'Show help' }).isVisible(), 'the button relabelled');
  check((await tabWidth(first)) === '774px', 'tab width without help');
  await first.getByRole('tab', { name: 'Wiring' }).click();
  await until(async () => (await first.locator('.w-tab-current').textContent()) === 'Wiring', 'the Wiring tab');
  check(!(await helpShown(first)), 'help hidden on every tab');
  check((await tabWidth(first)) === '774px', 'every tab widened');
  await first.getByRole('button', { name: 'Show help' }).click();
  await until(async () => helpShown(first), 'the help panel to return');
  check((await tabWidth(first)) === '594px', 'width restored');
  await until(() => first.getByRole('button', { name: 'Hide help' }).isVisible(), 'the button relabelled');
  check((await tabWidth(second)) === '594px', 'the other session is its own');

  // A new lease reaches the back end; both pages follow.
  // The Dashboard's count of servers.
  const summary = (page) => page.locator('.trl-total').textContent();
  await first.getByRole('tab', { name: 'Dashboard' }).click();
  check((await summary(second)) === '0', 'empty table at first');
  fs.appendFileSync(path.join(root, 'var/lib/dhcp/dhcpd.leases'),
    'lease 10.0.0.50 {\n  binding state active;\n  hardware ethernet 00:25:90:00:00:50;\n}\n');
  for (const page of [first, second])
    await until(async () => (await summary(page)) === '1', 'the event in both pages');

  // Closing a page ends its session.
  const ended = trellium.count('Trellium session ended');
  await second.close({ runBeforeUnload: true });
  await until(() => trellium.count('Trellium session ended') > ended, 'the session-ended line', 40000);
  check(trellium.log.includes('Number of sessions: 1\n'), 'one session left');
} catch (e) {
  failed = true;
  console.error(`shell: FAILED: ${e.stack || e}`);
} finally {
  if (context) await context.close().catch(() => {});
  const code = await trellium.stop();
  if (!failed && code !== 20) {
    failed = true;
    console.error(`shell: FAILED: exit status ${code}, expected 20\n` + trellium.log.slice(-2000));
  }
  fs.rmSync(scratch, { recursive: true, force: true });
  clearTimeout(guard);
}
if (failed) console.error(trellium.log.slice(-3000));
console.log(failed ? 'shell: failed' : 'shell: passed');
process.exit(failed ? 1 : 0);
