#!/usr/bin/python3
"""The station's OpenAPI description against the station itself.

The file: every operation has an operationId (unique), a summary and tags the file declares, and
every $ref resolves. The station: the test build is started with two simulated units and a
fixture, every operation is called (successes and the usual refusals), and each answer's status
must be one the description lists for it, its content type the one it names, and a JSON body
must validate against the schema it gives (Debian's python3-jsonschema). Also: every described path
takes exactly the described methods, by the station's own Allow headers.
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'browser'))
from dashboard_test import Failure, Processes, firmware_text, wait_for  # noqa: E402

SKIP = 77
METHODS = ('get', 'put', 'post', 'delete', 'patch', 'head', 'options')


def skip(why):
    print(f'SKIPPED: station_api_description: {why}')
    sys.exit(SKIP)


def check_file(description):
    """What the file itself must hold, whatever the station answers."""
    problems = []
    declared = {tag['name'] for tag in description.get('tags', [])}
    seen = {}
    for path, item in description['paths'].items():
        for method in METHODS:
            operation = item.get(method)
            if operation is None:
                continue
            where = f'{method.upper()} {path}'
            op_id = operation.get('operationId')
            if not op_id:
                problems.append(f'{where}: no operationId')
            elif op_id in seen:
                problems.append(f'{where}: operationId {op_id} is also {seen[op_id]}\'s')
            else:
                seen[op_id] = where
            if not operation.get('summary'):
                problems.append(f'{where}: no summary')
            tags = operation.get('tags') or []
            if not tags:
                problems.append(f'{where}: no tags')
            problems += [f'{where}: tag {t} is not declared' for t in tags if t not in declared]
            named = {p.get('name') for p in item.get('parameters', []) + operation.get('parameters', [])
                     if isinstance(p, dict) and p.get('in') == 'path'}
            named |= {resolve(description, p['$ref']).get('name') for p in item.get('parameters', [])
                      + operation.get('parameters', []) if '$ref' in p}
            problems += [f'{where}: path parameter {{{name}}} is not declared'
                         for name in re.findall(r'{(\w+)}', path) if name not in named]

    def refs(node, where):
        if isinstance(node, dict):
            if '$ref' in node:
                try:
                    resolve(description, node['$ref'])
                except KeyError:
                    problems.append(f'{where}: $ref {node["$ref"]} does not resolve')
            for key, value in node.items():
                refs(value, f'{where}/{key}')
        elif isinstance(node, list):
            for i, value in enumerate(node):
                refs(value, f'{where}/{i}')
    refs(description, '#')
    return problems


def resolve(description, ref):
    node = description
    for part in ref.lstrip('#/').split('/'):
        node = node[part]
    return node


def json_schema(node):
    """OpenAPI 3.0's schema dialect as JSON Schema: nullable becomes a null alternative."""
    if isinstance(node, list):
        return [json_schema(n) for n in node]
    if not isinstance(node, dict):
        return node
    converted = {k: json_schema(v) for k, v in node.items() if k not in ('nullable', 'example')}
    if node.get('nullable'):
        return {'anyOf': [converted, {'type': 'null'}]}
    return converted


class Api:
    def __init__(self, description, base_url, token):
        self.description = description
        self.base_url = base_url
        self.token = token
        self.schemas = {'components': json_schema(description['components'])}
        self.checked = set()
        import jsonschema
        self.jsonschema = jsonschema

    def operation(self, method, path):
        bare = path.split('?')[0]
        relative = bare[len('/api/v1'):] if bare.startswith('/api/v1/') else bare
        for template, item in self.description['paths'].items():
            pattern = '^' + re.sub(r'{\w+}', '[^/]+', re.escape(template).replace(r'\{', '{').replace(r'\}', '}')) + '$'
            if re.match(pattern, relative) and method.lower() in item:
                return template, item[method.lower()]
        raise Failure(f'{method} {path}: the description has no such operation')

    def call(self, method, path, body=None, content_type='application/json', status=None, token=None):
        data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base_url + path, data=data, method=method)
        request.add_header('Authorization', f'Bearer {token or self.token}')
        if data is not None:
            request.add_header('Content-Type', content_type)
        try:
            with urllib.request.urlopen(request, timeout=20) as answer:
                code, headers, payload = answer.status, answer.headers, answer.read()
        except urllib.error.HTTPError as error:
            code, headers, payload = error.code, error.headers, error.read()
        if status is not None and code != status:
            raise Failure(f'{method} {path}: {code}, not {status}: {payload[:300]!r}')
        self.check(method, path, code, headers.get('Content-Type', ''), payload)
        return code, json.loads(payload) if payload and 'json' in headers.get('Content-Type', '') else payload

    def check(self, method, path, code, content_type, payload):
        template, operation = self.operation(method, path)
        responses = operation['responses']
        response = responses.get(str(code)) or responses.get('default')
        if response is None:
            raise Failure(f'{method} {path}: answered {code}, which the description does not list '
                          f'({", ".join(responses)})')
        if '$ref' in response:
            response = resolve(self.description, response['$ref'])
        self.checked.add((method, template, code))
        content = response.get('content')
        if not content:
            if payload and code != 204:
                raise Failure(f'{method} {path}: {code} has a body the description does not give')
            return
        media = content_type.split(';')[0].strip()
        described = {k.split(';')[0].strip(): v for k, v in content.items()}
        if media not in described:
            raise Failure(f'{method} {path}: {code} came as {content_type}, described as {", ".join(content)}')
        schema = described[media].get('schema')
        if media == 'application/json' and schema:
            validator = self.jsonschema.Draft7Validator(
                json_schema(schema), resolver=self.jsonschema.RefResolver('', self.schemas))
            errors = sorted(validator.iter_errors(json.loads(payload)), key=lambda e: list(e.path))
            if errors:
                raise Failure(f'{method} {path}: {code} does not match its schema: '
                              + '; '.join(f'{list(e.path)}: {e.message}' for e in errors[:5]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--station', required=True)
    parser.add_argument('--unitsim', required=True)
    parser.add_argument('--api', required=True)
    args = parser.parse_args()
    try:
        import jsonschema  # noqa: F401
    except ImportError:
        skip('Python module jsonschema is missing (Debian package python3-jsonschema)')

    description = json.load(open(args.api))
    problems = check_file(description)
    if problems:
        print('FAILED: the description itself:\n  ' + '\n  '.join(problems))
        return 1

    folder = tempfile.mkdtemp(prefix='api-description-test-')
    processes = Processes(folder)
    try:
        units = {}
        for name, fault in (('good', []), ('refusing', ['--fault', 'refuse:02@3'])):
            process, log = processes.start(name, [args.unitsim, '--product', 'marlin', '--port', '0', *fault])
            units[name] = '127.0.0.1:' + processes.wait_for_line(name, process, log,
                                                                 r'listening on [\d.]+:(\d+)').group(1)
        fixtures = os.path.join(folder, 'fixtures')
        with open(fixtures, 'w') as f:
            f.write(f'f1 {units["good"]}\n')
        state = os.path.join(folder, 'state')
        with socket.socket() as closed:  # a webhook receiver that is never there: its status is described too
            closed.bind(('127.0.0.1', 0))
            nowhere = f'http://127.0.0.1:{closed.getsockname()[1]}/hook'
        process, log = processes.start('station', [
            args.station, '--listen', '127.0.0.1:0', '--state-dir', state, '--product', 'Marlin',
            '--fixtures', fixtures, '--history', os.path.join(folder, 'history.sqlite'), '--time-scale', '0.05',
            '--webhook', nowhere])
        base_url = processes.wait_for_line('station', process, log, r'^(http://127\.0\.0\.1:\d+)\s*$').group(1)
        with open(os.path.join(state, 'token')) as f:
            token = f.read().strip()
        api = Api(description, base_url, token)
        operator = subprocess.run([args.station, 'token', 'add', 'op', '--role', 'operator', '--state-dir', state],
                                  check=True, capture_output=True, text=True).stdout.strip()
        exercise(api, units, operator)
        served_methods_are_described(api)
    except Failure as failure:
        print(f'FAILED: {failure}')
        processes.stop_all()
        print(processes.logs()[-4000:])
        return 1
    finally:
        processes.stop_all()
    shutil.rmtree(folder, ignore_errors=True)
    print(f'station_api_description: passed ({len(api.checked)} answers checked against their schemas)')
    return 0


def exercise(api, units, operator):
    firmware = firmware_text(40).encode()
    _, stored = api.call('POST', '/api/v1/firmware?name=fw.hex', firmware, 'application/octet-stream', 201)
    sha = stored['sha256']
    api.call('POST', '/api/v1/firmware?name=fw.hex', firmware, 'application/octet-stream', 200)
    api.call('POST', '/api/v1/firmware?name=bad.hex', b':00000001FE\r\n', 'application/octet-stream', 422)
    api.call('POST', '/api/v1/firmware?name=no-extension', firmware, 'application/octet-stream', 400)
    api.call('GET', '/api/v1/firmware', status=200)
    api.call('GET', f'/api/v1/firmware/{sha}', status=200)
    api.call('GET', '/api/v1/firmware/' + 'a' * 64, status=404)
    api.call('GET', '/api/v1/firmware/xyz', status=400)

    _, run = api.call('POST', '/api/v1/runs', {
        'firmware': sha, 'lot': '5521', 'retries': 1,
        'units': [units['good'], {'unit': units['refusing'], 'serial': '40-1187'}]}, status=201)
    api.call('POST', f'/api/v1/runs/{run["id"]}/retry', status=409)
    wait_for('the run to end', lambda: api.call('GET', f'/api/v1/runs/{run["id"]}')[1]['state'] != 'running', 60)
    api.call('GET', '/api/v1/runs', status=200)
    api.call('DELETE', f'/api/v1/runs/{run["id"]}', status=409)
    _, retry = api.call('POST', f'/api/v1/runs/{run["id"]}/retry', status=201)
    api.call('DELETE', f'/api/v1/runs/{retry["id"]}')  # 200, or 409 when it ended already
    api.call('GET', '/api/v1/runs/000000000000', status=404)
    api.call('POST', '/api/v1/runs', {'firmware': sha, 'units': []}, status=400)
    api.call('POST', '/api/v1/runs', {'firmware': 'b' * 64, 'units': [units['good']]}, status=404)
    wait_for('the retry to end', lambda: api.call('GET', f'/api/v1/runs/{retry["id"]}')[1]['state'] != 'running', 60)

    _, updates = api.call('GET', '/api/v1/updates?lot=5521', status=200)
    if not updates['updates']:
        raise Failure('the history has no row of the lot')
    api.call('GET', f'/api/v1/updates/{updates["updates"][0]["id"]}', status=200)
    api.call('GET', '/api/v1/updates/999999', status=404)
    api.call('GET', '/api/v1/updates/x', status=400)
    api.call('GET', '/api/v1/updates?outcome=maybe', status=400)
    api.call('GET', '/api/v1/status', status=200)
    api.call('GET', '/api/v1/openapi.json', status=200)

    api.call('GET', '/api/v1/fixtures', status=200)
    api.call('POST', '/api/v1/fixtures/f1/serial', {'serial': 'SN-1'}, status=200)
    api.call('POST', '/api/v1/fixtures/f1/watch', {'firmware': sha, 'serial_required': True}, status=200)
    api.call('POST', '/api/v1/fixtures/f1/watch', {'firmware': sha, 'retries': 99}, status=400)
    api.call('POST', '/api/v1/fixtures/f9/watch', {'firmware': sha}, status=404)
    api.call('DELETE', f'/api/v1/firmware/{sha}', status=409)
    api.call('DELETE', f'/api/v1/firmware/{sha}', status=403, token=operator)
    api.call('GET', '/api/v1/session', status=200, token=operator)
    api.call('GET', '/api/v1/audit?limit=5', status=200)
    api.call('GET', '/api/v1/audit?since=never', status=400)
    api.call('GET', '/api/v1/audit', status=403, token=operator)
    api.call('DELETE', '/api/v1/fixtures/f1/watch', status=200)
    api.call('DELETE', f'/api/v1/firmware/{sha}', status=204)

    api.call('GET', '/metrics', status=200)
    api.call('GET', '/healthz', status=200)
    api.call('GET', '/readyz', status=200)


def served_methods_are_described(api):
    """Each described path answers a method it does not take with 405 and the methods it takes
    (Allow): exactly the described ones."""
    for template, item in api.description['paths'].items():
        prefix = '' if item.get('servers') else '/api/v1'
        path = prefix + re.sub(r'{\w+}', lambda m: {'sha256': 'a' * 64, 'id': '1', 'name': 'f1'}.get(m.group(0)[1:-1], 'x'),
                               template)
        request = urllib.request.Request(api.base_url + path, method='PATCH')
        request.add_header('Authorization', f'Bearer {api.token}')
        try:
            with urllib.request.urlopen(request, timeout=20) as answer:
                headers = answer.headers
        except urllib.error.HTTPError as error:
            headers = error.headers
        allowed = {m.strip().lower() for m in headers.get('Allow', '').split(',') if m.strip()}
        allowed.discard('head')  # HEAD goes with GET where the station gives it; not described apart
        described = {m for m in METHODS if m in item}
        if allowed != described:
            raise Failure(f'{template}: the station allows {sorted(allowed)}, the description has {sorted(described)}')


if __name__ == '__main__':
    sys.exit(main())
