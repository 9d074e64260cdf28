// km_docheck: connects through the bridge, walks the instances of one class,
// compares one property by the configured operator and builds the one-line
// result text.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "../common/BoundedWork.h"

// Runs one check from the host's members. Returns a failure only for inputs
// that cannot be read (a host name or parameter string that is Null or an
// object, a password that does not decode): the host then gets that error
// and km_result stays as it was. Everything else, failures of the bridge,
// of the worker and of the wait included, ends in *verdict and *result;
// *verdict is false on every failure.
HRESULT DoCheck(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter, bool* verdict,
                std::wstring* result) noexcept;

// Starts a run over the bridge (a check, the form's listing) on its worker
// and waits for it on the host's thread no longer than RunDeadline, the way
// COM waits for an outgoing call: the thread keeps dispatching its messages,
// and calls from the host may arrive meanwhile. Returns what
// BoundedWork::Start returns.
HRESULT StartRunAndWait(com::BoundedWork& run, long timeoutMs, const std::wstring& target) noexcept;
// True while a run started by StartRunAndWait waits on the calling thread:
// no modal form may open there, since the waiting run would return only
// once someone closed it.
bool ThreadWaitsForRun() noexcept;
