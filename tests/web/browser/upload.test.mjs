// Uploading a chosen file, refusing one over the size limit, and downloading
// the session's report.
import { run } from './harness.mjs';
import fs from 'node:fs';
import path from 'node:path';

await run('upload and download', async ({ open, scratch }) => {
  const small = path.join(scratch, 'small.deb');
  const big = path.join(scratch, 'big.deb');
  fs.writeFileSync(small, 'x'.repeat(500));
  fs.writeFileSync(big, 'x'.repeat(5000));
  const page = await open();
  await page.setInputFiles('.upload input[type=file]', small);
  await page.waitForSelector('button.send:not([disabled])');
  await page.click('button.send');
  await page.waitForSelector('text=Upload: small.deb 500 bytes');
  await page.setInputFiles('.upload input[type=file]', big);
  await page.click('button.send');
  await page.waitForSelector('text=Upload: big.deb too large');
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('a.report')]);
  const saved = path.join(scratch, 'report-copy.txt');
  await download.saveAs(saved);
  if (fs.readFileSync(saved, 'utf8') !== 'the report\n') throw new Error('wrong download');
}, { demoArgs: ['--max-request-size', '2k'] });
