// The page as people use it: a wide and a narrow window with nothing cut
// off, tabs for keyboards, the connection in the bottom bar, the help
// toggle, a back-end event reaching two sessions, a closed page ending its
// session, a page whose server goes away (inert, and saying so) and, once
// the server is back, asks by itself to sign in again and returns whole, on
// the tab it had open.
//   node page.test.mjs --trellium BIN --resources DIR --source DIR [--screenshots DIR]
import fs from 'node:fs';
import path from 'node:path';
import { check, onSignInPage, rootScript, showTab, signIn, until } from './common.mjs';

// Every element of the page that shows something lies within the page's
// scrollable area: none starts left of it or above it.
const clipped = (page) => page.evaluate(() => {
  const root = document.querySelector('.w-root');
  const r = root.getBoundingClientRect();
  const out = [];
  for (const el of root.querySelectorAll('button, img, [role=tab], .w-panel-title, .w-connection')) {
    const b = el.getBoundingClientRect();
    if (!b.width) continue;
    const left = b.left - r.left + root.scrollLeft, top = b.top - r.top + root.scrollTop;
    if (left < 0 || top < 0 || left + b.width > root.scrollWidth + 0.5) out.push(el.textContent || el.tagName);
  }
  return out;
});
const selectedTab = (page) => page.locator('[role=tab][aria-selected=true]').textContent();

await rootScript('page', 150, async (session) => {
  const shoot = (page, name) => session.shoot(page, name);
  const port = await session.start(['--http-port', '0']).port();
  const url = `http://127.0.0.1:${port}/`;
  await session.browser({ viewport: { width: 1280, height: 800 } }, 15000);
  const page = await session.open(url);
  let loads = 0;
  page.on('load', () => { ++loads; });

  // A wide window: the tabs take its width; nothing is cut off.
  const wide = await page.locator('.trl-tabs').boundingBox();
  check(wide.width >= 1200, 'the tab widget uses a wide window: ' + wide.width);
  check((await clipped(page)).length === 0, 'nothing clipped at 1280 px: ' + await clipped(page));
  check((await page.locator('link[rel=icon]').getAttribute('href')) === '/images/favicon.svg', 'the page names its icon');
  check((await page.request.get(url + 'images/favicon.svg')).status() === 200, 'the icon is served');
  const status = page.locator('.w-connection');
  await until(async () => /^Connected.*Last update \d\d:\d\d:\d\d$/.test(await status.textContent()), 'connected');
  await shoot(page, 'page-1280');

  // Tabs for keyboards: arrows, Home and End; the focus is visible; the
  // current tab is marked by more than bold text.
  const titles = await page.locator('[role=tablist] [role=tab]').allTextContents();
  check(JSON.stringify(titles) === JSON.stringify(['Dashboard', 'Servers', 'Monitoring', 'Fabric geometry', 'Wiring',
    'Settings', 'Deployment']), 'seven tabs in a tab list: ' + JSON.stringify(titles));
  check((await selectedTab(page)) === 'Dashboard', 'the Dashboard is shown first');
  check((await page.locator('[role=tabpanel]').count()) === 1, 'one tab panel shown');
  await page.getByRole('tab', { name: 'Dashboard' }).focus();
  const step = async (key, name) => {
    await page.keyboard.press(key);
    await until(async () => (await selectedTab(page)) === name &&
      (await page.evaluate(() => document.activeElement.textContent)) === name, `${key} to ${name}`);
  };
  await step('ArrowRight', 'Servers');
  await step('End', 'Deployment');
  await step('ArrowRight', 'Dashboard');
  await step('ArrowLeft', 'Deployment');
  await step('Home', 'Dashboard');
  const look = (name) => page.getByRole('tab', { name }).evaluate((e) => {
    const s = getComputedStyle(e);
    return { outline: s.outlineStyle, shadow: s.boxShadow, height: e.getBoundingClientRect().height };
  });
  const current = await look('Dashboard'), other = await look('Servers');
  check(current.outline !== 'none', 'a visible focus ring');
  check(current.shadow !== 'none' && other.shadow === 'none' && current.height > other.height,
    'the current tab is raised and barred: ' + JSON.stringify([current, other]));

  // A narrow window: scrolled sideways, never cut off on the left.
  await page.setViewportSize({ width: 600, height: 700 });
  check((await clipped(page)).length === 0, 'nothing clipped at 600 px: ' + await clipped(page));
  for (const name of ['Dashboard']) check((await page.getByRole('tab', { name }).boundingBox()).x >= 0, name + ' visible');
  check((await page.getByRole('button', { name: 'Hide help' }).boundingBox()).x >= 0, '"Hide help" visible');
  const scroll = await page.locator('.w-root').evaluate((r) => {
    const overflow = r.scrollWidth - r.clientWidth;
    r.scrollLeft = overflow;
    return overflow;
  });
  check(scroll > 0, 'a narrow window scrolls sideways');
  const right = await page.locator('.trl-tabs').boundingBox();
  check(right.x + right.width <= 600 + 0.5, 'the right edge can be scrolled to');
  await shoot(page, 'page-600');
  await page.locator('.w-root').evaluate((r) => { r.scrollLeft = 0; });
  await page.setViewportSize({ width: 1000, height: 700 });

  // The help toggle, on the current tab and on another; a second page is a
  // session of its own. The tab's width: its first item, before the help.
  const second = await session.open(url);
  const tabWidth = (p) => p.locator('.w-tab-panel > .w-panel-body > * > :first-child').first()
    .evaluate((e) => e.style.width);
  const helpShown = () => page.getByText('Contextual help', { exact: true }).first().isVisible();
  const toggle = async (button, shown, width) => {
    await page.getByRole('button', { name: button }).click();
    await until(async () => (await helpShown()) === shown, `the help panel after ${button}`);
    await until(() => page.getByRole('button', { name: shown ? 'Hide help' : 'Show help' }).isVisible(), 'the relabel');
    check((await tabWidth(page)) === width, `tab width ${width} after ${button}`);
  };
  check((await tabWidth(page)) === '594px', 'tab width with help');
  await toggle('Hide help', false, '774px');
  await showTab(page, 'Wiring');
  check(!(await helpShown()) && (await tabWidth(page)) === '774px', 'help hidden and every tab widened');
  await toggle('Show help', true, '594px');
  check((await tabWidth(second)) === '594px', 'the other session is its own');

  // A new lease reaches the back end; both pages follow.
  const summary = (p) => p.locator('.trl-total').textContent();
  await showTab(page, 'Dashboard');
  check((await summary(second)) === '0', 'empty table at first');
  fs.appendFileSync(path.join(session.root, 'var/lib/dhcp/dhcpd.leases'),
    'lease 10.0.0.50 {\n  binding state active;\n  hardware ethernet 00:25:90:00:00:50;\n}\n');
  for (const p of [page, second]) await until(async () => (await summary(p)) === '1', 'the event in both pages');

  // Closing a page ends its session.
  const ended = session.trellium.count('Trellium session ended');
  await second.close({ runBeforeUnload: true });
  await until(() => session.trellium.count('Trellium session ended') > ended, 'the session-ended line', 40000);
  check(session.trellium.log.includes('Number of sessions: 1\n'), 'one session left');

  // The server goes away: the page is inert and says so, above the headline.
  await page.getByRole('tab', { name: 'Wiring' }).click();
  await until(async () => (await selectedTab(page)) === 'Wiring', 'the Wiring tab');
  check((await session.trellium.stop()) === 20, 'the first server ended with the restart status');
  await until(() => page.evaluate(() => document.body.classList.contains('w-offline')), 'the page to go offline');
  check(await page.getByRole('button', { name: 'Hide help' }).isDisabled(), 'controls disabled');
  const notice = page.locator('#w-notice');
  await notice.waitFor();
  const head = await page.locator('img[src$="headline.png"]').boundingBox();
  const box = await notice.boundingBox();
  check(box.y + box.height <= head.y, 'the notice does not cover the headline');
  const tab = await page.getByRole('tab', { name: 'Servers' }).boundingBox();
  await page.mouse.click(tab.x + tab.width / 2, tab.y + tab.height / 2);
  await until(async () => (await notice.textContent()).includes('Not sent: the page is not connected'), 'the refusal');
  check((await selectedTab(page)) === 'Wiring', 'the click changed nothing');
  check((await status.textContent()).startsWith('Not connected'), 'the bottom bar says so');
  await shoot(page, 'page-offline');

  // It comes back (as after an upgrade): sign-ins do not outlive the
  // process, so the page loads the sign-in page by itself; signed in again,
  // it is whole, on the tab it had open.
  session.start(['--http-port', String(port)]);
  await until(() => onSignInPage(page).catch(() => false), 'the sign-in page by itself', 30000);
  await signIn(page);
  await until(() => page.evaluate(() => window.trlweb && window.trlweb.state.connected &&
    document.querySelector('[role=tab][aria-selected=true]')?.textContent === 'Wiring').catch(() => false),
  'the page whole again', 30000);
  check(loads >= 1, 'a fresh page was loaded');
  check(!(await page.getByRole('button', { name: 'Hide help' }).isDisabled()), 'controls enabled again');
  check((await notice.count()) === 0, 'no notice');
  check((await page.locator('[role=tab]').count()) === 7, 'all tabs');
  await page.getByText('cabling list').first().waitFor();
  await shoot(page, 'page-back');
});
