// incycler-web's page: a port's switcher as the InCycler window shows it. What it shows comes
// from the owner's state, pushed over the events WebSocket; a press only asks the owner, and
// the buttons then follow what the device reports, never the press itself.
import { Texts } from './texts.js';

const $ = (id) => document.getElementById(id);

// Written only when it changes, so that a screen reader announces a live region's news alone.
function Write(id, text) {
    if ($(id).textContent !== text)
        $(id).textContent = text;
}

// As the window chooses its language: the first one the browser asks for that the page
// speaks; English for a language it does not speak; Japanese when the browser names none.
function ChosenLanguage(languages) {
    for (const name of languages) {
        const language = name.toLowerCase().split(/[-_]/)[0];
        if (language === 'ja' || language === 'en')
            return language;
    }
    return languages.length > 0 ? 'en' : 'ja';
}

const language = ChosenLanguage(navigator.languages || []);

function Text(key, ...values) {
    const written = Texts[key][language === 'en' ? 1 : 0];
    return values.reduce((text, value, i) => text.replace(`%${i + 1}`, value), written);
}

// Reasons the owner gives are its own words (docs/CONTROL.md); the window's one is said in the
// page's language.
function Reason(reply) {
    const message = (reply && reply.message) || '';
    return message === Texts.tooFew[0] ? Text('tooFew') : message;
}

const kPollMs = 2000;
const kUnits = { s: { min: 5, max: 120, ms: 1000 }, min: { min: 1, max: 120, ms: 60000 } };

const page = {
    ports: [],      // the ports an InCycler serves now, as /api/ports writes them
    listed: false,  // the list has come at least once
    port: '',       // the one shown
    state: null,    // its owner's last state
    live: false,    // the events socket brings that state now
    gone: false,    // its owner went away
    lost: false,    // the service cannot be reached
    login: false,   // the service wants the token
    edited: false,  // the rotation's settings were changed here since they followed the owner
    sentUnit: '',   // the unit of the last rotation started here, to show its interval in
    socket: null,
    timer: 0,
};

async function Api(path, body) {
    const options = body === undefined ? {} : {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body),
    };
    try {
        const response = await fetch(path, options);
        return { status: response.status, body: await response.json().catch(() => null) };
    } catch {
        return { status: 0, body: null };
    }
}

function Schedule(ms) {
    clearTimeout(page.timer);
    page.timer = setTimeout(LoadPorts, ms);
}

// The list is asked for again and again: it is how the page finds a port whose owner came
// (back), and how it learns that the service is there again.
async function LoadPorts() {
    const { status, body } = await Api('/api/ports');
    if (status === 401) {
        page.login = true;
        Render();
        $('token').focus();
        return; // until the login
    }
    page.lost = status !== 200;
    if (status === 200) {
        page.ports = body.ports.map((entry) => entry.port);
        page.listed = true;
        const asked = decodeURIComponent(location.hash.slice(1)).toUpperCase();
        if (!page.port)
            page.port = page.ports.includes(asked) ? asked : (page.ports[0] || '');
        const served = page.ports.includes(page.port);
        if (!served && page.state && !page.live)
            page.gone = true;
        if (served && !page.socket)
            Connect();
    }
    Render();
    Schedule(kPollMs);
}

function Connect() {
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const socket = new WebSocket(
        `${scheme}://${location.host}/api/ports/${encodeURIComponent(page.port)}/events`);
    page.socket = socket;
    socket.onmessage = (message) => {
        if (socket !== page.socket)
            return;
        const event = JSON.parse(message.data);
        if (event.event === 'state') {
            page.state = event.state;
            page.live = true;
            page.gone = false;
            page.lost = false;
        } else if (event.event === 'gone') {
            page.gone = true;
            page.live = false;
        }
        Render();
    };
    socket.onclose = () => {
        if (socket !== page.socket)
            return;
        page.socket = null;
        page.live = false;
        // Said at once; the list, asked for soon, tells a lost service from a gone owner.
        page.lost = !page.gone;
        Render();
        Schedule(500);
    };
}

function Drop() {
    if (page.socket)
        page.socket.close();
}

function Choose(port) {
    const socket = page.socket;
    page.socket = null;
    if (socket)
        socket.close();
    Object.assign(page, { port, state: null, live: false, gone: false, edited: false });
    history.replaceState(null, '', `#${port}`);
    Schedule(0);
}

function ShowIntervalLimits() {
    const unit = kUnits[$('unit').value];
    $('every').min = unit.min;
    $('every').max = unit.max;
    $('limits').textContent = `${unit.min}–${unit.max}`;
}

// The settings as the owner holds them: while it rotates those it rotates with, else those
// 開始 would start with.
function FollowSettings(state) {
    const inWindow = state.mode === 'window';
    document.querySelector(`input[name=mode][value=${inWindow ? 'window' : 'all-day'}]`)
        .checked = true;
    if (state.window) {
        $('from').value = state.window.start;
        $('until').value = state.window.end;
    }
    const ms = state.interval_ms;
    let unit = ms > 120000 && ms % 60000 === 0 ? 'min' : 's';
    if (page.sentUnit && ms % kUnits[page.sentUnit].ms === 0)
        unit = page.sentUnit;
    $('unit').value = unit;
    ShowIntervalLimits();
    $('every').value = Math.min(Math.max(Math.round(ms / kUnits[unit].ms), kUnits[unit].min),
        kUnits[unit].max);
    for (const box of document.querySelectorAll('#inputs input'))
        box.checked = state.inputs.includes(Number(box.value));
}

function Render() {
    const state = page.state;
    const served = page.live && state !== null;
    const running = served && state.rotation === 'running';

    $('login').hidden = !page.login;
    $('none').hidden = page.login || !page.listed || page.port !== '';
    $('switcher').hidden = page.login || page.port === '';
    $('where').hidden = page.login || page.port === '';
    Write('status', page.login ? '' :
        page.lost ? Text('lost') : page.gone ? Text('gone', page.port) : '');

    const choices = page.ports.includes(page.port) ? page.ports : [page.port, ...page.ports];
    const select = $('port');
    select.hidden = choices.length < 2;
    if ([...select.options].map((o) => o.value).join() !== choices.join())
        select.replaceChildren(...choices.map((port) => new Option(port, port)));
    select.value = page.port;
    Write('portName', choices.length < 2 ? page.port : '');
    Write('model', state ? state.model.toUpperCase().replace('RSX', 'RSX-') : '');

    // The RSX-24Q has no power commands, so no power button either.
    $('powerRow').hidden = state !== null && state.model === 'rsx24q';
    const on = state !== null && state.power === 'on';
    Write('power', on ? 'ON' : 'OFF');
    $('power').setAttribute('aria-pressed', String(on));
    $('power').disabled = !served;
    for (const button of document.querySelectorAll('.sources button')) {
        const pressed = state !== null && state.input === Number(button.dataset.input);
        button.setAttribute('aria-pressed', String(pressed));
        button.disabled = !served;
    }

    // A rotation started anywhere ends what was being edited here: once it stops, the fields
    // show what 開始 would start with again.
    if (running)
        page.edited = false;
    if (served && !page.edited)
        FollowSettings(state);
    $('term').disabled = !served || running;
    $('autoChange').disabled = !served || running;
    $('start').disabled = !served || running;
    $('stop').disabled = !served || !running;
    Write('runState', Text(running ? 'running' : 'stopped'));
    $('runState').classList.toggle('running', running);
    let mode = '------------------';
    if (running && state.mode === 'window')
        mode = Text(state.window && state.window.open ? 'modeInside' : 'modeOutside');
    else if (running)
        mode = Text('modeAllDay');
    Write('timeMode', mode);
}

function ClearErrors() {
    for (const place of document.querySelectorAll('.error'))
        place.textContent = '';
}

// The owner's answer to a press: nothing to show when it took it (the state follows), else
// its reason next to the control.
async function Command(action, body, placeOf) {
    ClearErrors();
    const { status, body: reply } =
        await Api(`/api/ports/${encodeURIComponent(page.port)}/${action}`, body);
    if (status === 401) {
        page.login = true;
        Render();
    } else if (status !== 200) {
        const reason = status === 0 ? Text('lost') : Reason(reply);
        $(placeOf(reason)).textContent = reason;
    }
}

// Where a refused rotation's reason belongs: next to the setting it names.
function RotationErrorPlace(reason) {
    if (reason.startsWith('--inputs') || reason === Text('tooFew'))
        return 'inputsError';
    if (reason.startsWith('--every'))
        return 'everyError';
    if (reason.startsWith('--between'))
        return 'termError';
    return 'runError';
}

async function StartRotation() {
    const unit = $('unit').value;
    // The window reads an empty interval field as its minimum.
    const every = $('every').value.trim() || String(kUnits[unit].min);
    const inWindow = document.querySelector('input[name=mode]:checked').value === 'window';
    const body = {
        running: true,
        inputs: [...document.querySelectorAll('#inputs input:checked')].map((b) => Number(b.value)),
        every: every + unit,
        between: inWindow ? `${$('from').value}-${$('until').value}` : null,
    };
    // Before the request: the owner's state can come before its answer.
    page.sentUnit = unit;
    await Command('rotation', body, RotationErrorPlace);
}

async function LogIn(submit) {
    submit.preventDefault();
    $('loginError').textContent = '';
    const { status } = await Api('/login', { token: $('token').value.trim() });
    if (status !== 200) {
        $('loginError').textContent = Text(status === 0 ? 'lost' : 'wrongToken');
        return;
    }
    $('token').value = '';
    page.login = false;
    Schedule(0);
}

function Wire() {
    document.documentElement.lang = language;
    document.title = Text('title');
    for (const element of document.querySelectorAll('[data-t]'))
        element.textContent = Text(element.dataset.t);
    for (const element of document.querySelectorAll('[data-label]'))
        element.setAttribute('aria-label', Text(element.dataset.label));

    $('login').addEventListener('submit', LogIn);
    $('port').addEventListener('change', () => Choose($('port').value));
    for (const button of document.querySelectorAll('.sources button')) {
        button.addEventListener('click', () => {
            // As the window's button: the input that is on, pressed again, asks for input 0.
            const input = Number(button.dataset.input);
            Command('input', { input: page.state.input === input ? 0 : input }, () => 'manualError');
        });
    }
    $('power').addEventListener('click',
        () => Command('power', { on: page.state.power !== 'on' }, () => 'manualError'));
    // Only 開始 starts it: Enter in a field does nothing, as in the window.
    $('rotation').addEventListener('submit', (submit) => submit.preventDefault());
    $('start').addEventListener('click', StartRotation);
    $('stop').addEventListener('click',
        () => Command('rotation', { running: false }, () => 'runError'));
    $('rotation').addEventListener('input', () => { page.edited = true; });
    $('unit').addEventListener('change', () => {
        // As the window's unit list: the value starts again at the new unit's minimum.
        ShowIntervalLimits();
        $('every').value = kUnits[$('unit').value].min;
    });
    // A phone that went off the network, or slept, is not left showing a stale state.
    addEventListener('offline', Drop);
    addEventListener('online', () => Schedule(0));
    document.addEventListener('visibilitychange', () => {
        if (!document.hidden)
            Schedule(0);
    });
    Render();
    LoadPorts();
}

Wire();
