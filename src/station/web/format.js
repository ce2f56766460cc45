// Numbers, sizes, times and outcomes as the dashboard shows them.

const numberFormat = new Intl.NumberFormat();

export function count(n) {
  return Number.isFinite(n) ? numberFormat.format(n) : '–';
}

export function size(bytes) {
  if (!Number.isFinite(bytes))
    return '–';
  if (bytes < 1024)
    return `${bytes} B`;
  const units = ['KiB', 'MiB', 'GiB'];
  let value = bytes / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    ++unit;
  }
  return `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}

// "42 s", "3 min 05 s", "1 h 02 min"
export function duration(seconds) {
  if (!Number.isFinite(seconds) || seconds < 0)
    return '–';
  const s = Math.round(seconds);
  if (s < 60)
    return `${s} s`;
  const minutes = Math.floor(s / 60);
  if (minutes < 60)
    return `${minutes} min ${String(s % 60).padStart(2, '0')} s`;
  return `${Math.floor(minutes / 60)} h ${String(minutes % 60).padStart(2, '0')} min`;
}

// The station's times are ISO 8601 (UTC); shown in the browser's own time zone.
export function dateTime(iso) {
  if (!iso)
    return '–';
  const date = new Date(iso);
  return Number.isNaN(date.getTime()) ? String(iso) : date.toLocaleString();
}

const outcomeWords = {
  'succeeded': 'succeeded',
  'bad-input': 'bad input',
  'file-error': 'file error',
  'malformed-file': 'malformed file',
  'file-changed': 'file changed',
  'no-connection': 'no connection',
  'refused': 'refused',
  'unknown-reply': 'unknown reply',
  'no-reply': 'no reply',
  'connection-lost': 'connection lost',
  'too-much-data': 'too much data',
  'interrupted': 'interrupted',
  'running': 'running',
  'abandoned': 'abandoned',
};

export const outcomes = Object.keys(outcomeWords);

export function outcome(name) {
  return outcomeWords[name] || String(name);
}
