#!/usr/bin/python3
# python3-winrm's own message encryption over an NTLM session of
# requests_ntlm, without a server: the test that starts this script plays
# the acceptor (gss-ntlmssp) over standard input and output, one line each
# way at a time, base64 throughout:
#   in:  the password (CORP\monitor)       out: the NEGOTIATE message
#   in:  the CHALLENGE message             out: the AUTHENTICATE message
#   in:  a SOAP message                    out: its Content-Type and body, as
#                                               pywinrm seals a request
#   in:  an answer's Content-Type and body out: the text pywinrm unseals
import base64
import sys
from urllib.parse import urlsplit

import requests
import requests_ntlm
from winrm.encryption import Encryption

ENDPOINT = "http://localhost:5985/wsman"


def send(*fields):
    sys.stdout.write(" ".join(base64.b64encode(f).decode("ascii") for f in fields) + "\n")
    sys.stdout.flush()


def receive():
    return [base64.b64decode(f) for f in sys.stdin.readline().split()]


def main():
    password = sys.stdin.readline().rstrip("\n")
    auth = requests_ntlm.HttpNtlmAuth("CORP\\monitor", password)
    password = None
    # The steps HttpNtlmAuth takes on a 401, with the acceptor's tokens
    # instead of a server's headers.
    context = requests_ntlm.requests_ntlm.ntlm.Ntlm()
    sys.stdout.write(context.create_negotiate_message(auth.domain).decode("ascii") + "\n")
    sys.stdout.flush()
    context.parse_challenge_message(sys.stdin.readline().strip())
    sys.stdout.write(context.create_authenticate_message(auth.username, auth.password, auth.domain).decode("ascii")
                     + "\n")
    sys.stdout.flush()
    auth.session_security = context.session_security

    session = requests.Session()
    session.auth = auth
    encryption = Encryption(session, "ntlm")
    (message,) = receive()
    request = encryption.prepare_encrypted_request(session, ENDPOINT, message)
    send(request.headers["Content-Type"].encode("ascii"), request.body)

    content_type, body = receive()

    class Answer:
        pass

    answer = Answer()
    answer.headers = {"Content-Type": content_type.decode("ascii")}
    answer.content = body
    answer.request = request
    assert urlsplit(answer.request.url).hostname == "localhost"
    send(encryption.parse_encrypted_response(answer))


if __name__ == "__main__":
    main()
