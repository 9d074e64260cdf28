// km_docheck: connects through the bridge, walks the instances of one class,
// compares one property by the configured operator and builds the one-line
// result text.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

// Runs one check from the host's members. Returns a failure only for inputs
// that cannot be read (a host name or parameter string that is Null or an
// object, a password that does not decode): the host then gets that error
// and km_result stays as it was. Everything else, failures of the bridge,
// of the worker and of the wait included, ends in *verdict and *result;
// *verdict is false on every failure.
HRESULT DoCheck(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter, bool* verdict,
                std::wstring* result) noexcept;
