// The application shell in a real browser: the page, the help toggle, a
// back-end event reaching two sessions, and a closed page ending its session.
//   node shell.test.mjs --trellium BIN --resources DIR --source DIR [--screenshot FILE]
import fs from 'node:fs';
import path from 'node:path';
import { check, option, rootScript, until } from './common.mjs';

await rootScript('shell', 120, async (session) => {
  const trellium = session.start(['--http-port', '0']);
  const url = `http://127.0.0.1:${await trellium.port()}/`;
  await session.browser({}, 15000);
  const first = await session.open(url);
  const second = await session.open(url);

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
  fs.appendFileSync(path.join(session.root, 'var/lib/dhcp/dhcpd.leases'),
    'lease 10.0.0.50 {\n  binding state active;\n  hardware ethernet 00:25:90:00:00:50;\n}\n');
  for (const page of [first, second])
    await until(async () => (await summary(page)) === '1', 'the event in both pages');

  // Closing a page ends its session.
  const ended = trellium.count('Trellium session ended');
  await second.close({ runBeforeUnload: true });
  await until(() => trellium.count('Trellium session ended') > ended, 'the session-ended line', 40000);
  check(trellium.log.includes('Number of sessions: 1\n'), 'one session left');
});
