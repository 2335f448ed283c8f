// The keys a tablet's on-screen keyboard lacks, in a bar under the terminal: Esc, Tab, the modifiers, the arrows,
// Home/End and the page keys, a few symbols, and F1-F12 behind the Fn key. A modifier applies to the next key
// typed (on the bar or the keyboard); tapped twice quickly it stays on until tapped again. The bar never takes
// the focus from the terminal, so the on-screen keyboard stays up.

// Two taps on a modifier this close together lock it.
const doubleTapMs = 400;

// Each key's escape sequence as xterm sends it: `csi` keys end "ESC [ <code> ~", `final` keys "ESC [ <final>"
// (or "ESC O <final>" where the program asked for application cursor keys), `ss3` keys "ESC O <final>"; with a
// modifier all of them take the form "ESC [ <code or 1> ; <modifier> <final>".
const mainKeys = [
  { label: 'Esc', data: '\x1b', name: 'Escape' },
  { label: 'Tab', data: '\t', name: 'Tab' },
  { label: 'Ctrl', modifier: 'ctrl', name: 'Control' },
  { label: 'Alt', modifier: 'alt', name: 'Alt (Option)' },
  { label: 'Shift', modifier: 'shift', name: 'Shift' },
  { label: '←', final: 'D', name: 'Left' },
  { label: '↑', final: 'A', name: 'Up' },
  { label: '↓', final: 'B', name: 'Down' },
  { label: '→', final: 'C', name: 'Right' },
  { label: 'Home', final: 'H', name: 'Home' },
  { label: 'End', final: 'F', name: 'End' },
  { label: 'PgUp', csi: 5, name: 'Page Up' },
  { label: 'PgDn', csi: 6, name: 'Page Down' },
  { label: 'Fn', toggle: true, name: 'Function keys' },
  { label: '|', data: '|' },
  { label: '~', data: '~' },
  { label: '/', data: '/' },
  { label: '\\', data: '\\' },
  { label: '-', data: '-' },
  { label: '_', data: '_' },
  { label: '`', data: '`' },
  { label: ':', data: ':' },
];
const functionKeys = [
  { ss3: 'P' }, { ss3: 'Q' }, { ss3: 'R' }, { ss3: 'S' },
  { csi: 15 }, { csi: 17 }, { csi: 18 }, { csi: 19 }, { csi: 20 }, { csi: 21 }, { csi: 23 }, { csi: 24 },
].map((key, index) => ({ ...key, label: `F${index + 1}` }));

// What Ctrl with `data` sends: the control character of a letter or of @ [ \ ] ^ _ ?, else `data` as it is.
export function withControl(data) {
  if (data.length !== 1) return data;
  const code = data.toUpperCase().charCodeAt(0);
  if (code >= 0x40 && code <= 0x5f) return String.fromCharCode(code - 0x40);
  if (data === '?') return '\x7f';
  if (data === ' ') return '\x00';
  return data;
}

// What a key sends with the modifiers held (`{ctrl, alt, shift}`), as xterm encodes it.
export function keySequence(key, { ctrl = false, alt = false, shift = false } = {}, applicationCursor = false) {
  const modifier = 1 + (shift ? 1 : 0) + (alt ? 2 : 0) + (ctrl ? 4 : 0);
  if (key.csi) return modifier > 1 ? `\x1b[${key.csi};${modifier}~` : `\x1b[${key.csi}~`;
  if (key.final || key.ss3) {
    const final = key.final ?? key.ss3;
    if (modifier > 1) return `\x1b[1;${modifier}${final}`;
    return key.ss3 || applicationCursor ? `\x1bO${final}` : `\x1b[${final}`;
  }
  if (key.data === '\t' && shift) return alt ? '\x1b\x1b[Z' : '\x1b[Z';
  let data = key.data;
  if (shift && data.length === 1) data = data.toUpperCase();
  if (ctrl) data = withControl(data);
  return alt ? `\x1b${data}` : data;
}

export class KeyBar {
  // `send(data)` types into the session; `applicationCursor()` tells whether the program asked for the arrows'
  // application form (ESC O A rather than ESC [ A); `refocus()` gives the focus back to the terminal.
  constructor(container, { send, applicationCursor, refocus }) {
    this.send = send;
    this.applicationCursor = applicationCursor;
    this.modifiers = { ctrl: 'off', alt: 'off', shift: 'off' };
    this.buttons = {};
    container.replaceChildren();
    const row = (keys, className) => {
      const element = document.createElement('div');
      element.className = className;
      for (const key of keys) element.append(this.button(key, refocus));
      container.append(element);
      return element;
    };
    row(mainKeys, 'key-row');
    this.functionRow = row(functionKeys, 'key-row function-keys');
    this.functionRow.hidden = true;
  }

  button(key, refocus) {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'key';
    button.textContent = key.label;
    if (key.name) button.setAttribute('aria-label', key.name);
    if (key.modifier || key.toggle) button.setAttribute('aria-pressed', 'false');
    if (key.modifier) this.buttons[key.modifier] = button;
    if (key.toggle) this.fnButton = button;
    // Taking no focus keeps the on-screen keyboard up.
    button.addEventListener('pointerdown', (event) => event.preventDefault());
    button.addEventListener('mousedown', (event) => event.preventDefault());
    button.addEventListener('click', () => {
      if (key.modifier) this.tapModifier(key.modifier);
      else if (key.toggle) this.toggleFunctionKeys();
      else this.send(this.consume((held) => keySequence(key, held, this.applicationCursor())));
      refocus();
    });
    return button;
  }

  // Keys typed on the keyboard pass here, so that the bar's modifiers apply to them too.
  filter(data) {
    if (!Object.values(this.modifiers).some((state) => state !== 'off')) return data;
    if (data.length !== 1) return data;
    return this.consume((held) => keySequence({ data }, held));
  }

  // The sequence made with the modifiers held now; a latched one is used up, a locked one stays.
  consume(make) {
    const held = Object.fromEntries(Object.entries(this.modifiers).map(([name, state]) => [name, state !== 'off']));
    for (const [name, state] of Object.entries(this.modifiers)) if (state === 'latched') this.setModifier(name, 'off');
    return make(held);
  }

  // Off → latched; latched and tapped again at once → locked; otherwise back to off.
  tapModifier(name) {
    const now = performance.now();
    const state = this.modifiers[name];
    const quick = now - (this.lastTap?.[name] ?? -Infinity) < doubleTapMs;
    this.lastTap = { [name]: now };
    if (state === 'off') this.setModifier(name, 'latched');
    else if (state === 'latched' && quick) this.setModifier(name, 'locked');
    else this.setModifier(name, 'off');
  }

  setModifier(name, state) {
    this.modifiers[name] = state;
    const button = this.buttons[name];
    button.setAttribute('aria-pressed', state === 'off' ? 'false' : 'true');
    button.classList.toggle('active', state !== 'off');
    button.classList.toggle('locked', state === 'locked');
    button.title = state === 'locked' ? 'Locked: tap to release' : state === 'latched' ? 'Applies to the next key' : '';
  }

  toggleFunctionKeys() {
    this.functionRow.hidden = !this.functionRow.hidden;
    this.fnButton.setAttribute('aria-pressed', this.functionRow.hidden ? 'false' : 'true');
    this.fnButton.classList.toggle('active', !this.functionRow.hidden);
  }
}
