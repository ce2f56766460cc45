#!/usr/bin/python3
"""The station's dashboard in a real browser (headless Chromium driven by Selenium).

Starts the test build of uploader-station with a fresh state folder and eight simulated units on
127.0.0.1 (six that take the update, one that refuses record 5 with code 02, one port where
nobody listens), loads the dashboard, enters the token when the page asks for it (a wrong one
first), uploads a firmware file from the page, starts a run on the eight units by keyboard, and
waits for six green tiles and two red ones with their reasons; then finds the refused update in
the history by its unit and opens its log, and retries the two failed units. Then it cancels a run on a slow unit, updates at
the line's fixtures (finding bench-a's update in the history by its serial), and restarts the
station to see the page reconnect by itself (this time with a history it cannot use, which the
page's notice names). Also: a firmware name made of HTML shows as those characters, and the page
logs no script error or Content-Security-Policy violation.

Exit codes: 0 passed, 1 failed, 77 skipped (no Chromium, ChromeDriver or Selenium).
With UPLOADER_DASHBOARD_SCREENSHOTS=1 it also saves docs/station-dashboard-*.png.
"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
CHROMIUM = os.environ.get('UPLOADER_CHROMIUM', '/usr/bin/chromium')
CHROMEDRIVER = os.environ.get('UPLOADER_CHROMEDRIVER', '/usr/bin/chromedriver')
GOOD_UNITS = 6
RECORDS = 1200
HTML_NAME = '<img src=x onerror=alert(1)>.hex'


class Failure(Exception):
    pass


def skip(why):
    print(f'SKIPPED: station_dashboard_browser: {why}')
    sys.exit(SKIP)


def hex_record(kind, address, data=b''):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    return ':' + (body + bytes([(-sum(body)) & 0xFF])).hex().upper()


def firmware_text(records):
    lines = []
    for i in range(records):
        address = i * 16
        if address and address % 0x10000 == 0:
            lines.append(hex_record(0x04, 0, bytes([address >> 24 & 0xFF, address >> 16 & 0xFF])))
        lines.append(hex_record(0x00, address & 0xFFFF, bytes((i * 31 + b * 7) & 0xFF for b in range(16))))
    lines.append(hex_record(0x01, 0))
    return '\r\n'.join(lines) + '\r\n'


def wait_for(what, predicate, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f'timed out after {timeout} s waiting for {what}')
        time.sleep(interval)


class Processes:
    """The station and the simulated units; all ended when the test ends, however it ends."""

    def __init__(self, folder):
        self.folder = folder
        self.started = []

    def start(self, name, command):
        log = open(os.path.join(self.folder, f'{name}.log'), 'w+')
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.started.append((name, process, log))
        return process, log

    def read_log(self, log):
        if not log.closed:
            log.flush()
        with open(log.name) as f:
            return f.read()

    def wait_for_line(self, name, process, log, pattern, timeout=20):
        def found():
            if process.poll() is not None:
                raise Failure(f'{name} ended with {process.returncode}:\n{self.read_log(log)}')
            return re.search(pattern, self.read_log(log), re.MULTILINE)
        try:
            return wait_for(f'{name} to say it listens', found, timeout)
        except Failure as failure:
            raise Failure(f'{failure}\n{name} said:\n{self.read_log(log)}') from None

    def stop(self, name):
        for started_name, process, _ in self.started:
            if started_name == name and process.poll() is None:
                process.terminate()
                process.wait(20)

    def stop_all(self):
        for name, process, log in reversed(self.started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            log.close()

    def logs(self):
        return '\n'.join(f'--- {name}\n{self.read_log(log)}' for name, _, log in self.started)


def free_port_nobody_listens_on():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def start_units(processes, unitsim):
    units = []
    for n in range(GOOD_UNITS + 1):
        command = [unitsim, '--product', 'marlin', '--port', '0', '--latency', '2', '--report-every', '0']
        refusing = n == GOOD_UNITS
        if refusing:
            command += ['--fault', 'refuse:02@5']
        name = 'unit-refusing' if refusing else f'unit-{n + 1}'
        process, log = processes.start(name, command)
        match = processes.wait_for_line(name, process, log, r'listening on [\d.]+:(\d+)')
        units.append(f'127.0.0.1:{match.group(1)}')
    process, log = processes.start('unit-slow', [unitsim, '--product', 'marlin', '--port', '0', '--latency', '200'])
    slow = '127.0.0.1:' + processes.wait_for_line('unit-slow', process, log, r'listening on [\d.]+:(\d+)').group(1)
    silent = f'127.0.0.1:{free_port_nobody_listens_on()}'
    return units[:GOOD_UNITS], units[GOOD_UNITS], silent, slow


FIXTURE_ARGUMENTS = []  # --fixtures FILE for every start of the station


def start_line_units(processes, unitsim, folder):
    """Two fixtures of the line, a unit placed in each: bench-a's good, bench-b's refusing."""
    addresses = []
    for name, fault in (('line-good', []), ('line-refusing', ['--fault', 'refuse:03@4'])):
        process, log = processes.start(name, [unitsim, '--product', 'marlin', '--port', '0', '--latency', '2'] + fault)
        addresses.append('127.0.0.1:' + processes.wait_for_line(name, process, log, r'listening on [\d.]+:(\d+)').group(1))
    path = os.path.join(folder, 'fixtures')
    with open(path, 'w') as f:
        f.write(f'# the test line\nbench-a {addresses[0]}\nbench-b {addresses[1]}\n')
    FIXTURE_ARGUMENTS[:] = ['--fixtures', path]


def start_station(processes, station, state_dir, port=0, name='station', history=None):
    history = history or os.path.join(state_dir, 'history.sqlite')
    process, log = processes.start(name, [station, '--state-dir', state_dir, '--listen', f'127.0.0.1:{port}',
                                          '--time-scale', '0.02', '--history', history] + FIXTURE_ARGUMENTS)
    match = processes.wait_for_line(name, process, log, r'^(http://127\.0\.0\.1:\d+)\s*$')
    with open(os.path.join(state_dir, 'token')) as f:
        token = f.read().strip()
    return match.group(1), token


def browser(user_data_dir):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run',
                     '--disable-background-networking', '--disable-component-update', '--disable-sync',
                     f'--user-data-dir={user_data_dir}', '--window-size=1280,900', '--lang=en-GB']:
        options.add_argument(argument)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class Dashboard:
    """The page as the test sees it: element ids and the few waits the scenario needs."""

    def __init__(self, driver, screenshots):
        from selenium.webdriver.common.by import By
        self.by = By
        self.driver = driver
        self.screenshots = screenshots

    def find(self, element_id):
        return self.driver.find_element(self.by.ID, element_id)

    def js(self, script, *arguments):
        return self.driver.execute_script(script, *arguments)

    def token_dialog_open(self):
        return self.js("return document.getElementById('token-dialog').open")

    def enter_token(self, token):
        wait_for('the token dialog', self.token_dialog_open, 10)
        field = self.find('token-input')
        if self.js('return document.activeElement.id') != 'token-input':
            raise Failure('the token dialog does not put the focus in its field')
        field.send_keys(token)
        self.find('token-ok').click()

    def upload(self, path):
        self.find('firmware-file').send_keys(path)

    def upload_state(self):
        return self.find('firmware-upload-state').text

    def tiles(self):
        return self.js("""return [...document.querySelectorAll('#run-list .tile')].map((t) => ({
            unit: t.querySelector('.tile-unit').textContent,
            kind: t.dataset.kind,
            phase: t.querySelector('.tile-phase').textContent,
            reason: t.querySelector('.tile-reason').textContent,
            role: t.querySelector('.bar').getAttribute('role'),
            value: t.querySelector('.bar').getAttribute('aria-valuenow'),
        }))""")

    def screenshot(self, name):
        if self.screenshots:
            if name != 'history':
                self.js('window.scrollTo(0, 0)')
            path = os.path.join(self.screenshots, f'station-dashboard-{name}.png')
            self.driver.save_screenshot(path)
            print(f'screenshot: {path}')


PAGE_LOGIC = """
const [{ SseParser }, { parseUnitList }] = await Promise.all([import('./sse.js'), import('./unit-list.js')]);
const events = [];
const parser = new SseParser((e) => events.push(e));
// One event split anywhere, CR LF cut between two pieces, a comment, two data lines, a field
// without a space after the colon, and an event that never ends (no blank line yet).
for (const piece of [': keep-alive\\r', '\\ndata: {"a":', '1}\\r', '\\ndata: 2\\r\\n\\r', '\\n',
                     'event: run\\ndata:x\\ndata: y\\n\\n', 'data: open'])
  parser.push(piece);
const list = parseUnitList('# bench 3\\n10.0.4.20\\n\\n10.0.4.21:23  # spare\\r\\n[fe80::1]:2323\\n10.0.4.20\\n' +
                           'fe80::2\\n10.0.4.22:70000\\nhost name\\n10.0.4.23:\\n');
return { events, list };
"""


def check_page_logic(page):
    result = page.driver.execute_async_script(
        'const done = arguments[arguments.length - 1];'
        f'(async () => {{ {PAGE_LOGIC} }})().then(done, (e) => done({{ error: String(e) }}));')
    if 'error' in result:
        raise Failure(f'the page\'s modules did not load: {result["error"]}')
    expected_events = [{'event': 'message', 'data': '{"a":1}\n2', 'id': ''},
                       {'event': 'run', 'data': 'x\ny', 'id': ''}]
    if result['events'] != expected_events:
        raise Failure(f'the event stream was read as {result["events"]}, not {expected_events}')
    units = result['list']
    if units['units'] != ['10.0.4.20', '10.0.4.21:23', '[fe80::1]:2323'] or units['repeats'] != 1:
        raise Failure(f'the unit list was read as {units}')
    lines = [problem.split(':')[0] for problem in units['problems']]
    if lines != ['line 7', 'line 8', 'line 9', 'line 10']:
        raise Failure(f'the unit list\'s problems are {units["problems"]}')


def check_page_loads_without_token(page):
    wait_for('the live event stream', lambda: page.find('stream-state').text == 'Live', 20)
    if page.token_dialog_open():
        raise Failure('the page asked for the token before anything was changed')
    if not page.find('runs-empty').is_displayed():
        raise Failure('the empty run list says nothing')


def upload_firmware_with_token(page, path, token):
    page.upload(path)
    page.enter_token('0' * 64)
    wait_for('the page to say the wrong token was refused',
             lambda: page.token_dialog_open() and 'did not accept' in page.find('token-error').text, 10)
    page.find('token-input').send_keys(token)
    page.find('token-ok').click()
    name = os.path.basename(path)
    wait_for(f'{name} to be in the library', lambda: 'is in the library' in page.upload_state(), 30)
    stored = page.js("return document.getElementById('run-firmware').value")
    rows = page.js("return [...document.querySelectorAll('#library-table tbody tr')].map((r) => r.dataset.sha256)")
    if stored not in rows:
        raise Failure(f'the uploaded firmware is not chosen in the run form: {stored!r} not in {rows}')
    return stored


def check_html_name_shows_as_text(page, path):
    page.upload(path)
    if page.token_dialog_open():
        raise Failure('the token was asked for again in the same browser session')
    wait_for('the HTML-named file in the library', lambda: 'is in the library' in page.upload_state(), 30)
    names = page.js("return [...document.querySelectorAll('#library-table td.name')].map((td) => td.textContent)")
    if HTML_NAME not in names:
        raise Failure(f'the library does not show {HTML_NAME!r} as text: {names}')
    if page.js("return document.querySelectorAll('main img, select img').length"):
        raise Failure('a firmware name became an element')
    option_texts = page.js("return [...document.querySelectorAll('#run-firmware option')].map((o) => o.textContent)")
    if not any(text.startswith(HTML_NAME) for text in option_texts):
        raise Failure(f'the firmware choice does not show the name as text: {option_texts}')


def check_signature_beside_hex(page, hex_path):
    """A .hex and its .hex.sig chosen together: the file goes in, then its signature is put."""
    signature = hex_path + '.sig'
    with open(signature, 'w') as f:
        f.write('-----BEGIN SSH SIGNATURE-----\nnot one\n-----END SSH SIGNATURE-----\n')
    page.find('firmware-file').send_keys(hex_path + '\n' + signature)
    wait_for('the signature\'s answer', lambda: 'signature' in page.upload_state(), 30)
    said = page.upload_state()
    if 'is in the library' not in said or f'The signature {os.path.basename(signature)} was refused' not in said:
        raise Failure(f'the upload with its signature says: {said!r}')


def start_run_by_keyboard(page, firmware_sha, units, folder):
    if page.js(ANNOUNCEMENT_PROBE) != ['status', 'polite']:
        raise Failure('the announcements are not a polite live region')
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select
    Select(page.find('run-firmware')).select_by_value(firmware_sha)
    list_file = os.path.join(folder, 'line-7-units.txt')
    with open(list_file, 'w') as f:
        f.write('# line 7\r\n' + '\r\n'.join(units[:4]) + '\r\n\r\n' + '\r\n'.join(f'{u}  # bench' for u in units[4:]))
    page.find('units-file').send_keys(list_file)
    wait_for('the unit list read from its file',
             lambda: page.find('run-units-count').text.startswith(f'{len(units)} units'), 5)
    page.find('run-units').click()
    for _ in range(12):
        if page.js('return document.activeElement.id') == 'start-run':
            break
        ActionChains(page.driver).send_keys(Keys.TAB).perform()
    else:
        raise Failure('Tab never reached the start button')
    outline = page.js("return getComputedStyle(document.activeElement).outlineStyle")
    if outline in ('none', ''):
        raise Failure('the focused start button shows no focus outline')
    ActionChains(page.driver).send_keys(Keys.ENTER).perform()


ANNOUNCEMENT_PROBE = """
window.__announced = [];
const region = document.getElementById('announcer');
new MutationObserver(() => window.__announced.push(region.textContent))
  .observe(region, { childList: true, characterData: true, subtree: true });
return [region.getAttribute('role'), region.getAttribute('aria-live')];
"""


def check_run(page, good, refusing, silent):
    everyone = good + [refusing, silent]
    wait_for('a tile for every unit', lambda: len(page.tiles()) == len(everyone), 20)
    units_shown = sorted(t['unit'] for t in page.tiles())
    if units_shown != sorted(everyone):
        raise Failure(f'the tiles show {units_shown}, not {sorted(everyone)}')
    try:
        wait_for('tiles with progress', lambda: sum(t['kind'] == 'running' and 20 <= int(t['value']) < 100
                                                    for t in page.tiles()) >= 3, 30, interval=0.05)
        page.screenshot('running')
    except Failure:
        print('note: the run ended before a tile showed progress; no screenshot of it running')

    def ended():
        tiles = page.tiles()
        return tiles if all(t['kind'] in ('succeeded', 'failed', 'interrupted') for t in tiles) else None
    tiles = {t['unit']: t for t in wait_for('every tile to end', ended, 120, interval=0.2)}
    for unit in good:
        if tiles[unit]['kind'] != 'succeeded' or tiles[unit]['value'] != '100':
            raise Failure(f'{unit} should be green at 100%: {tiles[unit]}')
    for unit, expected in ((refusing, 'refused'), (silent, 'no connection')):
        tile = tiles[unit]
        if tile['kind'] != 'failed' or tile['phase'] != expected or not tile['reason']:
            raise Failure(f'{unit} should be red ({expected}) with its reason: {tile}')
        if tile['role'] != 'progressbar':
            raise Failure(f'{unit}: the progress bar has no progressbar role')
    counts = page.find('run-list').find_element(page.by.CSS_SELECTOR, '.run-counts').text
    if not counts.startswith(f'{len(good)} succeeded, 2 failed'):
        raise Failure(f'the run says "{counts}"')
    announced = ' / '.join(page.js('return window.__announced'))
    for expected in (f'{good[0]}: update succeeded', f'{refusing}: update failed: {tiles[refusing]["reason"]}',
                     f'{silent}: update failed'):
        if expected not in announced:
            raise Failure(f'the live region never said "{expected}"; it said: {announced}')
    wait_for('the run to be marked finished',
             lambda: 'finished' in page.find('run-list').find_element(page.by.CSS_SELECTOR, '.run-meta').text, 15)
    page.screenshot('finished')
    return tiles[refusing]['reason']


def check_history(page, refusing, reason):
    """The refused update in the history: found by its unit, its log opened from its row."""
    if page.find('history-warning').is_displayed():
        raise Failure(f'the history shows a warning: {page.find("history-warning").text}')
    page.find('history-unit').send_keys(refusing)
    page.find('history-search').click()
    wait_for('the history to show only the refused unit', lambda: page.js(
        "return [...document.querySelectorAll('#history-table tbody tr')].map((r) => r.cells[1].textContent)")
        == [refusing], 30)
    button = wait_for("the refused update's row", lambda: page.driver.find_elements(
        page.by.CSS_SELECTOR, '#history-table tr[data-outcome="failed"] button.open-log'), 10)[0]
    row_reason = page.driver.find_element(page.by.CSS_SELECTOR, '#history-table tbody td.reason').text
    if row_reason != reason:
        raise Failure(f'the history row gives the reason "{row_reason}", the tile "{reason}"')
    button.click()
    wait_for('the log', lambda: page.find('update-log').is_displayed() and page.find('update-log-text').text, 15)
    if page.js('return document.activeElement.id') != 'update-log':
        raise Failure('opening a log does not move the focus to it')
    facts = page.find('update-log-facts').text
    if 'refused (code 02)' not in facts or 'station' not in facts:
        raise Failure(f'the log\'s facts do not say refused (code 02) by the station: {facts}')
    log = page.find('update-log-text').text
    if reason not in log:
        raise Failure(f'the log does not hold the reason "{reason}":\n{log}')
    page.js("document.getElementById('history').scrollIntoView()")
    page.screenshot('history')


def check_retry(page, refusing, silent):
    """The finished run offers its failed units again; the new run has those two only."""
    page.driver.find_element(page.by.CSS_SELECTOR, '#run-list .run-retry:not([hidden])').click()

    def retried():
        tiles = page.tiles()
        ended = all(t['kind'] in ('succeeded', 'failed', 'interrupted') for t in tiles)
        return tiles if ended and sorted(t['unit'] for t in tiles) == sorted([refusing, silent]) else None
    tiles = wait_for('a run of the two failed units to end', retried, 60, interval=0.2)
    if any(t['kind'] != 'failed' for t in tiles):
        raise Failure(f'the failed units should have failed again: {tiles}')
    if page.driver.find_elements(page.by.CSS_SELECTOR, '#run-list .run-cancel:not([hidden])'):
        raise Failure('a finished run offers to be cancelled')
    wait_for('the retried run to offer its failed units again', lambda: page.driver.find_elements(
        page.by.CSS_SELECTOR, '#run-list .run-retry:not([hidden])'), 10)


def check_cancel(page, slow):
    field = page.find('run-units')
    field.clear()
    field.send_keys(slow)
    page.find('start-run').click()

    def slow_tile():
        return [t for t in page.tiles() if t['unit'] == slow]
    wait_for('the slow unit updating', lambda: any(t['kind'] == 'running' and t['phase'] == 'sending'
                                                   for t in slow_tile()), 30)
    page.driver.find_element(page.by.CSS_SELECTOR, '#run-list .run-cancel:not([hidden])').click()
    wait_for('the confirmation', lambda: page.driver.switch_to.alert, 5).accept()
    wait_for('the tile to turn cancelled', lambda: slow_tile() and slow_tile()[0]['kind'] == 'interrupted', 20)
    wait_for('the run to be marked cancelled', lambda: 'cancelled' in page.find('run-list').find_element(
        page.by.CSS_SELECTOR, '.run-meta').text, 10)
    if page.driver.find_elements(page.by.CSS_SELECTOR, '#run-list .run-cancel:not([hidden])'):
        raise Failure('a cancelled run still offers to be cancelled')


def check_reconnect(page, processes, station, state_dir, base_url, folder):
    """The station restarts: the page says so, reconnects by itself, and reads the runs again
    (the new station has none, so the old run leaves the page). This time its history is a file
    that is no history, named with HTML: the page's notice says so, as text."""
    processes.stop('station')
    wait_for('the page to see the station gone',
             lambda: page.find('stream-state').get_attribute('data-state') == 'reconnecting', 20)
    broken = os.path.join(folder, HTML_NAME.replace('.hex', '.sqlite'))
    with open(broken, 'wb') as f:
        f.write(b'x' * 8192)
    start_station(processes, station, state_dir, port=int(base_url.rsplit(':', 1)[1]), name='station-again',
                  history=broken)
    wait_for('the page to reconnect', lambda: page.find('stream-state').text == 'Live', 40)
    wait_for('the runs to be read again', lambda: page.find('runs-empty').is_displayed(), 10)

    def notice():
        page.find('history-search').click()
        time.sleep(0.3)
        shown = page.find('history-warning')
        return shown.text if shown.is_displayed() else None
    text = wait_for('the history\'s warning on the page', notice, 20, interval=0.5)
    if HTML_NAME.replace('.hex', '.sqlite') not in text:
        raise Failure(f'the warning does not name the history file as text: {text}')
    if page.js("return document.querySelectorAll('#history img').length"):
        raise Failure('the warning\'s file name became an element')
    if 'history-unavailable' not in page.find('history-state').text and 'unavailable' not in page.find(
            'history-state').text:
        raise Failure(f'the history\'s state does not say it is unavailable: {page.find("history-state").text}')


def check_line(page, base_url, firmware_sha):
    """/#line opened directly: one tile per fixture; a serial scanned into the focused box starts
    bench-a's update (green), bench-b's unit refuses (red, with the reason)."""
    from selenium.webdriver.common.keys import Keys
    page.driver.get(base_url + '/#line')
    tile = "document.querySelector('#fixture-list li[data-name=\"' + arguments[0] + '\"]')"
    state = lambda name: page.js(f'const t = {tile}; return t ? t.dataset.state : null', name)
    wait_for('two fixture tiles', lambda: state('bench-a') == 'idle' and state('bench-b') == 'idle', 10)
    if page.js("return document.getElementById('runs').offsetParent !== null"):
        raise Failure('the line view shows the runs as well')
    wait_for('the firmware in the line view',
             lambda: page.js('return [...document.getElementById("line-firmware").options].some(o => o.value === arguments[0])',
                             firmware_sha), 10)
    page.js('document.getElementById("line-firmware").value = arguments[0]', firmware_sha)
    page.find('line-serial-required').click()
    page.js(f"{tile}.querySelector('.fixture-watch').click()", 'bench-a')
    wait_for('bench-a waiting for its serial', lambda: state('bench-a') == 'waiting-for-serial', 10)
    wait_for('the focus in bench-a\'s serial box',
             lambda: page.js(f"return document.activeElement === {tile}.querySelector('input')", 'bench-a'), 5)
    page.driver.switch_to.active_element.send_keys('40-1187' + Keys.ENTER)
    page.find('line-serial-required').click()
    page.js(f"{tile}.querySelector('.fixture-watch').click()", 'bench-b')
    wait_for('bench-a done', lambda: state('bench-a') == 'done', 20)
    wait_for('bench-b failed', lambda: state('bench-b') == 'failed', 20)
    text = lambda name: page.js(f"return {tile}.querySelector('.fixture-state').textContent", name)
    colour = lambda name: page.js(f'return getComputedStyle({tile}).backgroundColor', name)
    if text('bench-a') != 'Done — remove the unit' or 'Serial 40-1187' not in page.js(
            f"return {tile}.querySelector('.fixture-detail').textContent", 'bench-a'):
        raise Failure(f'bench-a shows "{text("bench-a")}"')
    if not text('bench-b').startswith('Failed: ') or len(text('bench-b')) < 12:
        raise Failure(f'bench-b shows "{text("bench-b")}" without the reason')
    if colour('bench-a') != 'rgb(187, 247, 208)' or colour('bench-b') != 'rgb(254, 202, 202)':
        raise Failure(f'the tiles are not green and red: {colour("bench-a")}, {colour("bench-b")}')
    page.screenshot('line')
    page.js(f"{tile}.querySelector('.fixture-stop').click()", 'bench-a')
    page.js(f"{tile}.querySelector('.fixture-stop').click()", 'bench-b')
    wait_for('both fixtures idle', lambda: state('bench-a') == 'idle' and state('bench-b') == 'idle', 10)
    page.driver.get(base_url + '/')


def check_history_by_serial(page):
    """The history filtered by the serial scanned at bench-a: that one update, at bench-a."""
    page.find('history-serial').send_keys('40-1187')
    page.find('history-search').click()
    rows = "return [...document.querySelectorAll('#history-table tbody tr')].map((r) => [r.cells[1].textContent, " \
           "r.cells[2].textContent, r.cells[3].textContent])"

    def only_that_serial():
        shown = page.js(rows)
        return shown if len(shown) == 1 and shown[0][1] == '40-1187' else None

    found = wait_for('the history to show the update with serial 40-1187', only_that_serial, 20)
    if 'at bench-a' not in found[0][0] or found[0][2] != '':
        raise Failure(f'the row of serial 40-1187 does not show bench-a without a lot: {found[0]}')


def check_roles(page, station, state_dir, token):
    """Who is signed in is shown; an operator is not offered uploads or deletes."""
    def signed_in_as():
        return page.find('signed-in-as').text
    wait_for('the administrator shown as signed in', lambda: signed_in_as() == 'Signed in as admin (admin)', 10)
    if not page.find('firmware-file').is_displayed():
        raise Failure('the administrator is not offered the upload')
    operator = subprocess.run([station, 'token', 'add', 'line7', '--role', 'operator', '--state-dir', state_dir],
                              check=True, capture_output=True, text=True).stdout.strip()
    page.find('sign-out').click()
    wait_for('the page to say nobody is signed in', lambda: signed_in_as() == 'Not signed in', 10)
    page.find('sign-in').click()
    page.enter_token(operator)
    wait_for('the operator shown as signed in', lambda: signed_in_as() == 'Signed in as line7 (operator)', 10)
    offered = page.js("""return [document.getElementById('firmware-file'),
                                 ...document.querySelectorAll('#library-table button.danger')]
                         .filter((e) => e.offsetParent !== null).length""")
    if offered:
        raise Failure(f'an operator is offered {offered} uploads or deletes')
    if not page.find('start-run').is_displayed():
        raise Failure('an operator is not offered to start a run')
    page.find('sign-out').click()
    page.find('sign-in').click()
    page.enter_token(token)
    wait_for('the administrator signed in again', lambda: signed_in_as() == 'Signed in as admin (admin)', 10)


def check_console(page):
    problems = []
    for entry in page.driver.get_log('browser'):
        message = entry.get('message', '')
        if 'Failed to load resource' in message and ('401' in message or '503' in message):
            continue  # the wrong token and the unusable history are meant to be answered so
        if 'Failed to load resource' in message and '/signature' in message and '422' in message:
            continue  # the signature that is none
        if 'ERR_CONNECTION_REFUSED' in message or ('/api/v1/events' in message and 'ERR_INCOMPLETE' in message):
            continue  # while the station restarts
        if entry.get('level') == 'SEVERE' or 'Content Security Policy' in message:
            problems.append(message)
    if problems:
        raise Failure('the browser console reports:\n  ' + '\n  '.join(problems))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--station', required=True, help='the test build of uploader-station')
    parser.add_argument('--unitsim', required=True)
    parser.add_argument('--docs', required=True, help='where the screenshots go')
    args = parser.parse_args()

    for path, package in ((CHROMIUM, 'chromium'), (CHROMEDRIVER, 'chromium-driver')):
        if not os.access(path, os.X_OK):
            skip(f'{path} is missing (Debian package {package}; scripts/install-deps.sh installs it)')
    try:
        import selenium  # noqa: F401
    except ImportError:
        skip('Python module selenium is missing (Debian package python3-selenium)')

    screenshots = args.docs if os.environ.get('UPLOADER_DASHBOARD_SCREENSHOTS') == '1' else None
    folder = tempfile.mkdtemp(prefix='dashboard-test-')
    processes = Processes(folder)
    driver = None
    try:
        state_dir = os.path.join(folder, 'state')
        firmware = os.path.join(folder, 'line-7.hex')
        html_named = os.path.join(folder, HTML_NAME)
        for path, records in ((firmware, RECORDS), (html_named, 16)):
            with open(path, 'w', newline='') as f:
                f.write(firmware_text(records))

        good, refusing, silent, slow = start_units(processes, args.unitsim)
        start_line_units(processes, args.unitsim, folder)
        base_url, token = start_station(processes, args.station, state_dir)
        driver = browser(os.path.join(folder, 'chromium'))
        page = Dashboard(driver, screenshots)
        driver.get(base_url + '/')

        check_page_loads_without_token(page)
        check_page_logic(page)
        sha = upload_firmware_with_token(page, firmware, token)
        check_html_name_shows_as_text(page, html_named)
        check_signature_beside_hex(page, html_named)
        start_run_by_keyboard(page, sha, good[:3] + [refusing] + good[3:] + [silent], folder)
        reason = check_run(page, good, refusing, silent)
        print(f'refused unit\'s tile: "{reason}"')
        check_history(page, refusing, reason)
        check_retry(page, refusing, silent)
        check_cancel(page, slow)
        check_line(page, base_url, sha)
        check_history_by_serial(page)
        check_roles(page, args.station, state_dir, token)
        check_reconnect(page, processes, args.station, state_dir, base_url, folder)
        check_console(page)
    except Failure as failure:
        print(f'FAILED: {failure}')
        if driver:
            driver.save_screenshot(os.path.join(folder, 'failure.png'))
            print(f'the page at the failure: {folder}/failure.png')
        processes.stop_all()
        print(processes.logs()[-6000:])
        return 1
    finally:
        if driver:
            driver.quit()
        processes.stop_all()
    shutil.rmtree(folder, ignore_errors=True)
    print('station_dashboard_browser: passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
