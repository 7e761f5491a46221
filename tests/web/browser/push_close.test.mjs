// A back-end push (UpdateLock + triggerUpdate from the server's main thread)
// reaches every open page, text being typed survives the update, and closing
// a page ends its session on the server.
import { run, until, check } from './harness.mjs';

await run('push to two pages, then close them', async ({ demo, open }) => {
  const a = await open();
  const b = await open();
  check((await demo.sessions()) === 2, 'two sessions');
  await a.click('input.edit');
  await a.keyboard.type('half typed');
  demo.command('push hello');
  await demo.expect('pushed');
  await a.waitForSelector('text=Push: hello');
  await b.waitForSelector('text=Push: hello');
  check((await a.inputValue('input.edit')) === 'half typed', 'typed text kept');
  check(await a.evaluate(() => document.activeElement.classList.contains('edit')), 'focus kept');
  demo.command('push <b>not bold</b>');
  await b.waitForSelector('text=Push: <b>not bold</b>');
  check((await b.locator('.pushed b').count()) === 0, 'pushed text is escaped');
  await a.close();
  await until(async () => (await demo.sessions()) === 1, 'one session left');
  await b.close();
  await until(async () => (await demo.sessions()) === 0, 'no session left');
});
