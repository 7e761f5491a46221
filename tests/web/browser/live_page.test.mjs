// One page's life: it loads whole, a click goes to the server and back, and a
// dropped WebSocket comes back by itself with the whole page again (so a page
// that lost part of itself is whole again). A back-end push (UpdateLock +
// triggerUpdate from the server's main thread) reaches every open page, text
// being typed survives the update, and closing a page ends its session.
import { run, until, check } from './harness.mjs';

await run('load, click, reconnect, push and close', async ({ demo, open }) => {
  const a = await open();
  const b = await open();
  check((await a.title()) === 'Toolkit demo', 'title');
  check((await a.textContent('.clicks')) === 'Clicks: 0', 'first page rendered');
  check((await demo.sessions()) === 2, 'two sessions');
  await a.click('button.click');
  await a.waitForSelector('text=Clicks: 1');
  await a.evaluate(() => {
    document.querySelector('.clicks').remove();
    window.trlweb.drop();
  });
  await a.waitForFunction(() => window.trlweb.state.connects >= 2 && window.trlweb.state.connected);
  await a.waitForSelector('text=Clicks: 1');
  await a.click('button.click');
  await a.click('button.click');
  await a.waitForSelector('text=Clicks: 3');
  check((await a.locator('.clicks').count()) === 1, 'one counter');

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
