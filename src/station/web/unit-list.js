// A unit list as a person pastes or uploads it: one HOST[:PORT] ([IPV6]:PORT) a line, `#`
// comments and blank lines allowed. The station checks every address again; this only gives
// early, line-numbered answers and drops repeats (the station would update those once too).

const hostPattern = /^[A-Za-z0-9._-]+$/;

function checkAddress(text) {
  let host = text;
  let port = '';
  if (text.startsWith('[')) {
    const close = text.indexOf(']');
    if (close < 0)
      return 'an IPv6 address needs its closing ]';
    host = text.slice(1, close);
    const rest = text.slice(close + 1);
    if (rest && !rest.startsWith(':'))
      return 'after ] only :PORT may follow';
    port = rest.slice(1);
    if (!/^[0-9A-Fa-f:.]+$/.test(host) || !host.includes(':'))
      return `"${host}" is no IPv6 address`;
  } else {
    const colon = text.lastIndexOf(':');
    if (colon >= 0) {
      if (text.indexOf(':') !== colon)
        return 'an IPv6 address goes in brackets: [ADDRESS]:PORT';
      host = text.slice(0, colon);
      port = text.slice(colon + 1);
      if (port === '')
        return 'the port after : is missing';
    }
    if (!host || !hostPattern.test(host))
      return `"${host}" is no host name or address`;
  }
  if (port !== '') {
    const number = Number(port);
    if (!/^\d+$/.test(port) || number < 1 || number > 65535)
      return `"${port}" is no port (1 to 65535)`;
  }
  return '';
}

// Returns { units: [...], problems: ["line 3: ..."], repeats: n }.
export function parseUnitList(text) {
  const units = [];
  const problems = [];
  const seen = new Set();
  let repeats = 0;
  text.split(/\r\n|\r|\n/).forEach((raw, index) => {
    const hash = raw.indexOf('#');
    const line = (hash >= 0 ? raw.slice(0, hash) : raw).trim();
    if (!line)
      return;
    if (/\s/.test(line)) {
      problems.push(`line ${index + 1}: one unit a line`);
      return;
    }
    const problem = checkAddress(line);
    if (problem) {
      problems.push(`line ${index + 1}: ${problem}`);
      return;
    }
    const key = line.toLowerCase();
    if (seen.has(key)) {
      ++repeats;
      return;
    }
    seen.add(key);
    units.push(line);
  });
  return { units, problems, repeats };
}
