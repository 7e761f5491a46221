// Helpers of the end-to-end scripts: options, checks, bounded waits, Chromium,
// Trellium on a virtual cluster.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
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

// Trellium on a virtual cluster (lab/): start(servers) brings up that many
// simulated servers and runs Trellium in the lab's management namespace on
// the lab's system root, listening on 127.0.0.1 there and forwarded to the
// same port here; it returns once Trellium listens. stop() may come at any
// time (a guard timer's): it ends Trellium (SIGTERM; SIGKILL after 20 s),
// takes the lab down and gives Trellium's exit status (null when it was not
// running). tag keeps the namespaces and ports of scripts running side by
// side apart. From the command line: --source, --build, --resources,
// --trellium.
export function labTrellium(tag) {
  const source = option('--source');
  const resources = option('--resources');
  const offset = [...tag].reduce((sum, c) => sum + c.charCodeAt(0) * 7919, 0);
  const prefix = `trl-${tag}${process.pid % 100000}`;
  const port = 20000 + ((process.pid + offset) % 20000);
  const state = `/run/trellium-lab/${prefix}`;
  const lab = (script, ...args) =>
    execFileSync(path.join(source, 'lab', script), args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
  let log = '';
  let trellium = null;
  return {
    prefix, port, state, lab,
    sysroot: `${state}/sysroot`,
    url: `http://127.0.0.1:${port}/`,
    log: () => log,
    inMgmt: (...args) => execFileSync('ip', ['netns', 'exec', `${prefix}-mgmt`, ...args], { encoding: 'utf8' }),
    // Server k's variables (HOST_MAC, BMC_MAC, IPMI_USER, ...), from the lab's state.
    serverEnv: (k) => Object.fromEntries(fs.readFileSync(`${state}/servers/${k}/env`, 'utf8').split('\n')
      .filter((l) => l.includes('=')).map((l) => {
        const i = l.indexOf('=');
        return [l.slice(0, i), l.slice(i + 1).replace(/^'|'$/g, '')];
      })),
    async start(servers) {
      lab('cluster-up.sh', String(servers), '--prefix', prefix, '--build', option('--build'), '--resources',
        resources, '--forward', String(port), '--drift', '0', '--quiet');
      trellium = spawn('setsid', ['ip', 'netns', 'exec', `${prefix}-mgmt`, option('--trellium'), '--sysroot',
        `${state}/sysroot`, '--http-address', '127.0.0.1', '--http-port', String(port), '--docroot',
        path.join(resources, 'docroot'), '--approot', resources + '/', '--ipmi-retransmission-timeout', '100'],
      { stdio: ['ignore', 'pipe', 'pipe'] });
      trellium.stdout.on('data', (c) => { log += c.toString(); });
      trellium.stderr.on('data', (c) => { log += c.toString(); });
      await until(() => log.includes('listening on'), 'trellium to listen', 30000, 200);
    },
    async stop() {
      let status = null;
      if (trellium && trellium.exitCode === null) {
        const exited = new Promise((resolve) => trellium.once('exit', (c) => resolve(c)));
        trellium.kill('SIGTERM');
        const timer = setTimeout(() => trellium.kill('SIGKILL'), 20000);
        status = await exited;
        clearTimeout(timer);
      }
      lab('cluster-down.sh', prefix);
      return status;
    },
  };
}

// Ends a script that ran a lab: closes the browser, stops Trellium and the
// lab, removes the scratch folder, shows the end of Trellium's log when
// something failed, says how it went and exits. With exitStatus, Trellium
// must have ended with that status.
export async function endLabScript(name, code, { cluster, context, scratch, guard, exitStatus }) {
  if (context) await context.close().catch(() => {});
  let status = null;
  try { status = await cluster.stop(); } catch (e) { console.error('cluster-down failed: ' + e.stderr); code = 1; }
  fs.rmSync(scratch, { recursive: true, force: true });
  clearTimeout(guard);
  if (code === 0 && exitStatus !== undefined && status !== exitStatus) {
    console.error(`${name}: FAILED: trellium exit status ${status}`);
    code = 1;
  }
  if (code !== 0) console.error(cluster.log().slice(-4000));
  console.log(`${name}: ${code === 0 ? 'passed' : 'failed'}`);
  process.exit(code);
}
