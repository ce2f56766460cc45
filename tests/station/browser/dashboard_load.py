#!/usr/bin/python3
"""How much the dashboard costs the browser while a station updates many units (a measurement,
not a test: nothing is asserted).

Starts the station's test build and unit_fleet (bench/) with N simulated units answering after a
latency, stores a firmware file and starts a run on all units through the API, and watches the
page in headless Chromium until the run ends. Prints the page's main-thread time (scripts, style,
layout) as a share of the wall time, the longest gap between two animation frames, how many
frames were drawn, and the page's JavaScript heap.

  dashboard_load.py --station build/src/station/uploader-station-test \\
                    --unit-fleet build/bench/unit_fleet [--units 256] [--latency 10] [--records 3000]
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dashboard_test import Failure, Processes, browser, firmware_text, start_station, wait_for  # noqa: E402

FRAME_PROBE = """
window.__frames = { count: 0, longestGap: 0, last: performance.now() };
const tick = (now) => {
  const f = window.__frames;
  f.longestGap = Math.max(f.longestGap, now - f.last);
  f.last = now;
  ++f.count;
  requestAnimationFrame(tick);
};
requestAnimationFrame(tick);
"""


def api(base_url, token, method, path, body=None, content_type='application/json'):
    data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
    request = urllib.request.Request(f'{base_url}/api/v1/{path}', data=data, method=method,
                                     headers={'Authorization': f'Bearer {token}', 'Content-Type': content_type})
    with urllib.request.urlopen(request, timeout=30) as response:
        return json.loads(response.read() or b'null')


def metrics(driver):
    answer = driver.execute_cdp_cmd('Performance.getMetrics', {})
    return {m['name']: m['value'] for m in answer['metrics']}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--station', required=True)
    parser.add_argument('--unit-fleet', required=True)
    parser.add_argument('--units', type=int, default=256)
    parser.add_argument('--latency', default='10')
    parser.add_argument('--records', type=int, default=3000)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix='dashboard-load-')
    processes = Processes(folder)
    driver = None
    try:
        fleet, log = processes.start('unit_fleet', [args.unit_fleet, '--units', str(args.units),
                                                    '--latency', args.latency])
        wait_for('unit_fleet', lambda: processes.read_log(log).count('listening on') == args.units, 60)
        units = [line.split()[-1] for line in processes.read_log(log).splitlines() if 'listening on' in line]
        base_url, token = start_station(processes, args.station, os.path.join(folder, 'state'))
        stored = api(base_url, token, 'POST', 'firmware?name=load.hex', firmware_text(args.records).encode(),
                     'application/octet-stream')

        driver = browser(os.path.join(folder, 'chromium'))
        driver.get(base_url + '/')
        wait_for('the live stream', lambda: driver.find_element('id', 'stream-state').text == 'Live', 20)
        driver.execute_cdp_cmd('Performance.enable', {})
        driver.execute_script(FRAME_PROBE)
        before = metrics(driver)
        started = time.monotonic()
        run = api(base_url, token, 'POST', 'runs', {'firmware': stored['sha256'], 'units': units})
        wait_for('every tile', lambda: driver.execute_script(
            "return document.querySelectorAll('#run-list .tile').length") == len(units), 30)
        wait_for('the run to end', lambda: api(base_url, token, 'GET', f'runs/{run["id"]}')['state'] != 'running',
                 600, interval=0.5)
        wall = time.monotonic() - started
        after = metrics(driver)
        frames = driver.execute_script('return window.__frames')
        ended = driver.execute_script(
            "return [...document.querySelectorAll('#run-list .tile')].filter((t) => t.dataset.kind === 'succeeded').length")

        def share(name):
            return 100 * (after[name] - before[name]) / wall
        print(f'{len(units)} units, {args.records} records each, unit latency {args.latency} ms: run took {wall:.1f} s, '
              f'{ended} tiles green')
        print(f'page main thread busy: {share("TaskDuration"):.1f}% of wall time '
              f'(scripts {share("ScriptDuration"):.1f}%, style {share("RecalcStyleDuration"):.1f}%, '
              f'layout {share("LayoutDuration"):.1f}%)')
        print(f'animation frames: {frames["count"]} ({frames["count"] / wall:.0f}/s), '
              f'longest gap {frames["longestGap"]:.0f} ms')
        print(f'JS heap used: {after["JSHeapUsedSize"] / 2**20:.1f} MiB; DOM nodes: {int(after["Nodes"])}')
        return 0
    except Failure as failure:
        print(f'FAILED: {failure}\n{processes.logs()[-4000:]}')
        return 1
    finally:
        if driver:
            driver.quit()
        processes.stop_all()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
