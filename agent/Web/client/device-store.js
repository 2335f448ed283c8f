// What this browser keeps to come back as the device it paired as: its device id, and the device secret, host
// token and host id the computer answered its pairing with, once, and the agent key of the link it paired from
// (`agentKey`), which every later connection holds the computer to. Kept in this origin's localStorage only
// (no cookie, nothing in an address), as one record: another computer is another origin with storage of its own.

const key = 'ferrowyn.device';

export function loadDevice() {
  try {
    const record = JSON.parse(window.localStorage.getItem(key) ?? 'null');
    if (record && typeof record === 'object' && typeof record.deviceId === 'string') return record;
  } catch {
    // An unreadable record is no pairing; the user pairs again.
  }
  return null;
}

// Throws when the browser refuses to store (private browsing with storage off, a full quota): a pairing that
// cannot be kept must not be reported as done.
export function saveDevice(record) {
  window.localStorage.setItem(key, JSON.stringify(record));
}

export function forgetDevice() {
  window.localStorage.removeItem(key);
}

// A new identity: 16 random bytes in hex. Made for every pairing, never reused after a failed one.
export function newDeviceId() {
  const bytes = new Uint8Array(16);
  window.crypto.getRandomValues(bytes);
  return Array.from(bytes, (byte) => byte.toString(16).padStart(2, '0')).join('');
}

// "Safari on iPad", "Chrome on Android"...: a name the user recognises in the computer's list of devices.
export function defaultDeviceName(userAgent = navigator.userAgent, touchPoints = navigator.maxTouchPoints) {
  const browser = /Edg\//.test(userAgent) ? 'Edge'
    : /Firefox\/|FxiOS\//.test(userAgent) ? 'Firefox'
      : /Chrome\/|CriOS\//.test(userAgent) ? 'Chrome'
        : /Safari\//.test(userAgent) ? 'Safari' : 'Browser';
  // iPadOS presents itself as a Mac; only the touch screen tells.
  const device = /iPad/.test(userAgent) || (/Macintosh/.test(userAgent) && touchPoints > 1) ? 'iPad'
    : /iPhone/.test(userAgent) ? 'iPhone'
      : /Android/.test(userAgent) ? 'Android'
        : /CrOS/.test(userAgent) ? 'Chromebook'
          : /Windows/.test(userAgent) ? 'Windows'
            : /Macintosh/.test(userAgent) ? 'Mac'
              : /Linux/.test(userAgent) ? 'Linux' : 'this device';
  return `${browser} on ${device}`;
}
