// wmicheck's command line read with getopt_long over UTF-8 arguments, and
// the helpers that keep the password out of every copy it leaves. Plain
// portable C++: nothing of Windows, so that a native build of another
// system reads the same command line the same way.
#pragma once

#include <string>
#include <vector>

struct RunnerOptions;

// Which build reads the command line: both read the same names, and each
// refuses the options of the other's transport.
enum class Platform { Windows, Linux };
#ifdef _WIN32
constexpr Platform kThisPlatform = Platform::Windows;
#else
constexpr Platform kThisPlatform = Platform::Linux;
#endif

// Overwrites a string's whole buffer, not only its current length (a short
// string lives inside the string object itself), and empties it.
template <class String>
void WipeText(String* text) noexcept {
    text->resize(text->capacity());
    volatile unsigned char* bytes = reinterpret_cast<volatile unsigned char*>(&(*text)[0]);
    for (size_t i = 0; i < text->size() * sizeof((*text)[0]); ++i) bytes[i] = 0;
    text->clear();
}

// *out, wiped first, becomes the UTF-8 of a wide text (UTF-16 where wchar_t
// has 16 bits; a lone surrogate keeps its own three bytes, so nothing is
// lost). Sized once, so that no shorter buffer with part of it is left behind.
void AssignUtf8(std::string* out, const wchar_t* text, size_t length);
// *out, wiped first, becomes the wide text of UTF-8 (a byte that is not
// UTF-8 reads as U+FFFD). Sized once, as above.
void AssignWide(std::wstring* out, const char* text, size_t length);

// UTF-8 copies of the arguments, as getopt_long reads them, with the
// program's name first; every copy is wiped when the object goes.
class Utf8Arguments {
public:
    Utf8Arguments(int argc, const wchar_t* const* argv);
    // The arguments without the program's name.
    explicit Utf8Arguments(const std::vector<std::string>& args);
    ~Utf8Arguments();
    Utf8Arguments(const Utf8Arguments&) = delete;
    Utf8Arguments& operator=(const Utf8Arguments&) = delete;
    int Count() const { return static_cast<int>(texts_.size()); }
    char** Values() { return pointers_.data(); }

private:
    void Add(const wchar_t* text, size_t length);
    void Add(const std::string& text);
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;  // null-terminated, as argv is
};

// An IPv4 address in dotted decimal, or an IPv6 address (in brackets, with
// a zone, or ending in IPv4, too); leading backslashes are skipped. Kerberos
// cannot authenticate to a computer named so.
bool IsIpAddress(std::string host);

// Reads argv (UTF-8, the program's name first) into *options. Returns "" on
// success, or the usage error: it names the option at fault, or the
// argument's position where the argument itself might be part of a secret,
// and never holds a password. options->mode is set as far as the arguments
// show it even when an error is returned. platform: the build whose options
// are taken (the other's are usage errors that say whose they are).
std::string ParseCommandLine(int argc, char** argv, RunnerOptions* options, Platform platform = kThisPlatform);

// "" when the account can be sent, else the usage error: a user with no
// password (an empty one counts as none) where wmicheck itself would connect
// with that user. Windows refuses a blank password for a network logon, and
// each failed logon counts towards the account's lockout. --param keeps the
// meaning of the plug-in's stored string. Call once the password is read.
std::string RefuseUserWithoutPassword(const RunnerOptions& options);
