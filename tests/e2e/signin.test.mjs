// Signing in and out in a real browser: the sign-in page and its one
// message, who is signed in, an action audited under that name, the
// cookie's flags over HTTP and HTTPS, a session id replayed from another
// browser, signing out and the back button, and a page at a foreign name
// (DNS rebinding, through --host-resolver-rules) that gets nothing.
//   node signin.test.mjs --trellium BIN --resources DIR --source DIR [--screenshots DIR]
import fs from 'node:fs';
import path from 'node:path';
import { check, labAccount, onSignInPage, openPage, readText, rootScript, signIn, until } from './common.mjs';

await rootScript('signin', 150, async (session) => {
  // Four servers, so that the Fabric geometry tab has geometries to choose.
  fs.writeFileSync(path.join(session.root, 'var/lib/dhcp/dhcpd.leases'), [1, 2, 3, 4].map((i) =>
    `lease 10.0.0.${100 + i} {\n  binding state active;\n  hardware ethernet 00:25:90:00:00:0${i};\n}\n`).join(''));
  const trellium = session.start(['--http-port', '0', '--https-address', '127.0.0.1', '--https-port', '0']);
  const shoot = (page, name) => session.shoot(page, name);
  const audit = () => readText(path.join(session.root, 'var/log/trellium/audit.log'));
  const sessions = () => trellium.count('New Trellium session');
  const browser = (extra = {}) => session.browser(extra, 15000);
  const { onError } = session;
  const port = await trellium.port();
  const url = `http://127.0.0.1:${port}/`;

  // The sign-in page; a wrong password says so, and nothing more.
  const context = await browser();
  const page = await context.newPage();
  page.on('pageerror', onError);
  await page.goto(url);
  check(await onSignInPage(page), 'the sign-in page first');
  check(sessions() === 0, 'no session before a sign-in');
  await shoot(page, 'signin');
  await page.locator('input[name=user]').fill('demo');
  await page.locator('input[name=password]').fill('not the password');
  await page.getByRole('button', { name: 'Sign in' }).click();
  await page.getByRole('alert').waitFor();
  check((await page.getByRole('alert').textContent()) === 'Wrong user name or password', 'the one message');
  check((await page.locator('input[name=user]').inputValue()) === 'demo', 'the name stays');
  check((await page.locator('input[name=password]').inputValue()) === '', 'the password does not');
  await shoot(page, 'signin-failed');

  // Signed in: who, and "Sign out"; the cookie is out of the page's reach.
  await signIn(page, labAccount);
  check((await page.locator('.trl-user').textContent()) === 'Signed in as demo', 'who is signed in');
  check(await page.getByRole('button', { name: 'Sign out' }).isVisible(), 'Sign out');
  const [cookie] = await context.cookies();
  check(cookie.name === 'w_signin' && cookie.httpOnly && cookie.sameSite === 'Strict' && !cookie.secure,
    'an HttpOnly SameSite=Strict cookie: ' + JSON.stringify(cookie));
  check((await page.evaluate(() => document.cookie)) === '', 'invisible to scripts');

  // A tab used: a geometry chosen is an audit line under the person's name.
  await page.getByRole('tab', { name: 'Fabric geometry' }).click();
  await page.locator('.w-table td', { hasText: /^4$/ }).click();  // a ring of four, not the first offered (2x2)
  await until(async () => (await page.locator('.trl-status').textContent()).startsWith('Geometry 4 with 1U servers is applied'),
    'the geometry applied');
  check(audit().includes('\tdemo\t127.0.0.1\tfabric geometry\t4, 1U\n'), 'the audit line');
  check(audit().includes('\tdemo\t127.0.0.1\tfailed sign-in\t-\n') && audit().includes('\tdemo\t127.0.0.1\tsign in\t-\n'),
    'the sign-ins audited');
  await shoot(page, 'signed-in');

  // Another browser, signed in too, cannot take over this page's session.
  const id = await page.evaluate(() => document.body.dataset.session);
  const other = await openPage(await browser(), url, onError);
  check((await other.evaluate((s) => fetch('/_w/ws?s=' + s).then((r) => r.status), id)) === 404,
    'a replayed session id is unknown with another cookie');
  const socket = (p, target) => p.evaluate((t) => new Promise((resolve) => {
    const ws = new WebSocket(t);
    ws.onopen = () => { ws.close(); resolve('open'); };
    ws.onerror = () => resolve('refused');
  }), target);
  check((await socket(other, `ws://127.0.0.1:${port}/_w/ws?s=${id}`)) === 'refused', 'its socket refused');
  check(await page.evaluate(() => window.trlweb.state.connected && window.trlweb.state.connects === 1),
    'the first page kept its socket');

  // Signing out ends the page; back shows no live page either.
  const before = sessions();
  await page.getByRole('button', { name: 'Sign out' }).click();
  await until(() => onSignInPage(page), 'the sign-in page after signing out');
  check((await context.cookies()).length === 0, 'the cookie is gone');
  await until(() => audit().includes('\tdemo\t127.0.0.1\tsign out\t-\n'), 'the sign-out audited');
  await page.goBack();
  await until(() => onSignInPage(page), 'the sign-in page again after going back');
  check(!(await page.evaluate(() => !!window.trlweb)), 'no page script runs');
  check(sessions() === before, 'going back built no session');

  // A page at a foreign name that resolves here (DNS rebinding) gets
  // nothing: no sign-in page, no form post, no socket.
  const rebound = await (await browser({ args: ['--host-resolver-rules=MAP foreign.test 127.0.0.1'] })).newPage();
  const answer = await rebound.goto(`http://foreign.test:${port}/`);
  check(answer.status() === 421 && !(await onSignInPage(rebound)), 'the foreign name is refused: ' + answer.status());
  check((await rebound.evaluate(() => fetch('/_w/signin', { method: 'POST', body: 'user=demo&password=trellium-lab',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' } }).then((r) => r.status))) === 421, 'its form post');
  const live = await other.evaluate(() => document.body.dataset.session);
  check((await socket(rebound, `ws://127.0.0.1:${port}/_w/ws?s=${live}`)) === 'refused', 'its socket to a live session');
  check((await other.evaluate(() => window.trlweb.state.connected)), 'the live session is untouched');

  // Over HTTPS the cookie is Secure and bound to the host (__Host-).
  const secure = await browser({ ignoreHTTPSErrors: true });
  const tlsPage = await openPage(secure, `https://127.0.0.1:${await trellium.httpsPort()}/`, onError);
  const [tlsCookie] = await secure.cookies();
  check(tlsCookie.name === '__Host-w_signin' && tlsCookie.secure && tlsCookie.httpOnly && tlsCookie.sameSite === 'Strict',
    'the HTTPS cookie: ' + JSON.stringify(tlsCookie));
  check(await tlsPage.evaluate(() => location.protocol === 'https:' && window.trlweb.state.connected), 'a live page');
});
