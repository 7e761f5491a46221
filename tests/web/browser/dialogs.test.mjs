// A handler waits in MessageBox::exec() for Yes or No while the session still
// takes pushes (its lock is free while it waits); a long handler shows its
// progress through processEvents() and stops when Cancel is pressed.
import { run, check } from './harness.mjs';

await run('modal exec, progress and cancel', async ({ demo, open }) => {
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

  await page.click('button.run');
  // Moving on: any step after the first (a busy machine may skip some).
  await page.waitForFunction(() => {
    const m = (document.querySelector('.w-dialog') || {}).textContent?.match(/Step (\d+) of 40/);
    return m && Number(m[1]) >= 2;
  });
  const width = await page.$eval('.w-dialog .w-progress-bar', (e) => parseFloat(e.style.width));
  check(width > 0, 'the bar moved');
  await page.click('.w-dialog button:has-text("Cancel")');
  const text = await (await page.waitForSelector('text=/Job: cancelled after \\d+ steps/')).textContent();
  const steps = Number(text.match(/after (\d+)/)[1]);
  check(steps >= 1 && steps < 40, 'stopped early: ' + text);
  check(!(await page.isVisible('.w-dialog')), 'dialog closed');
});
