// Runs the demo server and headless Chromium for one browser test, with a
// bound on everything: a test that hangs fails instead.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { check, launchChromium, option, signIn, until } from '../../e2e/common.mjs';

export { check, until };

export class Demo {
  constructor(program, args) {
    this.lines = [];
    this.waiters = [];
    this.child = spawn(program, args, { stdio: ['pipe', 'pipe', 'inherit'] });
    readline.createInterface({ input: this.child.stdout }).on('line', (line) => {
      this.lines.push(line);
      this.waiters = this.waiters.filter((w) => !w(line));
    });
  }

  // The next line starting with prefix (one seen earlier counts once).
  expect(prefix, timeout = 10000) {
    const i = this.lines.findIndex((l) => l.startsWith(prefix));
    if (i >= 0) return Promise.resolve(this.lines.splice(i, 1)[0]);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`demo never said "${prefix}"`)), timeout);
      this.waiters.push((line) => {
        if (!line.startsWith(prefix)) return false;
        clearTimeout(timer);
        this.lines.splice(this.lines.indexOf(line), 1);
        resolve(line);
        return true;
      });
    });
  }

  command(line) {
    this.child.stdin.write(line + '\n');
  }

  async sessions() {
    this.command('count');
    return Number((await this.expect('sessions ')).split(' ')[1]);
  }

  async stop() {
    if (this.child.exitCode !== null) return;
    this.command('quit');
    const ended = new Promise((resolve) => this.child.once('exit', resolve));
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 10000);
    await ended;
    clearTimeout(timer);
  }
}

// The one account the demo server lets in (its --sign-in).
export const account = { user: 'tester', password: 'secret words' };

// Runs body({demo, context, url, open}) with everything set up and torn down.
export async function run(name, body, { demoArgs = [] } = {}) {
  const guard = setTimeout(() => {
    console.error(`${name}: timed out after 100 s`);
    process.exit(1);
  }, 100000);
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'trlweb-browser-'));
  const docroot = path.join(scratch, 'www');
  fs.mkdirSync(docroot);
  const demo = new Demo(option('--demo'), ['--http-address', '127.0.0.1', '--http-port', '0', '--docroot', docroot,
    '--sign-in', `${account.user}:${account.password}`, ...demoArgs]);
  let context = null;
  let failed = false;
  try {
    const port = Number((await demo.expect('listening ')).split(' ')[1]);
    const url = `http://127.0.0.1:${port}/`;
    context = await launchChromium(path.join(scratch, 'profile'));
    context.setDefaultTimeout(10000);
    // Every test opens its pages here: signed in (once per browser), live.
    const open = async () => {
      const page = await context.newPage();
      page.on('pageerror', (e) => { console.error('page error:', e.message); failed = true; });
      await page.goto(url);
      if (await page.locator('form[action="/_w/signin"]').count()) await signIn(page, account);
      else await page.waitForFunction(() => window.trlweb && window.trlweb.state.connected);
      return page;
    };
    await body({ demo, context, url, open, scratch });
    if (failed) throw new Error('the page reported script errors');
    console.log(`${name}: passed`);
  } catch (e) {
    failed = true;
    console.error(`${name}: FAILED: ${e.stack || e}`);
  } finally {
    if (context) await context.close().catch(() => {});
    await demo.stop();
    fs.rmSync(scratch, { recursive: true, force: true });
    clearTimeout(guard);
  }
  process.exit(failed ? 1 : 0);
}
