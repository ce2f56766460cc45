// The station's live events, read with fetch() so the Authorization header can go along
// (EventSource cannot send one). Reconnects with back-off; after every (re)connect the caller
// refreshes the runs with GET, since events sent while the stream was down are gone.

import { ApiBase, authHeaders } from './api.js';
import { SseParser } from './sse.js';

const FirstDelayMs = 1000;
const LongestDelayMs = 30000;

export class EventStream {
  // handlers: onEvent(object), onOpen(), onState(state, detail), onUnauthorized()
  constructor(handlers) {
    this.handlers = handlers;
    this.delayMs = FirstDelayMs;
    this.controller = null;
    this.timer = null;
    this.stopped = false;
  }

  start() {
    this.stopped = false;
    this.connect();
  }

  // Drops the current connection and opens a new one at once (e.g. once a token is known).
  restart() {
    this.delayMs = FirstDelayMs;
    clearTimeout(this.timer);
    if (this.controller)
      this.controller.abort();
    this.connect();
  }

  stop() {
    this.stopped = true;
    clearTimeout(this.timer);
    if (this.controller)
      this.controller.abort();
  }

  async connect() {
    const controller = new AbortController();
    this.controller = controller;
    this.handlers.onState('connecting');
    try {
      const response = await fetch(`${ApiBase}/events`, {
        headers: { Accept: 'text/event-stream', ...authHeaders() },
        cache: 'no-store',
        signal: controller.signal,
      });
      if (response.status === 401) {
        this.handlers.onState('unauthorized');
        this.handlers.onUnauthorized();
        return; // the token dialog's answer restarts the stream
      }
      if (!response.ok || !response.body)
        throw new Error(`The station answered ${response.status}`);
      this.delayMs = FirstDelayMs;
      this.handlers.onState('live');
      this.handlers.onOpen();
      const parser = new SseParser((message) => this.dispatch(message));
      const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
      for (;;) {
        const { value, done } = await reader.read();
        if (done)
          break;
        parser.push(value);
      }
      if (parser.retry !== null)
        this.delayMs = Math.min(Math.max(parser.retry, FirstDelayMs), LongestDelayMs);
    } catch (error) {
      if (controller.signal.aborted)
        return;
    }
    if (this.controller === controller && !this.stopped)
      this.scheduleReconnect();
  }

  scheduleReconnect() {
    const delay = this.delayMs;
    this.delayMs = Math.min(this.delayMs * 2, LongestDelayMs);
    this.handlers.onState('reconnecting', Math.round(delay / 1000));
    this.timer = setTimeout(() => this.connect(), delay * (0.8 + Math.random() * 0.4));
  }

  dispatch(message) {
    let object;
    try {
      object = JSON.parse(message.data);
    } catch {
      return; // not one of ours
    }
    if (object && typeof object === 'object')
      this.handlers.onEvent(object);
  }
}
