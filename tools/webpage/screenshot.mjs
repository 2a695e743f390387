// Renders incycler-web's page in the real browser while the owner rotates through IN1 and IN3,
// whole, on a phone (360 px wide, Japanese) and on a desk (1280 px, English). The time fields
// are the browser's own and speak its language: Debian's chromium without chromium-l10n
// writes them in English (08:00:00 AM).
//   node screenshot.mjs INCYCLER INCYCLER_WEB INCYCLER_SIM OUTPUT_DIR
import path from 'node:path';
import { StartRig } from './rig.mjs';

const [program, web, sim, out] = process.argv.slice(2);
const rig = await StartRig({ program, web, sim });
try {
    const started = await fetch(`${rig.url}/api/ports/${rig.port}/rotation`, {
        method: 'POST',
        headers: { Authorization: `Bearer ${rig.token}`, 'Content-Type': 'application/json' },
        body: JSON.stringify({ running: true, inputs: [1, 3], every: '60s', between: null }),
    });
    if (!started.ok)
        throw new Error(`the rotation did not start: ${await started.text()}`);
    for (const [width, locale, file] of [[360, 'ja-JP', 'web-page-360.png'],
        [1280, 'en-US', 'web-page-1280.png']]) {
        const page = await rig.Page({ width, height: 640, locale });
        await page.goto(rig.url);
        await page.fill('#token', rig.token);
        await page.click('#login button');
        await page.waitForFunction(() =>
            document.querySelector('#runState').classList.contains('running') &&
            document.querySelector('[data-input="1"]').getAttribute('aria-pressed') === 'true' &&
            document.querySelector('#power').getAttribute('aria-pressed') === 'true');
        await page.screenshot({ path: path.join(out, file), fullPage: true });
        console.log(`wrote ${path.join(out, file)}`);
    }
} finally {
    await rig.Stop();
}
