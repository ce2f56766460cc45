// The station's dashboard: wires the views to the station's API and its live events.

import { api, ApiError, Cancelled } from './api.js';
import { EventStream } from './events.js';
import { History } from './history.js';
import { Library } from './library.js';
import { LineView } from './line-view.js';
import { RunBoard } from './run-board.js';
import { RunForm } from './run-form.js';
import { askForToken, forgetToken, storedToken, TokenChanged } from './token.js';

const $ = (id) => document.getElementById(id);
const RunRefreshMs = 5000;

const announcer = $('announcer');
function announce(text) {
  announcer.textContent = text;
}

const streamState = $('stream-state');
function showStreamState(state, detail) {
  const words = {
    connecting: 'Connecting…',
    live: 'Live',
    reconnecting: `Connection lost; trying again in ${detail} s`,
    unauthorized: 'Needs the station token',
  };
  streamState.dataset.state = state;
  streamState.textContent = words[state] || state;
}

// Who is signed in, from the token this tab keeps; an operator is not offered what only
// administrators may do (the station refuses it with 403 anyway).
async function showSession() {
  let session = { token: null, role: null };
  try {
    if (storedToken())
      session = await api.session();
  } catch {
    // a token the station refused: the dialog has asked again, and the answer comes back here
  }
  if (!session.token && storedToken()) {
    forgetToken(); // one the station does not take: asked for again when it is needed
    return;
  }
  document.body.dataset.role = session.role || '';
  $('signed-in-as').textContent = session.token ? `Signed in as ${session.token} (${session.role})` : 'Not signed in';
  $('sign-in').hidden = Boolean(session.token);
  $('sign-out').hidden = !session.token;
}
window.addEventListener(TokenChanged, showSession);
$('sign-in').addEventListener('click', () => askForToken());
$('sign-out').addEventListener('click', () => forgetToken());

// Fetches of single runs, one at a time per run: events of a run the page does not know yet,
// and the final state of runs whose units have all ended.
const runFetches = new Map();
function refreshRun(id, delayMs = 0) {
  if (runFetches.has(id))
    return;
  runFetches.set(id, setTimeout(async () => {
    try {
      board.applyRun(await api.run(id));
    } catch (error) {
      if (error instanceof ApiError && error.status === 404)
        board.dropRun(id); // the station restarted, or the run aged out
      else if (!(error instanceof Cancelled))
        console.warn(`run ${id}: ${error.message}`);
    } finally {
      runFetches.delete(id);
    }
  }, delayMs));
}

async function refreshRuns() {
  try {
    const answer = await api.runs();
    board.applyRuns(Array.isArray(answer?.runs) ? answer.runs : []);
  } catch (error) {
    if (!(error instanceof Cancelled))
      $('runs-empty').textContent = `The runs could not be read: ${error.message}`;
  }
}

async function cancelRun(id) {
  if (!window.confirm(`Cancel run ${id}? Every unit still updating is stopped at once.`))
    return;
  try {
    board.applyRun(await api.cancelRun(id));
    announce(`Run ${id} cancelled`);
  } catch (error) {
    if (!(error instanceof Cancelled))
      announce(`Run ${id} was not cancelled: ${error.message}`);
  }
}

async function retryRun(id) {
  try {
    const started = await api.retryRun(id);
    announce(`Run ${started.id} started for the failed units of run ${id}`);
    refreshRun(started.id);
  } catch (error) {
    if (!(error instanceof Cancelled))
      announce(`The failed units of run ${id} were not started again: ${error.message}`);
  }
}

const board = new RunBoard($('run-list'), $('runs-empty'), {
  onCancel: cancelRun,
  onRetry: retryRun,
  onUnknownRun: (id) => refreshRun(id),
  announce,
});

// Events carry no phase changes after the last record (ending, writing, rebooting), and a
// stream that dropped loses events: the runs under way are read again now and then.
setInterval(() => {
  for (const id of board.runningIds())
    refreshRun(id);
}, RunRefreshMs);

const library = new Library({
  table: $('library-table'),
  state: $('library-state'),
  select: $('run-firmware'),
  uploadInput: $('firmware-file'),
  uploadState: $('firmware-upload-state'),
  onChanged: () => {},
});

const history = new History({
  form: $('history-form'),
  outcomeSelect: $('history-outcome'),
  table: $('history-table'),
  state: $('history-state'),
  warning: $('history-warning'),
  logPanel: $('update-log'),
  logHeading: $('update-log-heading'),
  logFacts: $('update-log-facts'),
  logText: $('update-log-text'),
  closeButton: $('update-log-close'),
});

new RunForm({
  form: $('run-form'),
  firmware: $('run-firmware'),
  units: $('run-units'),
  unitsFile: $('units-file'),
  unitsCount: $('run-units-count'),
  product: $('run-product'),
  parallel: $('run-parallel'),
  error: $('run-error'),
  submit: $('start-run'),
  onStarted: (id) => {
    announce(`Run ${id} started`);
    refreshRun(id);
    $('runs').scrollIntoView({ block: 'start' });
  },
});

const stream = new EventStream({
  onOpen: () => refreshRuns(),
  onState: showStreamState,
  onEvent: (event) => {
    if (event.event === 'run' && event.run) {
      refreshRun(event.run); // a run started or ended
      return;
    }
    board.applyEvent(event);
    if (event.event === 'finished')
      history.scheduleRefresh();
  },
  onUnauthorized: async () => {
    const token = await askForToken({ rejected: Boolean(storedToken()) });
    if (token) {
      stream.restart();
      library.refresh();
      history.refresh();
    }
  },
});

const line = new LineView({
  section: $('line'),
  tiles: $('fixture-list'),
  empty: $('line-empty'),
  firmware: $('line-firmware'),
  serialRequired: $('line-serial-required'),
  error: $('line-error'),
  announce,
});
// The line view's firmware choice follows the library's.
new MutationObserver(() => {
  const chosen = $('line-firmware').value;
  $('line-firmware').replaceChildren(...[...$('run-firmware').options].map((o) => o.cloneNode(true)));
  if (chosen)
    $('line-firmware').value = chosen;
}).observe($('run-firmware'), { childList: true });
const showLine = () => line.show(window.location.hash === '#line');
window.addEventListener('hashchange', showLine);
showLine();

showSession();
library.refresh();
history.refresh();
stream.start();
