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
export function launchChromium(profile, extra = {}) {
  return chromium.launchPersistentContext(profile, {
    executablePath: '/usr/lib/chromium/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
    ...extra,
  });
}

// Opens Trellium's page at url in a new tab of context and waits until its
// socket is up. Every script opens its pages through here, so whatever a
// page needs before it is usable is done in one place. A script error in
// the page is passed to onError.
export async function openPage(context, url, onError = null) {
  const page = await context.newPage();
  if (onError) page.on('pageerror', onError);
  await page.goto(url);
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
  async port() {
    const line = await until(() => /listening on [^:\n]+:(\d+)/.exec(this.log), 'the listening line');
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
