// The pictures in docs/: every tab of Trellium on an 8-server lab, in a wide
// (1400 px) and a narrow (640 px) window, written to DIR as wide-TAB.png and
// narrow-TAB.png. Not a test: run it by hand after the page changes.
//   node screenshots.mjs --trellium BIN --resources DIR --source DIR --build DIR --out DIR
import { LabCluster, finishLabScript, launchChromium, openPage, option, showTab } from './common.mjs';
const out = option('--out');
const lab = new LabCluster('shot', 8, { drift: 5 });
let context = null;
try {
  await lab.start();
  await lab.paired();
  await new Promise((r) => setTimeout(r, 15000));  // a first sensor pass and power poll
  for (const [label, width] of [['wide', 1400], ['narrow', 640]]) {
    context = await launchChromium(`${out}/profile-${label}`, { viewport: { width, height: 900 } });
    const page = await openPage(context, lab.url);
    for (const tab of ['Dashboard', 'Servers', 'Monitoring', 'Fabric geometry', 'Wiring', 'Settings', 'Deployment']) {
      await showTab(page, tab);
      await new Promise((r) => setTimeout(r, tab === 'Monitoring' ? 12000 : 1500));
      await page.screenshot({ path: `${out}/${label}-${tab.split(' ')[0].toLowerCase()}.png`, fullPage: true });
    }
    await context.close();
  }
  context = null;
  await finishLabScript('shots', lab, 0, {});
} catch (e) {
  console.error(e);
  await finishLabScript('shots', lab, 1, { context });
}
