// The browser client: pairs from the setup link's browser form, then lists and opens coding sessions.
// pairing-link.js is imported first: it takes the pairing ticket out of the address before anything else runs.
import { isExpired, scannedLink } from './pairing-link.js';
import './constructed-styles.js';
import { byId, localTime, setText, showScreen } from './dom.js';
import { defaultDeviceName, forgetDevice, loadDevice, newDeviceId, saveDevice } from './device-store.js';
import { AgentConnection } from './agent-connection.js';
import { decodeAgentKey } from './noise.js';
import { HomeView } from './home-view.js';
import { TerminalView } from './terminal-view.js';

const agentUrl = `${window.location.protocol === 'https:' ? 'wss' : 'ws'}://${window.location.host}/ws`;
// The session this tab shows, so that a reload comes back to it (this tab only).
const openSessionKey = 'ferrowyn.openSession';
const scanHelp = 'On the computer, show the setup link in its browser form (in Ferrowyn Host\'s window, or with '
  + '"ferrowyn-host --link --browser --qr" without one), and scan its QR code with this device\'s camera.';

const pairAgain = `Next: pair anew. ${scanHelp}`;

const messages = {
  unpaired: ['This browser is not paired yet', 'This page pairs from the setup code Ferrowyn Host shows on the computer.', scanHelp],
  incomplete: ['This link is incomplete', 'The address this page was opened with lacks its pairing code, or it was cut short.', scanHelp],
  expired: ['This code has expired', 'A setup code is valid for 15 minutes.', `Show the setup link again and scan the new code. ${scanHelp}`],
  'pairing-refused': ['This code was already used', 'Scan the new code on the computer. A code pairs one device: the computer shows a new one after each pairing, and when a device was revoked or the pairing renewed.', scanHelp],
  refused: ['This computer no longer accepts this browser', 'This browser was removed from the computer\'s trusted devices while it was away.', pairAgain],
  revoked: ['This tablet was removed from the computer', 'The computer\'s owner removed this browser from its trusted devices: its sessions there have ended and it cannot connect any more.', pairAgain],
  'other-computer': ['This is not the computer you paired with', 'Its key does not match the one this browser paired with: its pairing was reset, or another computer answers at this address. Scan the new code on the computer.', scanHelp],
  keyless: ['This code is from an older version', 'Scan the new code on the computer: this browser needs the computer\'s key, which the new codes carry, to be sure it talks to that computer alone.', scanHelp],
  'browser-too-old': ['This browser is too old for the terminal', 'The terminal needs a browser that can style a page without inline styles (constructed style sheets).', 'Update the browser: Safari 16.4 (iPadOS 16.4) or later, Chrome 73 or later, Firefox 101 or later.'],
  storage: ['This browser cannot keep the pairing', 'Its storage for this page is turned off or full (private browsing can do this), so it could not keep the secret the computer issued.', 'Allow this site to store data, then scan the setup code again.'],
};

// What a page of an earlier version kept for a pairing that was reset, which now comes with a new key.
messages.reset = messages['other-computer'];

let device = loadDevice();
let pairing = null;
// A link opened in a browser that is paired already: used only if the computer no longer accepts this browser.
let fallbackLink = null;

function showMessage(kind, detail = '') {
  const [title, text, help] = messages[kind];
  setText('message-title', title);
  setText('message-text', detail ? `${text} ${detail}` : text);
  setText('message-help', help);
  const action = byId('message-action');
  action.hidden = !device;
  action.textContent = 'Forget this computer';
  showScreen('message');
  byId('banner').hidden = true;
}

// The key the connection holds the agent to: the link's while pairing from it, then the one pinned with it.
function agentKey() {
  return pairing ? pairing.agentKey : device?.agentKey;
}

function authParams() {
  if (pairing) {
    // Every attempt is a new identity: an attempt whose answer never came may have been recorded already.
    pairing.deviceId = newDeviceId();
    const { ticket, deviceId, deviceName } = pairing;
    return { ticket, deviceId, deviceName };
  }
  const { token, hostId, deviceId, deviceName, deviceSecret } = device;
  return { token, hostId, deviceId, deviceName, deviceSecret };
}

// Stores an issued device secret before anything else happens; a failure to store ends the conversation. A
// ticket's pairing is answered with the host token and host id too: what this browser comes back with.
function authenticated(result, params) {
  if (pairing) {
    if (!['deviceSecret', 'token', 'hostId'].every((name) => typeof result[name] === 'string')) {
      throw new Error('an incomplete pairing');
    }
    device = {
      token: result.token, hostId: result.hostId, deviceId: params.deviceId, deviceName: params.deviceName,
      deviceSecret: result.deviceSecret, agentKey: pairing.agentKey, pairedAt: new Date().toISOString(),
    };
    saveDevice(device);
    pairing = null;
  } else if (typeof result.deviceSecret === 'string') {
    device = { ...device, deviceSecret: result.deviceSecret };
    saveDevice(device);
  }
}

const connection = new AgentConnection(agentUrl, agentKey, authParams, authenticated);
const terminalView = new TerminalView(connection, {
  host: byId('terminal-host'), title: byId('terminal-title'), status: byId('terminal-status'), keys: byId('key-bar'),
  end: byId('terminal-end'), sizeNotice: byId('terminal-size-notice'),
});
const homeView = new HomeView(connection, {
  open: (session) => openSession(session),
  start: async (folder, program) => {
    showScreen('terminal');
    try {
      await terminalView.open(folder, program);
    } catch (error) {
      showHome();
      throw error;
    }
    window.sessionStorage.setItem(openSessionKey, terminalView.sessionId);
    terminalView.focus();
  },
});

async function openSession(session) {
  window.sessionStorage.setItem(openSessionKey, session.id);
  showScreen('terminal');
  await terminalView.show(session);
  terminalView.focus();
}

function showHome() {
  window.sessionStorage.removeItem(openSessionKey);
  showScreen('home');
  setText('home-device', device ? `Paired as ${device.deviceName}` : '');
  homeView.refresh();
}

let firstOnline = true;
async function online() {
  byId('banner').hidden = true;
  fallbackLink = null;
  if (!firstOnline) {
    if (document.body.dataset.screen === 'home') homeView.refresh();
    return;
  }
  firstOnline = false;
  const wanted = window.sessionStorage.getItem(openSessionKey);
  if (wanted) {
    try {
      const { sessions } = await connection.request('sessions.list');
      const session = (sessions ?? []).find((each) => each.id === wanted);
      if (session) {
        await openSession(session);
        return;
      }
    } catch {
      // Listed on the home screen instead.
    }
  }
  showHome();
}

function showBanner(state) {
  const text = state === 'stopped'
    ? 'The computer stopped hosting, or is starting again. This page reconnects when it hosts again.'
    : !navigator.onLine
      ? 'This device is offline. The page reconnects when the network is back.'
      : 'The computer does not answer. Trying again…';
  setText('banner-text', text);
  byId('banner').hidden = false;
}

connection.addEventListener('statechange', ({ detail }) => {
  if (detail.state === 'online') online();
  else if (detail.state === 'offline' || detail.state === 'stopped') showBanner(detail.state);
  else if (detail.state === 'ended' && detail.reason !== 'forgotten') {
    const link = fallbackLink;
    fallbackLink = null;
    if (device && detail.reason !== 'storage') {
      device = { ...device, ended: detail.reason };
      try {
        saveDevice(device);
      } catch {
        // Said on screen all the same.
      }
    }
    window.sessionStorage.removeItem(openSessionKey);
    // Refused, or held to a key this computer no longer has: the link opened with is the way back.
    if (link && ['refused', 'other-computer', 'keyless'].includes(detail.reason)) pairOrExplain(link);
    else showMessage(detail.reason in messages ? detail.reason : 'refused');
  }
});

byId('banner-retry').addEventListener('click', () => connection.reconnectNow());
byId('terminal-back').addEventListener('click', () => {
  terminalView.leave();
  showHome();
});
byId('terminal-end').addEventListener('click', async () => {
  if (!window.confirm('End this session? The program on the computer is stopped.')) return;
  try {
    await terminalView.end();
  } catch (error) {
    setText('terminal-status', `Cannot end it: ${error.message}`);
  }
});
for (const [id, step] of [['terminal-smaller', -1], ['terminal-larger', 1]]) {
  byId(id).addEventListener('click', () => {
    terminalView.changeTextSize(step);
    terminalView.focus();
  });
}
byId('terminal-copy').addEventListener('click', async () => {
  const text = terminalView.selection();
  if (text) await copyText(text);
  terminalView.focus();
});
// Reading the clipboard needs https and the user's leave; where either is missing, a field the system's own
// paste fills, sent as one input.
byId('terminal-paste').addEventListener('click', async () => {
  if (navigator.clipboard?.readText) {
    try {
      terminalView.paste(await navigator.clipboard.readText());
      terminalView.focus();
      return;
    } catch {
      // The field instead.
    }
  }
  byId('paste-form').hidden = false;
  byId('paste-text').focus();
});
byId('paste-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const text = byId('paste-text').value;
  closePasteField();
  if (text) terminalView.paste(text);
});
byId('paste-cancel').addEventListener('click', closePasteField);
function closePasteField() {
  byId('paste-text').value = '';
  byId('paste-form').hidden = true;
  terminalView.focus();
}
for (const id of ['forget', 'message-action']) {
  byId(id).addEventListener('click', () => {
    if (!window.confirm('Forget this computer? This browser will need a new setup code to connect again. '
      + 'The computer lists it among its devices until it is revoked there.')) return;
    connection.end('forgotten');
    forgetDevice();
    device = null;
    showMessage('unpaired');
  });
}

// The clipboard API needs https; on the local network (http) a selected text area and the copy command do.
async function copyText(text) {
  if (navigator.clipboard?.writeText) {
    try {
      await navigator.clipboard.writeText(text);
      return;
    } catch {
      // Fall through to the older way.
    }
  }
  const proxy = byId('clipboard-proxy');
  proxy.value = text;
  proxy.select();
  document.execCommand('copy');
  proxy.value = '';
}

// The on-screen keyboard shrinks the visual viewport only: the terminal follows it, so the key bar stays above
// the keyboard.
if (window.visualViewport) {
  const follow = () => document.documentElement.style.setProperty('--viewport-height', `${window.visualViewport.height}px`);
  window.visualViewport.addEventListener('resize', follow);
  follow();
}

function pair(link) {
  showScreen('pair');
  byId('device-name').value = defaultDeviceName();
  setText('pair-expiry', `This code is valid until ${localTime(link.expiresAtTime)}.`);
  const folders = link.folders === null ? '' : ` · ${link.folders === 1 ? '1 pinned folder' : `${link.folders} pinned folders`}`;
  setText('pair-computer', link.computer ? `Computer: ${link.computer}${folders}` : '');
  byId('pair-computer').hidden = !link.computer;
  byId('pair-form').addEventListener('submit', (event) => {
    event.preventDefault();
    if (isExpired(link)) {
      showMessage('expired');
      return;
    }
    const deviceName = byId('device-name').value.trim() || defaultDeviceName();
    byId('pair-button').disabled = true;
    setText('pair-error', '');
    pairing = { ticket: link.ticket, deviceName, agentKey: link.agentKey };
    device = null;
    connection.start();
  });
}

function pairOrExplain(link) {
  if (!link.agentKey) showMessage('keyless');
  else if (!decodeAgentKey(link.agentKey)) showMessage('incomplete');
  else if (isExpired(link)) showMessage('expired');
  else pair(link);
}

function begin() {
  const link = scannedLink;
  if (!('adoptedStyleSheets' in Document.prototype)) {
    showMessage('browser-too-old');
    return;
  }
  if (link && !link.complete) showMessage('incomplete');
  else if (link && device && !device.ended) {
    // Paired already (the link cannot tell with which computer's pairing): this browser connects as that
    // device, and pairs anew only if it is refused.
    fallbackLink = link;
    connection.start();
  } else if (link) pairOrExplain(link);
  else if (!device) showMessage('unpaired');
  else if (device.ended) showMessage(device.ended in messages ? device.ended : 'refused');
  else connection.start();
}

begin();
