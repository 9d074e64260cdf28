#!/usr/bin/python3
# python3-winrm, the library configuration-management tools use against
# Windows, against the WinRM double: Enumerate with a WQL filter, Pull and
# Release through Protocol.send_message over HTTPS with Basic, and the
# double's faults as the library raises Windows' own.
# Usage: pywinrm-test.py WINRM_DOUBLE MAKE_CERTS FOLDER DATA_FOLDER
import os
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import requests
import xmltodict
from winrm.exceptions import InvalidCredentialsError, WinRMError, WinRMOperationTimeoutError
from winrm.protocol import Protocol

double, make_certs, folder, data = sys.argv[1:5]
ENUMERATION = 'http://schemas.xmlsoap.org/ws/2004/09/enumeration/'
ALL = 'http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*'
NS = {'n': 'http://schemas.xmlsoap.org/ws/2004/09/enumeration',
      'w': 'http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd'}
failures = []


def check(condition, what):
    print(('ok   ' if condition else 'FAIL ') + what)
    if not condition:
        failures.append(what)


class Double:
    def __init__(self, *switches):
        self.ready = os.path.join(folder, 'ready-%d' % len(switches))
        if os.path.exists(self.ready):
            os.remove(self.ready)
        self.process = subprocess.Popen(
            [double, '--cert', os.path.join(folder, 'server.pem'), '--key', os.path.join(folder, 'server.key'),
             '--accounts', os.path.join(folder, 'accounts'), '--ready-file', self.ready] + list(switches))
        for _ in range(100):
            if os.path.exists(self.ready):
                break
            time.sleep(0.05)
        ports = dict(item.split('=') for item in open(self.ready).read().split())
        self.http, self.https = ports['http'], ports['https']

    def protocol(self, user='monitor', https=True, timeout=20, host='localhost'):
        endpoint = ('https://%s:%s/wsman' % (host, self.https)) if https else ('http://%s:%s/wsman' % (host, self.http))
        return Protocol(endpoint=endpoint, transport='basic', username=user, password='s3cret word',
                        server_cert_validation='validate', ca_trust_path=os.path.join(folder, 'ca.pem'),
                        operation_timeout_sec=timeout, read_timeout_sec=timeout + 10)

    def state(self):
        return requests.get('http://127.0.0.1:%s/double/state' % self.http).json()

    def stop(self):
        self.process.terminate()
        self.process.wait()


def message(protocol, action, body):
    envelope = protocol._get_soap_header(resource_uri=ALL, action=ENUMERATION + action)
    envelope['env:Body'] = body
    return xmltodict.unparse({'env:Envelope': envelope})


def enumerate_message(protocol, query, optimize=True, dialect='http://schemas.microsoft.com/wbem/wsman/1/WQL'):
    body = {'n:Enumerate': {'w:MaxElements': '32', 'w:EnumerationMode': 'EnumerateObjectAndEPR',
                            'w:Filter': {'@Dialect': dialect, '#text': query}}}
    if optimize:
        body['n:Enumerate'] = dict({'w:OptimizeEnumeration': None}, **body['n:Enumerate'])
    return message(protocol, 'Enumerate', body)


def names(answer):
    return [node.text for node in answer.iter() if node.tag.endswith('}Name')]


def query_all(protocol, query):
    """Enumerate and Pull to the end: the instances' names and round trips."""
    answer = ET.fromstring(protocol.send_message(enumerate_message(protocol, query)))
    found, trips = names(answer), 1
    while answer.find('.//w:EndOfSequence', NS) is None and answer.find('.//n:EndOfSequence', NS) is None:
        context = answer.find('.//n:EnumerationContext', NS).text
        answer = ET.fromstring(protocol.send_message(message(
            protocol, 'Pull', {'n:Pull': {'n:EnumerationContext': context, 'n:MaxElements': '32'}})))
        found, trips = found + names(answer), trips + 1
    return found, trips


# The services the common check reports, read from the data file itself.
def automatic_not_running():
    rows = [line.rstrip('\n').split('\t') for line in open(os.path.join(data, 'services-default.tsv'))
            if line.strip() and not line.startswith('#')]
    header = [cell.split(':')[0] for cell in rows[0]]
    return sorted(row[0] for row in rows[1:]
                  if row[header.index('StartMode')] == 'Auto' and row[header.index('State')] != 'Running')


shutil.rmtree(folder, ignore_errors=True)
subprocess.check_call([make_certs, folder, 'svcfail01'])
with open(os.path.join(folder, 'accounts'), 'w') as accounts:
    accounts.write('monitor:s3cret word\n')

query = "SELECT * FROM Win32_Service WHERE StartMode='Auto' AND State<>'Running'"
service = Double('--one-per-pull')
try:
    protocol = service.protocol()
    found, trips = query_all(protocol, query)
    check(sorted(found) == automatic_not_running(), 'WQL WHERE through Enumerate and Pull: %s' % sorted(found))
    check(trips == len(found), 'one item per round trip (%d for %d)' % (trips, len(found)))

    # Another computer (a name libnss-wrapper maps to the loopback): its overlay.
    if os.environ.get('NSS_WRAPPER_HOSTS'):
        found, _ = query_all(service.protocol(host='svcfail01'), query)
        check('Spooler' in found, 'SVCFAIL01 through the Host header: %s' % sorted(found))

    # Released after one Pull: nothing stays open.
    answer = ET.fromstring(protocol.send_message(enumerate_message(protocol, query, optimize=False)))
    context = answer.find('.//n:EnumerationContext', NS).text
    answer = ET.fromstring(protocol.send_message(message(
        protocol, 'Pull', {'n:Pull': {'n:EnumerationContext': context, 'n:MaxElements': '1'}})))
    context = answer.find('.//n:EnumerationContext', NS).text
    protocol.send_message(message(protocol, 'Release', {'n:Release': {'n:EnumerationContext': context}}))
    state = service.state()
    check(state['open'] == 0 and state['released'] == 1, 'released: %s' % state)

    # Faults, as the library reads Windows' own.
    for what, text, code in [
            ('an unknown class', enumerate_message(protocol, 'SELECT * FROM Win32_NoSuchClass'), '2150858778'),
            ('an unknown dialect', enumerate_message(protocol, query, dialect='urn:no-such-dialect'), '2150858777'),
            ('a released context', message(protocol, 'Pull', {'n:Pull': {'n:EnumerationContext': context}}),
             '2150858776')]:
        try:
            protocol.send_message(text)
            check(False, what + ': no fault')
        except WinRMError as error:
            check("'wsmanfault_code': '%s'" % code in str(error), '%s: %s' % (what, error))

    for what, protocol in [('Basic over HTTP', service.protocol(https=False)),
                           ('a domain account', service.protocol(user='CORP\\monitor'))]:
        try:
            protocol.send_message(enumerate_message(protocol, query))
            check(False, what + ': accepted')
        except InvalidCredentialsError:
            check(True, what + ': refused (401)')
finally:
    service.stop()

# A WMI slower than the operation's time-out: Windows' TimedOut fault.
slow = Double('--latency-ms', '5000')
try:
    protocol = slow.protocol(timeout=1)
    try:
        protocol.send_message(enumerate_message(protocol, query))
        check(False, 'time-out: answered')
    except WinRMOperationTimeoutError:
        check(True, 'time-out: WinRMOperationTimeoutError')
finally:
    slow.stop()

sys.exit(1 if failures else 0)
