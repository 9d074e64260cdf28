// A monitoring-plugin check over a Source: every instance counts. The
// operator under --match all|any|none, the ranges on each instance's number
// (or on the instance count with --count), derived values, labels; the
// worst state decides. The same in both wmicheck builds.
#pragma once

#include "Options.h"
#include "PluginOutput.h"
#include "Source.h"

// Runs the check. A check::Failure (of the source or of the check itself:
// an unknown property, say) ends in an UNKNOWN result whose text says what
// failed. Throws std::bad_alloc only.
PluginResult RunCheck(const RunnerOptions& options, check::Source& source);
