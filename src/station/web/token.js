// The station's token, asked for once per browser session: the first time something needs it
// (an upload, a start, a cancel, or any request the station answers with 401).

const StorageKey = 'uploader-station.token';

export function storedToken() {
  try {
    return sessionStorage.getItem(StorageKey) || '';
  } catch {
    return ''; // storage switched off: ask every time instead
  }
}

// Whoever shows who is signed in listens for this on window.
export const TokenChanged = 'station-token-changed';

export function forgetToken() {
  try {
    sessionStorage.removeItem(StorageKey);
  } catch {
    // nothing kept, nothing to forget
  }
  window.dispatchEvent(new Event(TokenChanged));
}

function keepToken(token) {
  try {
    sessionStorage.setItem(StorageKey, token);
  } catch {
    // kept for this page only
  }
  window.dispatchEvent(new Event(TokenChanged));
}

let pending = null;

// Shows the dialog and resolves with the token entered, or '' when the person cancels. Callers
// that ask at the same time share one dialog.
export function askForToken({ rejected = false } = {}) {
  if (pending)
    return pending;
  const dialog = document.getElementById('token-dialog');
  const input = document.getElementById('token-input');
  const error = document.getElementById('token-error');
  error.textContent = rejected ? 'The station did not accept that token. Check it and try again.' : '';
  input.value = '';
  pending = new Promise((resolve) => {
    dialog.addEventListener('close', () => {
      pending = null;
      const token = dialog.returnValue === 'ok' ? input.value.trim() : '';
      input.value = '';
      if (token)
        keepToken(token);
      resolve(token);
    }, { once: true });
  });
  dialog.returnValue = '';
  dialog.showModal();
  input.focus();
  return pending;
}
