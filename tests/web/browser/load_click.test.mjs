// The page loads whole and a click goes to the server and back.
import { run, check } from './harness.mjs';

await run('load and click', async ({ open }) => {
  const page = await open();
  check((await page.title()) === 'Toolkit demo', 'title');
  check((await page.textContent('.clicks')) === 'Clicks: 0', 'first page rendered');
  await page.click('button.click');
  await page.waitForSelector('text=Clicks: 1');
  await page.click('button.click');
  await page.click('button.click');
  await page.waitForSelector('text=Clicks: 3');
});
