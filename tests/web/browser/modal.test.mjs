// A handler waits in MessageBox::exec() for Yes or No; meanwhile the session
// still takes pushes (its lock is free while it waits).
import { run, check } from './harness.mjs';

await run('modal exec', async ({ demo, open }) => {
  const page = await open();
  await page.click('button.ask');
  await page.waitForSelector('.w-dialog >> text=Proceed?');
  demo.command('push while asking');
  await demo.expect('pushed');
  await page.waitForSelector('text=Push: while asking');
  check(await page.isVisible('.w-dialog'), 'the question is still open');
  await page.click('.w-dialog button:has-text("Yes")');
  await page.waitForSelector('text=Answer: Yes');
  check(!(await page.isVisible('.w-dialog')), 'the box closed');
  await page.click('button.ask');
  await page.click('.w-dialog button:has-text("No")');
  await page.waitForSelector('text=Answer: No');
});
