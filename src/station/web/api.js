// Requests to the station's API. Reads go without a token until the station asks for one
// (401); changes always carry it, asking the person first when there is none yet.

import { askForToken, forgetToken, storedToken } from './token.js';

export const ApiBase = 'api/v1';

export class ApiError extends Error {
  constructor(status, code, message, body) {
    super(message);
    this.status = status;
    this.code = code;
    this.body = body;
  }
}

// Thrown when the person closed the token dialog: the action is dropped without an error.
export class Cancelled extends Error {
  constructor() {
    super('cancelled');
  }
}

export function authHeaders(token = storedToken()) {
  return token ? { Authorization: `Bearer ${token}` } : {};
}

async function errorFrom(response) {
  let body = null;
  try {
    body = await response.json();
  } catch {
    // not JSON: a proxy's page or an empty body
  }
  const code = body && typeof body.error === 'string' ? body.error : `http-${response.status}`;
  const message = body && typeof body.message === 'string' && body.message
    ? body.message
    : `The station answered ${response.status} ${response.statusText}`.trim();
  return new ApiError(response.status, code, message, body);
}

// Sends one request and returns the parsed JSON (null for an empty body). `change` marks
// requests that need the token. A 401 asks for the token and tries again, until the person
// cancels.
export async function request(method, path, { body, headers = {}, change = false, signal } = {}) {
  let token = storedToken();
  let rejected = false;
  if (change && !token) {
    token = await askForToken();
    if (!token)
      throw new Cancelled();
  }
  for (;;) {
    const init = { method, headers: { ...headers, ...authHeaders(token) }, body, signal, cache: 'no-store' };
    if (body !== undefined && !(body instanceof Blob) && typeof body !== 'string') {
      init.body = JSON.stringify(body);
      init.headers['Content-Type'] = 'application/json';
    }
    const response = await fetch(`${ApiBase}/${path}`, init);
    if (response.status === 401) {
      rejected = Boolean(token);
      forgetToken();
      token = await askForToken({ rejected });
      if (!token)
        throw new Cancelled();
      continue;
    }
    if (!response.ok)
      throw await errorFrom(response);
    if (response.status === 204)
      return null;
    const text = await response.text();
    return text ? JSON.parse(text) : null;
  }
}

export const api = {
  firmware: () => request('GET', 'firmware'),
  uploadFirmware: (file) =>
    request('POST', `firmware?name=${encodeURIComponent(file.name)}`, {
      body: file,
      headers: { 'Content-Type': 'application/octet-stream' },
      change: true,
    }),
  session: () => request('GET', 'session'),
  addSignature: (sha256, file) =>
    request('PUT', `firmware/${encodeURIComponent(sha256)}/signature`, {
      body: file,
      headers: { 'Content-Type': 'application/octet-stream' },
      change: true,
    }),
  deleteFirmware: (sha256) => request('DELETE', `firmware/${encodeURIComponent(sha256)}`, { change: true }),
  runs: () => request('GET', 'runs'),
  run: (id) => request('GET', `runs/${encodeURIComponent(id)}`),
  startRun: (plan) => request('POST', 'runs', { body: plan, change: true }),
  cancelRun: (id) => request('DELETE', `runs/${encodeURIComponent(id)}`, { change: true }),
  retryRun: (id) => request('POST', `runs/${encodeURIComponent(id)}/retry`, { change: true }),
  status: () => request('GET', 'status'),
  updates: (filters) => request('GET', `updates?${new URLSearchParams(filters)}`),
  update: (id) => request('GET', `updates/${encodeURIComponent(id)}`),
  fixtures: () => request('GET', 'fixtures'),
  watchFixture: (name, watch) =>
    request('POST', `fixtures/${encodeURIComponent(name)}/watch`, { body: watch, change: true }),
  stopWatching: (name) => request('DELETE', `fixtures/${encodeURIComponent(name)}/watch`, { change: true }),
  fixtureSerial: (name, serial) =>
    request('POST', `fixtures/${encodeURIComponent(name)}/serial`, { body: { serial }, change: true }),
};
