#!/usr/bin/python3
# The WinRM double's Negotiate and Kerberos logons and sealed messages against
# a throwaway KDC (tests/kdc/start-kdc.sh): python3-winrm with NTLM over HTTP,
# every message sealed, and with Kerberos over HTTPS; python3-gssapi as a bare
# client for what python3-winrm cannot do (Kerberos sealing, channel binding)
# and for the refusals Windows makes. The double's own state is the judge.
# Usage: gss-test.py WINRM_DOUBLE MAKE_CERTS START_KDC FOLDER DATA_FOLDER
import base64
import hashlib
import os
import shutil
import ssl
import struct
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import gssapi
import gssapi.raw
import requests
import xmltodict
from winrm.protocol import Protocol

double, make_certs, start_kdc, folder, data = sys.argv[1:6]
ENUMERATION = 'http://schemas.xmlsoap.org/ws/2004/09/enumeration/'
ALL = 'http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*'
NS = {'n': 'http://schemas.xmlsoap.org/ws/2004/09/enumeration',
      'w': 'http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd'}
QUERY = "SELECT * FROM Win32_Service WHERE StartMode='Auto' AND State<>'Running'"
SPNEGO = gssapi.OID.from_int_seq('1.3.6.1.5.5.2')
KERBEROS = gssapi.OID.from_int_seq('1.2.840.113554.1.2.2')
NTLM = gssapi.OID.from_int_seq('1.3.6.1.4.1.311.2.2.10')
BOUNDARY = b'--Encrypted Boundary'
failures = []


def check(condition, what):
    print(('ok   ' if condition else 'FAIL ') + what)
    if not condition:
        failures.append(what)


def path(name):
    return os.path.join(folder, name)


class Double:
    def __init__(self, name, *switches):
        self.ready = path('ready-' + name)
        self.process = subprocess.Popen(
            [double, '--cert', path('server.pem'), '--key', path('server.key'), '--accounts', path('accounts'),
             '--keytab', path('http.keytab'), '--ntlm-users', path('ntlm-users'), '--data', data,
             '--no-rights', 'norights@CORP.EXAMPLE', '--no-rights', 'CORP\\norights',
             '--ready-file', self.ready] + list(switches))
        for _ in range(100):
            if os.path.exists(self.ready):
                break
            time.sleep(0.05)
        ports = dict(item.split('=') for item in open(self.ready).read().split())
        self.http, self.https = ports['http'], ports['https']

    def url(self, https):
        return 'https://localhost:%s/wsman' % self.https if https else 'http://localhost:%s/wsman' % self.http

    def state(self):
        return requests.get('http://127.0.0.1:%s/double/state' % self.http).json()

    def stop(self):
        self.process.terminate()
        self.process.wait()


def envelope(action, body):
    header = Protocol('http://localhost/wsman', username='x', password='x')._get_soap_header(
        resource_uri=ALL, action=ENUMERATION + action)
    header['env:Body'] = body
    return xmltodict.unparse({'env:Envelope': header})


def enumerate_message():
    return envelope('Enumerate', {'n:Enumerate': {
        'w:OptimizeEnumeration': None, 'w:MaxElements': '32', 'w:EnumerationMode': 'EnumerateObjectAndEPR',
        'w:Filter': {'@Dialect': 'http://schemas.microsoft.com/wbem/wsman/1/WQL', '#text': QUERY}}})


def names(answer):
    return [node.text for node in answer.iter() if node.tag.endswith('}Name')]


def automatic_not_running():
    rows = [line.rstrip('\n').split('\t') for line in open(os.path.join(data, 'services-default.tsv'))
            if line.strip() and not line.startswith('#')]
    header = [cell.split(':')[0] for cell in rows[0]]
    return sorted(row[0] for row in rows[1:]
                  if row[header.index('StartMode')] == 'Auto' and row[header.index('State')] != 'Running')


def query_all(send):
    """Enumerate, Pull to the end and Release a last open one: the names found."""
    answer = ET.fromstring(send(enumerate_message()))
    found = names(answer)
    while answer.find('.//w:EndOfSequence', NS) is None and answer.find('.//n:EndOfSequence', NS) is None:
        context = answer.find('.//n:EnumerationContext', NS).text
        answer = ET.fromstring(send(envelope('Pull', {'n:Pull': {
            'n:EnumerationContext': context, 'n:MaxElements': '1'}})))
        found += names(answer)
    return sorted(found)


def end_point():
    """The tls-server-end-point binding of the double's certificate (SHA-256 signed)."""
    der = ssl.PEM_cert_to_DER_cert(open(path('server.pem')).read())
    return b'tls-server-end-point:' + hashlib.sha256(der).digest()


class GssClient:
    """One kept-alive connection that logs on with a GSS context and seals as WinRM does."""

    def __init__(self, url, mech=SPNEGO, scheme='Negotiate', service='localhost', creds=None, binding=None):
        self.url, self.scheme = url, scheme
        # WinRM names the Kerberos scheme's sealing apart from SPNEGO's.
        self.protocol = b'application/HTTP-%s-session-encrypted' % (b'Kerberos' if scheme == 'Kerberos' else b'SPNEGO')
        self.http = requests.Session()
        bindings = gssapi.raw.ChannelBindings(application_data=binding) if binding else None
        self.context = gssapi.SecurityContext(
            name=gssapi.Name('HTTP@' + service, gssapi.NameType.hostbased_service), mech=mech, creds=creds,
            usage='initiate', channel_bindings=bindings,
            flags=[gssapi.RequirementFlag.mutual_authentication, gssapi.RequirementFlag.integrity,
                   gssapi.RequirementFlag.confidentiality])

    def logon(self):
        """The legs of the logon on an empty body: the last status."""
        token = self.context.step()
        while True:
            answer = self.http.post(self.url, data=b'', verify=path('ca.pem'), headers={
                'Authorization': '%s %s' % (self.scheme, base64.b64encode(token).decode())})
            # requests joins the headers with ", "; a token has no comma.
            tokens = [offer.split()[1] for offer in answer.headers.get('WWW-Authenticate', '').split(', ')
                      if offer.startswith(self.scheme + ' ')]
            if tokens and not self.context.complete:
                token = self.context.step(base64.b64decode(tokens[0]))
            if answer.status_code != 401 or not tokens:
                return answer.status_code

    def seal(self, soap, tamper):
        if self.context.mech == NTLM:
            wrapped = self.context.wrap(soap, True).message
            signature, sealed = wrapped[:16], wrapped[16:]
        else:
            iov = gssapi.raw.IOV(gssapi.raw.IOVBufferType.header, soap, gssapi.raw.IOVBufferType.padding,
                                 std_layout=False)
            gssapi.raw.wrap_iov(self.context, iov, confidential=True)
            signature, sealed = iov[0].value, iov[1].value + (iov[2].value or b'')
        if tamper:
            sealed = sealed[:-1] + bytes([sealed[-1] ^ 1])
        return (BOUNDARY + b'\r\n\tContent-Type: ' + self.protocol + b'\r\n'
                b'\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=%d\r\n' % len(soap) +
                BOUNDARY + b'\r\n\tContent-Type: application/octet-stream\r\n' +
                struct.pack('<I', len(signature)) + signature + sealed + BOUNDARY + b'--\r\n')

    def unseal(self, body):
        data = body.split(b'application/octet-stream\r\n', 1)[1][:-len(BOUNDARY + b'--\r\n')]
        length = struct.unpack('<I', data[:4])[0]
        return self.context.unwrap(data[4:4 + length] + data[4 + length:]).message

    def post(self, soap, sealed=True, tamper=False):
        """The status and the answer's text, unsealed when sealed."""
        soap = soap.encode()
        if sealed:
            answer = self.http.post(self.url, data=self.seal(soap, tamper), verify=path('ca.pem'), headers={
                'Content-Type': 'multipart/encrypted;protocol="%s";boundary="Encrypted Boundary"' %
                                self.protocol.decode()})
        else:
            answer = self.http.post(self.url, data=soap, verify=path('ca.pem'),
                                    headers={'Content-Type': 'application/soap+xml;charset=UTF-8'})
        if answer.headers.get('Content-Type', '').startswith('multipart/encrypted'):
            if self.protocol.decode() not in answer.headers['Content-Type'] or self.protocol not in answer.content:
                return answer.status_code, 'sealed in another protocol: ' + answer.headers['Content-Type']
            return answer.status_code, self.unseal(answer.content).decode()
        return answer.status_code, answer.text


def ntlm_creds(user, password):
    # For SPNEGO: credentials of the NTLM mechanism alone, SPNEGO ignores.
    name = gssapi.Name(user, gssapi.NameType.user)
    return gssapi.Credentials(gssapi.raw.acquire_cred_with_password(
        name, password.encode(), usage='initiate', mechs=[SPNEGO]).creds)


shutil.rmtree(folder, ignore_errors=True)
os.makedirs(folder)
kdc = int(subprocess.check_output(['bash', start_kdc, folder, 'svcfail01']).split()[0])
os.environ['KRB5_CONFIG'] = path('krb5.conf')
try:
    for user, password in [('monitor', 'M0nitor!'), ('norights', 'N0rights!')]:
        subprocess.run(['kinit', user], input=(password + '\n').encode(), check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, KRB5CCNAME=path(user + '.cc')))
    subprocess.check_call([make_certs, folder, 'svcfail01'])
    with open(path('accounts'), 'w') as accounts:
        accounts.write('monitor:s3cret word\n')
    with open(path('ntlm-users'), 'w') as users:
        users.write('CORP:monitor:M0nitor!\nCORP:norights:N0rights!\n')
    os.environ['NTLM_USER_FILE'] = path('ntlm-users')
    expected = automatic_not_running()

    plain, bound = Double('plain'), Double('bound', '--require-channel-binding')
    try:
        # Without credentials: the schemes Windows offers, Basic over HTTPS only.
        for https, offers in [(False, 'Negotiate, Kerberos'), (True, 'Negotiate, Kerberos, Basic realm="WSMAN"')]:
            answer = requests.post(plain.url(https), data=enumerate_message(), verify=path('ca.pem'))
            check((answer.status_code, answer.headers.get('WWW-Authenticate')) == (401, offers),
                  'no credentials (https=%s): %s %s' % (https, answer.status_code, answer.headers))

        # One logon a row, then one Enumerate: (what, double, https, client options, cache,
        # logon status, sealed, tampered, answer status, the state's count that grows).
        rows = [
            ('Kerberos through SPNEGO, sealed over HTTP', plain, False, {}, 'monitor', 200, True, False, 200,
             ('mechanisms', 'kerberos')),
            ('Kerberos on its own (the Kerberos scheme)', plain, False, {'mech': KERBEROS, 'scheme': 'Kerberos'},
             'monitor', 200, True, False, 200, ('mechanisms', 'kerberos')),
            ('NTLM through SPNEGO (gss-ntlmssp), sealed over HTTP', plain, False,
             {'creds': ntlm_creds('CORP\\monitor', 'M0nitor!')}, None, 200, True, False, 200,
             ('mechanisms', 'ntlm')),
            ('Kerberos over HTTPS, in the clear', plain, True, {}, 'monitor', 200, False, False, 200,
             ('mechanisms', 'kerberos')),
            ('a clear body over HTTP', plain, False, {}, 'monitor', 200, False, False, 401,
             ('refusals', 'unencrypted')),
            ('a bad signature', plain, False, {}, 'monitor', 200, True, True, 400, ('refusals', 'signature')),
            ('a ticket for another principal', plain, False, {'service': 'otherhost'}, 'monitor', 401, None,
             False, None, ('refusals', 'logon')),
            ('an account without rights (Kerberos)', plain, False, {}, 'norights', 200, True, False, 500,
             ('refusals', 'accessDenied')),
            ('an account without rights (NTLM)', plain, False, {'creds': ntlm_creds('CORP\\norights', 'N0rights!')},
             None, 200, True, False, 500, ('refusals', 'accessDenied')),
            ('our certificate\'s channel binding', bound, True, {'binding': end_point()}, 'monitor', 200, False,
             False, 200, ('mechanisms', 'kerberos')),
            ('our certificate\'s channel binding, NTLM', bound, True,
             {'binding': end_point(), 'creds': ntlm_creds('CORP\\monitor', 'M0nitor!')}, None, 200, False, False, 200,
             ('mechanisms', 'ntlm')),
            ('no channel binding where one is required', bound, True, {}, 'monitor', 401, None, False, None,
             ('refusals', 'channelBinding')),
            ('another channel binding', bound, True, {'binding': b'tls-server-end-point:' + b'\0' * 32}, 'monitor',
             401, None, False, None, ('refusals', 'channelBinding')),
        ]
        for what, service, https, options, cache, logon, sealed, tamper, status, (counter, key) in rows:
            before = service.state()
            # No ticket for the NTLM rows: SPNEGO would take Kerberos instead.
            os.environ['KRB5CCNAME'] = path((cache or 'none') + '.cc')
            try:
                client = GssClient(service.url(https), **options)
                got = client.logon()
                got_status, text = client.post(enumerate_message(), sealed, tamper) if got == 200 else (None, '')
            except gssapi.exceptions.GSSError as error:
                got, got_status, text = 'GSSError', None, str(error)
            after = service.state()
            grew = after[counter].get(key, 0) - before[counter].get(key, 0)
            result = (got, got_status, grew)
            # Counted per request: the logon's and the Enumerate's.
            check(result == (logon, status, 2 if counter == 'mechanisms' else 1),
                  '%s: logon, answer, %s.%s %s %s' % (what, counter, key, result, after[counter]))
            if status == 200:
                check(sorted(names(ET.fromstring(text))) == expected, what + ': the services')
                check(after['encrypted'] - before['encrypted'] == int(sealed), what + ': sealed requests counted')
            if status == 500:
                check('w:AccessDenied' in text and 'Code="5"' in text, what + ': w:AccessDenied, ' + text[-200:])

        # python3-winrm: NTLM (its own, requests_ntlm) sealed over HTTP; Kerberos
        # (requests_kerberos) over HTTPS, Debian's pykerberos having no sealing.
        for what, endpoint, options, counter in [
                ('python3-winrm, NTLM sealed over HTTP', plain.url(False),
                 {'transport': 'ntlm', 'username': 'CORP\\monitor', 'password': 'M0nitor!',
                  'message_encryption': 'always'}, 'ntlm'),
                ('python3-winrm, Kerberos over HTTPS', plain.url(True),
                 {'transport': 'kerberos', 'username': 'monitor@CORP.EXAMPLE', 'password': None,
                  'server_cert_validation': 'validate', 'ca_trust_path': path('ca.pem')}, 'kerberos')]:
            os.environ['KRB5CCNAME'] = path('monitor.cc')
            before = plain.state()
            protocol = Protocol(endpoint=endpoint, **options)
            check(query_all(protocol.send_message) == expected, what + ': Enumerate and Pull')
            after = plain.state()
            sealed = after['encrypted'] - before['encrypted']
            check(after['mechanisms'][counter] > before['mechanisms'][counter] and
                  (sealed > 0) == (options.get('message_encryption') == 'always'),
                  '%s: the double saw %s, %d sealed' % (what, counter, sealed))
        check(plain.state()['open'] == 0, 'no enumeration left open')
    finally:
        plain.stop()
        bound.stop()
finally:
    os.kill(kdc, 15)

sys.exit(1 if failures else 0)
