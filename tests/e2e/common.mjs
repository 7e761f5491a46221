// Helpers of the end-to-end scripts: options, checks, bounded waits, Chromium,
// and a lab cluster with Trellium in it.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

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

// Shows the tab with this title in page.
export async function showTab(page, title) {
  await page.getByRole('tab', { name: title, exact: true }).click();
  await until(async () => (await page.locator('.w-tab-current').textContent()) === title, `the ${title} tab`);
}

// The table of the current tab as the page shows it: per row, each header's
// text and the cell's place ("row,column", for finding the cell again).
export const grid = (page) => page.locator('.w-table').evaluate((table) => {
  const headers = [...table.querySelectorAll('th')].map((th) => th.textContent);
  return [...table.querySelectorAll('tbody tr')].map((tr) => {
    const row = { at: {} };
    [...tr.querySelectorAll('td')].forEach((td, i) => {
      const choice = td.querySelector('select');
      row[headers[i]] = choice ? (choice.selectedOptions[0]?.textContent ?? '') : td.textContent;
      row.at[headers[i]] = td.dataset.arg;
    });
    return row;
  });
});

// The message box now on the page, answered with the button; its text.
// Returns once that box is gone (the next one may already be there).
export async function answer(page, button) {
  const box = page.locator('.w-messagebox:visible').last();
  await box.waitFor();
  const text = await box.locator('.w-messagebox-text').textContent();
  await box.getByRole('button', { name: button, exact: true }).click();
  await page.locator('.w-messagebox:visible', { hasText: text }).waitFor({ state: 'hidden' });
  return text;
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
export const readText = (file) => { try { return fs.readFileSync(file, 'utf8'); } catch { return ''; } };

// A virtual cluster (lab/cluster-up.sh) with Trellium running in its
// management namespace, as the lab's README shows. Its state directory,
// system root and Trellium's log are open to the script. drift: the lab's
// sensor drift period in seconds (0: readings stay); sysroot: a system root
// of the script's own (kept when the lab goes down).
export class LabCluster {
  constructor(name, servers, { drift = 0, sysroot = null } = {}) {
    this.source = option('--source');
    this.servers = servers;
    this.drift = drift;
    this.prefix = `trl-${name}${process.pid % 100000}`;
    this.port = 20000 + (process.pid % 20000);
    this.state = `/run/trellium-lab/${this.prefix}`;
    this.sysroot = sysroot || `${this.state}/sysroot`;
    this.ownSysroot = !!sysroot;
    this.url = `http://127.0.0.1:${this.port}/`;
    this.log = '';
    this.trellium = null;
  }

  script(name, ...args) {
    return execFileSync(path.join(this.source, 'lab', name), args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
  }

  inMgmt(...args) {
    return execFileSync('ip', ['netns', 'exec', `${this.prefix}-mgmt`, ...args], { encoding: 'utf8' });
  }

  // Server k's vendor, MACs and IPMI credentials (servers/K/env).
  serverEnv(k) {
    return Object.fromEntries(readText(`${this.state}/servers/${k}/env`).split('\n').filter((l) => l.includes('='))
      .map((l) => { const i = l.indexOf('='); return [l.slice(0, i), l.slice(i + 1).replace(/^'|'$/g, '')]; }));
  }

  serverFile(k, file) { return readText(`${this.state}/servers/${k}/${file}`).trim(); }

  // Lines of the system root's hosts file that name a server or controller.
  hostsLines() {
    return readText(`${this.sysroot}/etc/hosts`).split('\n').filter((l) => /\t[a-z][a-z0-9_-]*\d+(-mc)?$/.test(l));
  }

  // MAC -> host name, as dhcpd.conf gives them.
  dhcpNames() {
    const names = new Map();
    for (const m of readText(`${this.sysroot}/etc/dhcp/dhcpd.conf`)
      .matchAll(/host (\S+)\t\{ hardware ethernet ([0-9a-f:]+); fixed-address \1; \}/g)) names.set(m[2], m[1]);
    return names;
  }

  // Ends process pid of the lab (a number inside the lab's process namespace).
  killInLab(pid) {
    execFileSync('nsenter', ['-t', readText(`${this.state}/keeper.pid`).trim(), '-p', '--', 'kill', String(pid)]);
  }

  async start(extraArgs = []) {
    this.up();
    await this.startTrellium(extraArgs);
  }

  // The lab alone: its system root can be changed before Trellium reads it.
  up() {
    this.script('cluster-up.sh', String(this.servers), '--prefix', this.prefix, '--build', option('--build'),
      '--resources', option('--resources'), '--forward', String(this.port), '--drift', String(this.drift), '--quiet',
      ...(this.ownSysroot ? ['--sysroot', this.sysroot] : []));
  }

  // Starts Trellium in the lab (again, after stopTrellium: the node table
  // and the system root stay); returns once it listens.
  async startTrellium(extraArgs = []) {
    const resources = option('--resources');
    await this.run(['ip', 'netns', 'exec', `${this.prefix}-mgmt`, option('--trellium'),
      '--sysroot', this.sysroot, '--http-address', '127.0.0.1', '--http-port', String(this.port),
      '--docroot', path.join(resources, 'docroot'), '--approot', resources + '/', '--ipmi-retransmission-timeout', '100',
      ...extraArgs]);
  }

  // Runs command as the lab's Trellium (the program itself, or a supervisor
  // that runs it): its output goes into the log and stopTrellium ends it.
  // Returns once Trellium listens.
  async run(command) {
    const from = this.log.length;
    this.trellium = spawn('setsid', command, { stdio: ['ignore', 'pipe', 'pipe'] });
    this.trellium.stdout.on('data', (c) => { this.log += c.toString(); });
    this.trellium.stderr.on('data', (c) => { this.log += c.toString(); });
    await until(() => this.log.slice(from).includes('listening on'), 'trellium to listen', 30000, 200);
  }

  // Stops Trellium (SIGTERM, SIGKILL after 20 s); returns its exit status.
  async stopTrellium() {
    if (!this.trellium) return null;
    if (this.trellium.exitCode !== null || this.trellium.signalCode !== null) return this.trellium.exitCode;
    const exited = new Promise((resolve) => this.trellium.once('exit', (c) => resolve(c)));
    this.trellium.kill('SIGTERM');
    const timer = setTimeout(() => this.trellium.kill('SIGKILL'), 20000);
    const status = await exited;
    clearTimeout(timer);
    return status;
  }

  // Waits until every server's host is paired with its controller and both
  // are named in the hosts file and dhcpd.conf; returns MAC -> name.
  async paired(timeout = 120000) {
    const complete = () => this.hostsLines().length === 2 * this.servers &&
      !this.hostsLines().some((l) => l.startsWith('0.0.0.0')) && this.dhcpNames().size === 2 * this.servers;
    await until(complete, `${this.servers} paired servers in the hosts file and dhcpd.conf`, timeout, 200);
    return this.dhcpNames();
  }

  // Stops Trellium (SIGTERM, SIGKILL after 20 s) and takes the lab down.
  // Returns Trellium's exit status; throws when the lab will not go down.
  async stop() {
    const status = await this.stopTrellium();
    try {
      this.script('cluster-down.sh', this.prefix);
    } catch (e) {
      throw new Error('cluster-down failed: ' + e.stderr);
    }
    return status;
  }
}

// Ends a script: stop() ends what it started and gives its exit status,
// which must be expected; then says how it went and exits. With --log FILE
// the process's whole log (log()) is kept.
async function finish(name, code, { stop, expected, log, scratch = null, guard = null }) {
  if (guard) clearTimeout(guard);
  let status = null;
  try { status = await stop(); } catch (e) { console.error(e.message); code = 1; }
  if (code === 0 && status !== expected) { console.error(`${name}: FAILED: exit status ${status}, expected ${expected}`); code = 1; }
  if (code !== 0) console.error(log().slice(-4000));
  if (option('--log')) fs.writeFileSync(option('--log'), log());
  if (scratch) fs.rmSync(scratch, { recursive: true, force: true });
  console.log(code === 0 ? `${name}: passed` : `${name}: failed`);
  process.exit(code);
}

// Ends a script that ran a lab by hand (tests/package/upgrade_test.mjs; the
// scripts here use labScript): closes the browser, stops Trellium (SIGTERM
// gives the restart status 20; a supervisor that ran it stops with 0) and
// the lab, removes the scratch folder.
export async function finishLabScript(name, lab, code,
  { context = null, scratch = null, guard = null, status: expected = 20 } = {}) {
  if (context) await context.close().catch(() => {});
  await finish(name, code, { stop: () => lab.stop(), expected, log: () => lab.log, scratch, guard });
}

// What a script's body gets: its scratch folder, browsers on it and their
// pages, whose script errors fail the script.
class Session {
  constructor(name, url) {
    this.name = name;
    this.url = url;
    this.scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'trl-e2e-'));
    this.contexts = [];
    this.pageErrors = [];
    this.onError = (e) => { console.error('page error:', e.message); this.pageErrors.push(e.message); };
  }
  get context() { return this.contexts[0] || null; }
  // A fresh browser profile (extra: launch options); its pages wait timeout ms.
  async browser(extra = {}, timeout = 20000) {
    const context = await launchChromium(path.join(this.scratch, `profile${this.contexts.length}`),
      { viewport: { width: 1000, height: 700 }, ...extra });
    context.setDefaultTimeout(timeout);
    this.contexts.push(context);
    return context;
  }
  // A signed-in page of the first browser (at url, or the script's own).
  open(url = this.url) { return openPage(this.context, url, this.onError); }
  async closeBrowsers() { for (const c of this.contexts.splice(0)) await c.close().catch(() => {}); }
  checkPages() { check(this.pageErrors.length === 0, 'no script errors in the pages: ' + this.pageErrors.join('; ')); }
  async shoot(page, name, fullPage = false) {
    if (option('--screenshots')) await page.screenshot({ path: path.join(option('--screenshots'), name + '.png'), fullPage });
  }

  // Runs body(this), bounded by seconds, and ends the script (see finish).
  async run(seconds, body, ending) {
    const end = async (code) => {
      await this.closeBrowsers();
      await finish(this.name, code, { ...ending, scratch: this.scratch, guard });
    };
    const guard = setTimeout(() => { console.error(`${this.name}: timed out after ${seconds} s`); end(1); }, seconds * 1000);
    try {
      await body(this);
      this.checkPages();
      await end(0);
    } catch (e) {
      console.error(`${this.name}: FAILED: ${e.stack || e}` + (e.stderr ? '\n' + e.stderr : ''));
      await end(1);
    }
  }
}

// Runs a browser script on lab: body(session) brings the lab up and drives
// the pages; at the end Trellium must stop with the restart status 20 on
// SIGTERM, and the lab goes down.
export const labScript = (name, lab, seconds, body) =>
  new Session(name, lab.url).run(seconds, body, { stop: () => lab.stop(), expected: 20, log: () => lab.log });

// Runs a browser script on Trellium with a system root of its own (made by
// lab/make-sysroot.sh in the scratch folder): body(session) starts it with
// session.start(args) (again, after it stopped), or a supervisor program
// with its own args. At the end it must stop with the restart status 20
// (a supervisor: expected).
export async function rootScript(name, seconds, body, expected = 20) {
  const s = new Session(name, null);
  const resources = option('--resources');
  s.root = path.join(s.scratch, 'root');
  execFileSync(path.join(option('--source'), 'lab/make-sysroot.sh'), [s.root, resources]);
  s.trellium = null;
  s.start = (args = [], program = null) => {
    s.trellium = new Trellium(program || option('--trellium'), program ? args : ['--sysroot', s.root, '--http-address',
      '127.0.0.1', '--docroot', path.join(resources, 'docroot'), '--approot', resources + '/', ...args]);
    return s.trellium;
  };
  await s.run(seconds, body, {
    stop: () => (s.trellium ? s.trellium.stop() : expected), expected, log: () => (s.trellium ? s.trellium.log : ''),
  });
}

// Sends an IPMI chassis command (--off, --reset, ...) to server k's
// controller from the lab's management namespace, as an administrator would.
export function ipmipower(lab, k, action) {
  const env = lab.serverEnv(k);
  lab.inMgmt('ipmipower', '-h', lab.serverFile(k, 'bmc.address'), '-u', env.IPMI_USER, '-p', env.IPMI_PASSWORD,
    '-a', 'MD5', '-l', 'ADMIN', '--driver-type=LAN', '--session-timeout=5000', '--retransmission-timeout=100', action);
}
