// The pictures in docs/: every tab of Trellium on an 8-server lab, in a wide
// (1400 px) and a narrow (640 px) window, written to DIR as wide-TAB.png and
// narrow-TAB.png. Not a test: run it by hand after the page changes.
//   node screenshots.mjs --trellium BIN --resources DIR --source DIR --build DIR --out DIR
import { LabCluster, labScript, option, showTab } from './common.mjs';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const lab = new LabCluster('shot', 8, { drift: 5 });
await labScript('shots', lab, 900, async (session) => {
  await lab.start();
  await lab.paired();
  await sleep(15000);  // a first sensor pass and power poll
  for (const [label, width] of [['wide', 1400], ['narrow', 640]]) {
    await session.browser({ viewport: { width, height: 900 } });
    const page = await session.open();
    for (const tab of ['Dashboard', 'Servers', 'Monitoring', 'Fabric geometry', 'Wiring', 'Settings', 'Deployment']) {
      await showTab(page, tab);
      await sleep(tab === 'Monitoring' ? 12000 : 1500);
      await page.screenshot({ path: `${option('--out')}/${label}-${tab.split(' ')[0].toLowerCase()}.png`, fullPage: true });
    }
    await session.closeBrowsers();
  }
});
