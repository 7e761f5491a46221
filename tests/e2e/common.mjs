// Helpers of the end-to-end scripts: options, checks, bounded waits, Chromium.
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';

export const option = (name, fallback) => {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
};

export const check = (condition, message) => {
  if (!condition) throw new Error('check failed: ' + message);
};

// Polls fn until it gives a truthy value; fails after timeout milliseconds.
export async function until(fn, what, timeout = 15000, period = 50) {
  const end = Date.now() + timeout;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, period));
  }
}

// Debian's Chromium, headless, with nothing that would reach the network.
// extra: more launch options; its args are added to ours.
export function launchChromium(profile, extra = {}) {
  const { args = [], ...options } = extra;
  return chromium.launchPersistentContext(profile, {
    executablePath: '/usr/lib/chromium/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', ...args],
    ...options,
  });
}

// The account of a lab or test root (lab/make-sysroot.sh makes it; the
// root's own PAM service checks it, never the host's accounts).
export const labAccount = { user: 'demo', password: 'trellium-lab' };

// Whether page shows the sign-in form.
export const onSignInPage = async (page) => (await page.locator('form[action="/_w/signin"]').count()) > 0;

// Signs in on the sign-in page shown in page and waits for what follows:
// Trellium's page with its socket up. Throws with the page's message when
// the sign-in is refused.
export async function signIn(page, account = labAccount) {
  await page.locator('input[name=user]').fill(account.user);
  await page.locator('input[name=password]').fill(account.password);
  await page.getByRole('button', { name: 'Sign in' }).click();
  const outcome = await page.waitForFunction(() => {
    if (window.trlweb && window.trlweb.state.connected) return 'signed in';
    const error = document.querySelector('form[action="/_w/signin"] .error');
    return error ? error.textContent : null;
  });
  const text = await outcome.jsonValue();
  if (text !== 'signed in') throw new Error(`sign-in as ${account.user} refused: ${text}`);
}

// Opens Trellium's page at url in a new tab of context, signed in (with the
// lab's account, unless the context has signed in already), and waits until
// its socket is up. Every script opens its pages through here, so whatever a
// page needs before it is usable is done in one place. A script error in
// the page is passed to onError.
export async function openPage(context, url, onError = null) {
  const page = await context.newPage();
  if (onError) page.on('pageerror', onError);
  await page.goto(url);
  if (await onSignInPage(page)) await signIn(page);
  await page.waitForFunction(() => window.trlweb && window.trlweb.state.connected);
  return page;
}

// The trellium process and its log.
export class Trellium {
  constructor(program, args) {
    this.log = '';
    this.child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    this.child.stdout.on('data', (c) => { this.log += c.toString(); });
    this.child.stderr.on('data', (c) => { this.log += c.toString(); });
    this.exited = new Promise((resolve) => this.child.once('exit', (code) => resolve(code)));
  }
  count(text) { return this.log.split(text).length - 1; }
  // The port of its first listening socket (plain HTTP when it has one).
  async port() {
    const line = await until(() => /listening on [^:\n]+:(\d+)/.exec(this.log), 'the listening line');
    return Number(line[1]);
  }
  async httpsPort() {
    const line = await until(() => /listening on [^\n]*:(\d+) \(HTTPS\)/.exec(this.log), 'the HTTPS listening line');
    return Number(line[1]);
  }
  async stop() {
    if (this.child.exitCode !== null) return this.child.exitCode;
    this.child.kill('SIGTERM');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 15000);
    const code = await this.exited;
    clearTimeout(timer);
    return code;
  }
}
