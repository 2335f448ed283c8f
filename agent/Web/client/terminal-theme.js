// The terminal's colours: the page's own (background, text, cursor, selection) and, on a light background, a
// palette of its own. xterm.js's usual palette is made for a dark background: on a light one its whites,
// yellows and bright colours fade away. Each colour here has at least 4.5:1 contrast against the light
// background (WCAG AA for normal text), and text a program dims is kept at that contrast too.

const lightAnsi = {
  black: '#2e3436', red: '#b3261e', green: '#1d6f1d', yellow: '#8a6100',
  blue: '#1f5fb3', magenta: '#8b3a8f', cyan: '#0b6e80', white: '#66707a',
  brightBlack: '#56606a', brightRed: '#9c1c14', brightGreen: '#2a6200', brightYellow: '#6f4f00',
  brightBlue: '#1a4d99', brightMagenta: '#74287a', brightCyan: '#085f6e', brightWhite: '#3b444c',
};
export const ansiNames = Object.keys(lightAnsi);
const minimumContrast = 4.5;

// WCAG's contrast ratio of two "#rrggbb" colours.
export function contrastRatio(first, second) {
  const luminance = (hex) => {
    const [r, g, b] = [1, 3, 5].map((at) => parseInt(hex.slice(at, at + 2), 16) / 255)
      .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4));
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
  };
  const [light, dark] = [luminance(first), luminance(second)].sort((a, b) => b - a);
  return (light + 0.05) / (dark + 0.05);
}

function isDark() {
  return matchMedia('(prefers-color-scheme: dark)').matches;
}

// For xterm.js's `minimumContrastRatio`: what keeps dimmed text readable on the light background; the dark
// theme shows colours as the program asked.
export function minimumContrastRatio() {
  return isDark() ? 1 : minimumContrast;
}

// The theme for xterm.js's `theme` option, from the page's style and its colour scheme.
export function terminalTheme() {
  const style = getComputedStyle(document.documentElement);
  const value = (name) => style.getPropertyValue(name).trim();
  const theme = {
    background: value('--terminal-background'),
    foreground: value('--terminal-foreground'),
    cursor: value('--terminal-cursor'),
    cursorAccent: value('--terminal-background'),
    selectionBackground: value('--terminal-selection'),
  };
  return isDark() ? theme : { ...theme, ...lightAnsi };
}
