// The page's rig: the virtual switcher, a real `InCycler --serve` owner of its port,
// incycler-web, and Debian's chromium driven by playwright-core (which downloads no browser),
// in a private directory that goes with it. The page's browser test and its screenshots run
// on it.
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

export const kChromium = '/usr/bin/chromium';
// As proven on these machines: no sandbox (root in a container), nothing that reaches out.
export const kChromiumFlags = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
    '--no-first-run', '--disable-background-networking', '--disable-component-update',
    '--disable-sync'];

// Milliseconds on CLOCK_MONOTONIC, the clock the switcher's trace writes (libuv's hrtime).
export function MonotonicMs() {
    return Number(process.hrtime.bigint()) / 1e6;
}

// Waits for check() to hold, asking again as events come in; fails naming what it waited for.
export async function Until(check, what, ms = 20000) {
    const deadline = Date.now() + ms;
    for (;;) {
        const value = await check();
        if (value)
            return value;
        if (Date.now() > deadline)
            throw new Error(`waited ${ms} ms for ${what}`);
        await new Promise((resolve) => setTimeout(resolve, 20));
    }
}

class TChild {
    constructor(name, command, args, env) {
        this.name = name;
        this.said = '';
        this.process = spawn(command, args, { env, stdio: ['pipe', 'pipe', 'pipe'] });
        this.process.stderr.on('data', (data) => { this.said += data; });
        this.ended = new Promise((resolve) => this.process.on('exit',
            (code, signal) => resolve({ code, signal })));
        this.process.on('error', (error) => { this.said += `${error}\n`; });
    }

    async Says(pattern, ms) {
        return Until(() => this.said.match(pattern) || this.process.exitCode !== null && 'ended',
            `${this.name} to say ${pattern}`, ms).then((match) => {
            if (match === 'ended')
                throw new Error(`${this.name} ended: ${this.said}`);
            return match;
        });
    }

    // Ends it as a service manager would, and says how it ended.
    async End() {
        if (this.process.exitCode === null && this.process.signalCode === null)
            this.process.kill('SIGTERM');
        return this.ended;
    }
}

export async function StartRig({ program, web, sim, com = 3 }) {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'incycler-page-'));
    const ports = path.join(dir, 'ports');
    const run = path.join(dir, 'run');
    fs.mkdirSync(ports, { mode: 0o700 });
    fs.mkdirSync(run, { mode: 0o700 });
    // A copy of its own, for the program's log lies beside it.
    const copy = path.join(dir, 'InCycler');
    fs.copyFileSync(program, copy);
    fs.chmodSync(copy, 0o755);
    const env = { ...process.env, INCYCLER_PORT_DIR: ports, INCYCLER_RUN_DIR: run,
        QT_QPA_PLATFORM: 'offscreen', LC_ALL: 'C.UTF-8', LANGUAGE: '' };
    delete env.DISPLAY;
    delete env.WAYLAND_DISPLAY;
    const rig = { dir, env, copy, children: [], frames: [], reports: [], browser: null };
    // Ends what it started, last first, and says how each ended.
    rig.Stop = async () => {
        if (rig.browser)
            await rig.browser.close();
        const ends = {};
        for (const child of [...rig.children].reverse()) {
            const end = await child.End();
            ends[child.name] ??= end; // of the last one of that name started
        }
        fs.rmSync(dir, { recursive: true, force: true });
        return ends;
    };
    try {
        await Started(rig, { web, sim, com, ports });
    } catch (error) {
        const said = rig.children.map((child) => `${child.name}: ${child.said}`).join('');
        await rig.Stop();
        throw new Error(`${error.message}\n${said}`);
    }
    return rig;
}

async function Started(rig, { web, sim, com, ports }) {
    const { dir, env, copy } = rig;

    const switcher = new TChild('incycler-sim', sim,
        ['--model', 'A', '--com', String(com), '--port-dir', ports, '--trace'], env);
    rig.children.push(switcher);
    readline.createInterface({ input: switcher.process.stdout }).on('line', (line) => {
        const frame = line.match(/^(\d+\.\d+) (.*)$/);
        if (frame)
            rig.frames.push({ ms: Number(frame[1]), text: frame[2] });
        else if (line.startsWith('power '))
            rig.reports.push(line);
    });
    await switcher.Says(/as COM\d+ ->/, 20000);

    const port = `com${String(com).padStart(2, '0')}`;
    rig.port = `COM${com}`;
    // The owner and the service can be ended and started again, as their units would be.
    rig.StartOwner = () => {
        rig.owner = new TChild('InCycler --serve', copy,
            ['--serve', '--port', port, '--model', 'rsx24p'], env);
        rig.children.push(rig.owner);
    };
    rig.token = randomBytes(16).toString('hex');
    const tokenFile = path.join(dir, 'token');
    fs.writeFileSync(tokenFile, `${rig.token}\n`, { mode: 0o600 });
    rig.StartService = async (listen = '127.0.0.1:0') => {
        rig.service = new TChild('incycler-web', web, ['--token-file', tokenFile, '--listen', listen],
            env);
        rig.children.push(rig.service);
        rig.url = (await rig.service.Says(/listening on (http:\/\/127\.0\.0\.1:\d+)/, 20000))[1];
    };
    rig.StartOwner();
    await rig.StartService();

    rig.Listed = async () => {
        const response = await fetch(`${rig.url}/api/ports`,
            { headers: { Authorization: `Bearer ${rig.token}` } }).catch(() => null);
        return response && response.ok && (await response.text()).includes(`"${rig.port}"`);
    };
    await Until(rig.Listed, `incycler-web to list ${rig.port}`, 30000);

    rig.browser = await chromium.launch({ executablePath: kChromium, headless: true,
        args: kChromiumFlags });
    // A page of its own size and language (navigator.languages follows the locale).
    rig.Page = async ({ width = 360, height = 720, locale = 'ja-JP' } = {}) => {
        const context = await rig.browser.newContext({ viewport: { width, height }, locale });
        return context.newPage();
    };
    // A control line for the switcher (mute on, delay 500 ...), in force once this resolves:
    // the switcher takes its lines in order, and answers the state line that follows it.
    rig.Tell = (line) => {
        const answered = rig.reports.length + 1;
        switcher.process.stdin.write(`${line}\nstate\n`);
        return Until(() => rig.reports.length >= answered, `the switcher to take ${line}`);
    };
    // The first frame from `from` on whose text is `text`.
    rig.Frame = (text, from, ms) => Until(
        () => rig.frames.slice(from).find((frame) => frame.text === text),
        `${text} on the line`, ms);
    rig.OneShot = (args) => {
        const run = new TChild('InCycler (one-shot)', copy, args, env);
        return run.ended.then((end) => ({ ...end, said: run.said }));
    };
}
