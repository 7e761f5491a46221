// The page loads whole, a click goes to the server and back, and a dropped
// WebSocket comes back by itself with the whole page again, so a page that
// lost part of itself is whole again.
import { run, check } from './harness.mjs';

await run('load, click and reconnect', async ({ open }) => {
  const page = await open();
  check((await page.title()) === 'Toolkit demo', 'title');
  check((await page.textContent('.clicks')) === 'Clicks: 0', 'first page rendered');
  await page.click('button.click');
  await page.waitForSelector('text=Clicks: 1');
  await page.evaluate(() => {
    document.querySelector('.clicks').remove();
    window.trlweb.drop();
  });
  await page.waitForFunction(() => window.trlweb.state.connects >= 2 && window.trlweb.state.connected);
  await page.waitForSelector('text=Clicks: 1');
  await page.click('button.click');
  await page.click('button.click');
  await page.waitForSelector('text=Clicks: 3');
  check((await page.locator('.clicks').count()) === 1, 'one counter');
});
