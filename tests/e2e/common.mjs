// Helpers of the end-to-end scripts: options, checks, bounded waits, Chromium.
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
