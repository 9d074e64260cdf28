#!/usr/bin/python3
# One check through python3-winrm's Protocol layer, as a process of its own:
# Enumerate with a WQL filter, Pull to the end, and one line with the number
# of instances (exit 0), or the error (exit 3). The peer of the Linux
# wmicheck in linux-bench; the password comes from WMICHECK_PASSWORD.
# Usage: pywinrm-check.py ENDPOINT TRANSPORT USER CA_FILE QUERY
#   TRANSPORT: ntlm (sealed over HTTP) or basic (over HTTPS)
import os
import sys
import xml.etree.ElementTree as ET

import xmltodict
from winrm.protocol import Protocol

endpoint, transport, user, ca, query = sys.argv[1:6]
ENUMERATION = 'http://schemas.xmlsoap.org/ws/2004/09/enumeration/'
ALL = 'http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*'
NS = {'n': 'http://schemas.xmlsoap.org/ws/2004/09/enumeration',
      'w': 'http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd'}


def message(protocol, action, body):
    envelope = protocol._get_soap_header(resource_uri=ALL, action=ENUMERATION + action)
    envelope['env:Body'] = body
    return xmltodict.unparse({'env:Envelope': envelope})


try:
    options = {'transport': transport, 'username': user, 'password': os.environ.get('WMICHECK_PASSWORD', ''),
               'operation_timeout_sec': 20, 'read_timeout_sec': 30}
    if transport == 'ntlm':
        options['message_encryption'] = 'always'
    else:
        options.update(server_cert_validation='validate', ca_trust_path=ca)
    protocol = Protocol(endpoint=endpoint, **options)
    answer = ET.fromstring(protocol.send_message(message(protocol, 'Enumerate', {'n:Enumerate': {
        'w:OptimizeEnumeration': None, 'w:MaxElements': '32000', 'w:EnumerationMode': 'EnumerateObjectAndEPR',
        'w:Filter': {'@Dialect': 'http://schemas.microsoft.com/wbem/wsman/1/WQL', '#text': query}}})))
    found = 0
    while True:
        found += len(answer.findall('.//w:Items/*', NS)) + len(answer.findall('.//n:Items/*', NS))
        if answer.find('.//w:EndOfSequence', NS) is not None or answer.find('.//n:EndOfSequence', NS) is not None:
            break
        context = answer.find('.//n:EnumerationContext', NS).text
        answer = ET.fromstring(protocol.send_message(message(
            protocol, 'Pull', {'n:Pull': {'n:EnumerationContext': context, 'n:MaxElements': '32000'}})))
    print('OK - %d instances' % found)
except Exception as error:  # any failure is the check's UNKNOWN, as a plugin's
    print('UNKNOWN - %s' % str(error).splitlines()[0][:200] if str(error) else 'UNKNOWN - %s' % type(error).__name__)
    sys.exit(3)
