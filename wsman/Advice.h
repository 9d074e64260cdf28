// A failed WS-Management operation as the text of a check's UNKNOWN line:
// what failed, its code, and what to check, in the Windows build's words
// wherever the cause is the same.
#pragma once

#include <string>

#include "Client.h"

namespace wsman {

// What the check asked of which computer.
struct Target {
    Endpoint endpoint;
    std::string user;  // "" without credentials
    std::string nameSpace = "root\\cimv2";
    std::string classPath;
    double timeoutSeconds = 30;
    std::string proxy;  // as given; its user and password are never shown
};

// "cannot connect to https://srv01:5986/wsman as monitor (HTTP 401): access
// denied to monitor on srv01: ..." or "cannot query Win32_Foo (0x80041010):
// srv01 has no class ...".
std::string FailureText(const Error& error, const Target& target);

// "2 s", "0.35 s".
std::string SecondsText(double seconds);

}  // namespace wsman
