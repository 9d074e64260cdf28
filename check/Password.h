// Where a check's password comes from: --password, the first line of
// --password-file, or, with --user and neither option, the environment
// variable WMICHECK_PASSWORD. The rule is the same in both builds; each
// build reads files and the environment its own way (wide paths on Windows).
#pragma once

#include <functional>
#include <string>

struct RunnerOptions;

struct PasswordSources {
    // The file's bytes (its first 64 KiB at most), or "" and *error set.
    std::function<bool(const std::string& path, std::string* bytes, std::string* error)> readFile;
    // WMICHECK_PASSWORD as UTF-8; false when it is not set.
    std::function<bool(std::string* value)> environment;
};

// Standard C++ file and environment access (the native build's).
PasswordSources StandardPasswordSources();

// *password, wiped first, becomes the first line of a password file's bytes
// without its line break: UTF-16 (little-endian) after its byte order mark,
// else UTF-8 (a byte order mark skipped). False when the bytes are neither
// (the caller may read them in a legacy code page). Wipes what it copies.
bool PasswordFromFile(const std::string& bytes, std::string* password);

// Fills options->password by the rule above; an empty one from anywhere is
// none (passwordGiven false). Returns "" or the usage error, which never
// holds the password. Wipes every copy it makes, and the bytes it read.
std::string ResolvePassword(RunnerOptions* options, const PasswordSources& sources);
