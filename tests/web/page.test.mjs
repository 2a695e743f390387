// incycler-web's page in a real browser (Debian's chromium through playwright-core) against a
// real `InCycler --serve` owner on the virtual switcher: the steps of the person in the room,
// each checked on the line and on the page.
//   node page.test.mjs INCYCLER INCYCLER_WEB INCYCLER_SIM
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { after, before, test } from 'node:test';

const rigModule = await import('../../tools/webpage/rig.mjs').catch((error) => error);
if (rigModule instanceof Error || !fs.existsSync(rigModule.kChromium)) {
    console.log(`skipped: ${rigModule.message || `no ${rigModule.kChromium}`}; scripts/test ` +
        'installs chromium and runs npm ci');
    process.exit(77);
}
const { MonotonicMs, StartRig } = rigModule;
const [program, web, sim] = process.argv.slice(2);
let rig;
let page;
const kWait = { timeout: 20000 };

const Text = (selector) => page.textContent(selector);
const ShowsText = (selector, text) => page.waitForFunction(([s, t]) =>
    document.querySelector(s).textContent === t, [selector, text], kWait);
// Exactly that input pressed (0: none), as the page has it from the owner.
const Showing = (input) => page.waitForFunction((n) =>
    [...document.querySelectorAll('.sources button')].every((b) =>
        b.getAttribute('aria-pressed') === String(Number(b.dataset.input) === n)), input, kWait);
const Inputs = (from) => rig.frames.slice(from).filter((f) => f.text.startsWith('SRC'));
// A time the page took (wall time from a monotonic origin, as node's) on the switcher's clock.
const OnSwitcherClock = async (name) => await page.evaluate((n) => window[n], name) -
    (performance.timeOrigin + performance.now() - MonotonicMs());

before(async () => {
    rig = await StartRig({ program, web, sim });
    page = await rig.Page();
});

after(async () => {
    const ends = rig && await rig.Stop();
    // Each ends as its unit would end it: by SIGTERM, with status 0.
    for (const [name, end] of Object.entries(ends || {}))
        assert.deepEqual(end, { code: 0, signal: null }, name);
});

test('the page loads without the token, asks for it once, refuses a wrong one', async () => {
    const files = new Map(); // what the browser loaded of the page, by path
    page.on('response', async (r) => {
        const { pathname } = new URL(r.url());
        if (!pathname.startsWith('/api/') && pathname !== '/login')
            files.set(pathname, (await r.body()).length);
    });
    const response = await page.goto(rig.url);
    assert.match(response.headers()['content-security-policy'], /^default-src 'self'/);
    await page.fill('#token', 'not-the-token-of-this-service');
    await page.click('#login button');
    await ShowsText('#loginError', 'トークンが違います。');
    assert.equal(await page.isHidden('#switcher'), true);
    await page.fill('#token', rig.token);
    await page.click('#login button');
    await page.waitForSelector('.sources [data-input="2"]:enabled', kWait);
    assert.equal(await Text('#portName'), 'COM3');
    assert.equal(await Text('#model'), 'RSX-24P');
    await Showing(1);
    // A phone's width without sideways scrolling, and a name for every control.
    assert.deepEqual(await page.evaluate(() => [document.documentElement.scrollWidth,
        document.documentElement.clientWidth]), [360, 360]);
    const unnamed = /- (button|textbox|checkbox|radio|combobox|spinbutton)(?! ")/;
    assert.doesNotMatch(await page.locator('body').ariaSnapshot(), unnamed);
    const bytes = [...files.values()].reduce((a, b) => a + b, 0);
    console.log(`the page: ${bytes} bytes in ${[...files.keys()]}`);
});

test('IN2: SRC2 on the line, IN2 pressed only once the device has answered', async () => {
    // Timed from playwright's click and from the click event in the page.
    await page.evaluate(() => document.addEventListener('click', () => {
        window.clickedAt = performance.timeOrigin + performance.now();
    }, true));
    const latencies = [];
    for (const silent of [true, false]) {
        await rig.Tell(`mute ${silent ? 'on' : 'off'}`);
        const from = rig.frames.length;
        const clicked = MonotonicMs();
        await page.click('.sources [data-input="2"]');
        const frame = await rig.Frame('SRC2', from);
        const inPage = await OnSwitcherClock('clickedAt');
        latencies.push(`${(frame.ms - clicked).toFixed(1)} (${(frame.ms - inPage).toFixed(1)})`);
        // The owner's poll, which the device answers unless muted.
        await rig.Frame('GET', rig.frames.indexOf(frame));
        if (silent)
            assert.equal(await page.getAttribute('[data-input="2"]', 'aria-pressed'), 'false');
    }
    await Showing(2);
    console.log(`click on IN2 to SRC2 on the line (from the page's click event): ` +
        `${latencies.join(', ')} ms`);
});

test('a rotation of IN1 and IN3 every 5 s, started on the page, rotates; the page follows', async () => {
    await page.check('input[value="all-day"]');
    await page.selectOption('#unit', 's');
    // Refused by the owner's rules: said next to the control, nothing sent.
    for (const [every, ticked, place, says] of [['3', [1, 3], '#everyError', "--every: '3s'"],
        ['5', [1], '#inputsError', "--inputs: '1'"]]) {
        await page.fill('#every', every);
        for (const input of [1, 2, 3])
            await page.setChecked(`#inputs input[value="${input}"]`, ticked.includes(input));
        const from = rig.frames.length;
        await page.click('#start');
        await page.waitForFunction(([s, t]) => document.querySelector(s).textContent.startsWith(t),
            [place, says], kWait);
        assert.deepEqual(Inputs(from), []);
    }
    await page.check('#inputs input[value="3"]');
    const from = rig.frames.length;
    await page.click('#start');
    await ShowsText('#runState', '自動切り替え実行中');
    await ShowsText('#timeMode', 'モード：常時切り替え');
    assert.equal(await page.isDisabled('#every'), true);
    assert.equal(await page.inputValue('#every'), '5');
    const first = await rig.Frame('SRC1', from);
    await Showing(1);
    const second = await rig.Frame('SRC3', from);
    await Showing(3);
    await rig.Frame('SRC1', rig.frames.indexOf(second));
    await Showing(1);
    assert.deepEqual(Inputs(from).slice(0, 3).map((f) => f.text), ['SRC1', 'SRC3', 'SRC1']);
    console.log(`SRC1 to SRC3 on the line: ${(second.ms - first.ms).toFixed(0)} ms`);
    await page.click('#stop');
    await ShowsText('#runState', '自動切り替え停止中');
    await ShowsText('#timeMode', '------------------');
    assert.equal(await page.isEnabled('#every'), true);

    // Inside a window (open but for its last second), in minutes: shown as it was started.
    await page.check('input[value="window"]');
    await page.fill('#from', '00:00:00');
    await page.fill('#until', '23:59:59');
    await page.selectOption('#unit', 'min');
    await page.fill('#every', '2');
    await page.click('#start');
    await page.waitForFunction(() => document.querySelector('#timeMode').textContent
        .startsWith('モード：時間指定（'), null, kWait);
    assert.deepEqual([await page.inputValue('#every'), await page.inputValue('#unit')], ['2', 'min']);
    await page.click('#stop');
    await ShowsText('#runState', '自動切り替え停止中');
});

test('a one-shot from the shell shows on the page without a reload', async () => {
    await page.evaluate(() => new MutationObserver(() => {
        if (document.querySelector('[data-input="2"]').getAttribute('aria-pressed') === 'true')
            window.shownAt ??= performance.timeOrigin + performance.now();
    }).observe(document.querySelector('.sources'), { attributes: true, subtree: true }));
    const from = rig.frames.length;
    const run = await rig.OneShot(['/com03', '/rsx24p', '/in2']);
    assert.equal(run.code, 0, run.said);
    await Showing(2);
    // The device's answer to the poll after the select is what IN2 shows; shownAt is this
    // page's own, never reloaded.
    const poll = await rig.Frame('GET', rig.frames.indexOf(await rig.Frame('SRC2', from)));
    const shown = await OnSwitcherClock('shownAt');
    assert.ok(Number.isFinite(shown), 'the page was loaded anew');
    console.log(`the one-shot's poll on the line to IN2 pressed on the page: ` +
        `${(shown - poll.ms).toFixed(1)} ms`);
});

test('an owner that goes, and a service that drops, are said at once and taken up again', async () => {
    assert.deepEqual(await rig.owner.End(), { code: 0, signal: null });
    await ShowsText('#status', 'COM3 を提供していた InCycler がいなくなりました。戻るのを待っています…');
    assert.equal(await page.isDisabled('[data-input="1"]'), true);
    rig.StartOwner();
    await page.waitForSelector('.sources [data-input="1"]:enabled', kWait);
    await ShowsText('#status', '');

    assert.deepEqual(await rig.service.End(), { code: 0, signal: null });
    await ShowsText('#status', 'incycler-web との接続が切れました。再接続しています…');
    await rig.StartService(new URL(rig.url).host);
    await page.waitForSelector('.sources [data-input="1"]:enabled', kWait);
    await ShowsText('#status', '');
});

test('English where the browser prefers it', async () => {
    const english = await rig.Page({ width: 1280, locale: 'en-US' });
    await english.goto(rig.url); // the cookie is the Japanese page's context's alone
    await english.waitForSelector('#token', kWait);
    assert.equal(await english.textContent('#login button'), 'Log in');
    await english.fill('#token', rig.token);
    await english.click('#login button');
    await english.waitForFunction(() =>
        document.querySelector('#runState').textContent === 'Automatic switching stopped' &&
        document.querySelector('#start').textContent === 'Start', null, kWait);
    assert.equal(await english.getAttribute('html', 'lang'), 'en');
    // The window's words in the page's table are the window's translation's.
    const ts = fs.readFileSync(new URL('../../translations/incycler_en.ts', import.meta.url), 'utf8');
    const window = new Map([...ts.matchAll(/<message>(.*?)<\/message>/gs)].map(([, message]) =>
        ['source', 'translation'].map((tag) => message.match(`<${tag}[^>]*>([^]*?)</${tag}>`)[1])));
    const texts = await english.evaluate(() => import('/texts.js').then((m) => m.Texts));
    const shared = Object.values(texts).filter(([ja]) => window.has(ja));
    assert.ok(shared.length >= 20, `${shared.length} of the window's texts`);
    assert.deepEqual(shared.filter(([ja, en]) => window.get(ja) !== en), []);
});
