// Server-Sent Events framing (a line format): fields per line, an event ends at a blank line.
// Fed with decoded text in pieces of any size; calls onEvent({event, data, id}) per event.

export class SseParser {
  constructor(onEvent) {
    this.onEvent = onEvent;
    this.buffer = '';
    this.reset();
    this.lastEventId = '';
    this.retry = null;
    this.sawCr = false;
  }

  reset() {
    this.eventType = '';
    this.dataLines = [];
  }

  push(text) {
    // A CR LF may arrive split across two pieces: the LF then ends nothing new.
    if (this.sawCr && text.startsWith('\n'))
      text = text.slice(1);
    this.sawCr = false;
    this.buffer += text;
    let start = 0;
    for (;;) {
      const cr = this.buffer.indexOf('\r', start);
      const lf = this.buffer.indexOf('\n', start);
      if (cr < 0 && lf < 0)
        break;
      let end;
      let next;
      if (cr >= 0 && (lf < 0 || cr < lf)) {
        end = cr;
        if (cr + 1 === this.buffer.length) {
          this.sawCr = true;
          next = cr + 1;
        } else {
          next = this.buffer[cr + 1] === '\n' ? cr + 2 : cr + 1;
        }
      } else {
        end = lf;
        next = lf + 1;
      }
      this.line(this.buffer.slice(start, end));
      start = next;
    }
    this.buffer = this.buffer.slice(start);
  }

  line(line) {
    if (line === '') {
      if (this.dataLines.length > 0)
        this.onEvent({ event: this.eventType || 'message', data: this.dataLines.join('\n'), id: this.lastEventId });
      this.reset();
      return;
    }
    if (line.startsWith(':'))
      return; // comment, e.g. a keep-alive
    const colon = line.indexOf(':');
    const field = colon < 0 ? line : line.slice(0, colon);
    let value = colon < 0 ? '' : line.slice(colon + 1);
    if (value.startsWith(' '))
      value = value.slice(1);
    switch (field) {
    case 'data':
      this.dataLines.push(value);
      break;
    case 'event':
      this.eventType = value;
      break;
    case 'id':
      if (!value.includes('\0'))
        this.lastEventId = value;
      break;
    case 'retry':
      if (/^\d+$/.test(value))
        this.retry = Number(value);
      break;
    default:
      break; // unknown fields are ignored
    }
  }
}
