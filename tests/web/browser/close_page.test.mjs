// Closing a page ends its session on the server.
import { run, until, check } from './harness.mjs';

await run('close page', async ({ demo, open }) => {
  const a = await open();
  const b = await open();
  check((await demo.sessions()) === 2, 'two sessions');
  await a.close();
  await until(async () => (await demo.sessions()) === 1, 'one session left');
  await b.close();
  await until(async () => (await demo.sessions()) === 0, 'no session left');
});
