// A dropped WebSocket comes back by itself and the server sends the whole
// page again, so a page that lost part of itself is whole again.
import { run, check } from './harness.mjs';

await run('reconnect', async ({ open }) => {
  const page = await open();
  await page.click('button.click');
  await page.waitForSelector('text=Clicks: 1');
  await page.evaluate(() => {
    document.querySelector('.clicks').remove();
    window.trlweb.drop();
  });
  await page.waitForFunction(() => window.trlweb.state.connects >= 2 && window.trlweb.state.connected);
  await page.waitForSelector('text=Clicks: 1');
  await page.click('button.click');
  await page.waitForSelector('text=Clicks: 2');
  check((await page.locator('.clicks').count()) === 1, 'one counter');
});
