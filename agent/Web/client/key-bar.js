// The keys a tablet's on-screen keyboard lacks, in a bar under the terminal: Esc, Tab, a sticky Ctrl that
// applies to the next key typed (on the bar or the keyboard), the arrows and a few symbols. The bar never takes
// the focus from the terminal, so the on-screen keyboard stays up.

const keys = [
  { label: 'Esc', data: '\x1b', name: 'Escape' },
  { label: 'Tab', data: '\t', name: 'Tab' },
  { label: 'Ctrl', sticky: true, name: 'Control (applies to the next key)' },
  { label: '←', arrow: 'D', name: 'Left' },
  { label: '↑', arrow: 'A', name: 'Up' },
  { label: '↓', arrow: 'B', name: 'Down' },
  { label: '→', arrow: 'C', name: 'Right' },
  { label: '|', data: '|' },
  { label: '~', data: '~' },
  { label: '/', data: '/' },
  { label: '\\', data: '\\' },
  { label: '-', data: '-' },
  { label: '_', data: '_' },
  { label: '`', data: '`' },
  { label: ':', data: ':' },
];

// What Ctrl with `data` sends: the control character of a letter or of @ [ \ ] ^ _ ?, else `data` as it is.
export function withControl(data) {
  if (data.length !== 1) return data;
  const code = data.toUpperCase().charCodeAt(0);
  if (code >= 0x40 && code <= 0x5f) return String.fromCharCode(code - 0x40);
  if (data === '?') return '\x7f';
  if (data === ' ') return '\x00';
  return data;
}

export class KeyBar {
  // `send(data)` types into the session; `applicationCursor()` tells whether the program asked for the arrows'
  // application form (ESC O A rather than ESC [ A); `refocus()` gives the focus back to the terminal.
  constructor(container, { send, applicationCursor, refocus }) {
    this.ctrl = false;
    this.send = send;
    container.replaceChildren();
    for (const key of keys) {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'key';
      button.textContent = key.label;
      if (key.name) button.setAttribute('aria-label', key.name);
      if (key.sticky) {
        this.ctrlButton = button;
        button.setAttribute('aria-pressed', 'false');
      }
      // Taking no focus keeps the on-screen keyboard up.
      button.addEventListener('pointerdown', (event) => event.preventDefault());
      button.addEventListener('mousedown', (event) => event.preventDefault());
      button.addEventListener('click', () => {
        if (key.sticky) this.setCtrl(!this.ctrl);
        else if (key.arrow) this.type(`\x1b${applicationCursor() ? 'O' : '['}${key.arrow}`);
        else this.type(key.data);
        refocus();
      });
      container.append(button);
    }
  }

  // Keys typed on the keyboard pass here, so that a sticky Ctrl applies to them too.
  filter(data) {
    if (!this.ctrl) return data;
    this.setCtrl(false);
    return withControl(data);
  }

  type(data) {
    this.send(this.filter(data));
  }

  setCtrl(on) {
    this.ctrl = on;
    this.ctrlButton.setAttribute('aria-pressed', on ? 'true' : 'false');
    this.ctrlButton.classList.toggle('active', on);
  }
}
