// Runs wmicheck.exe (beside the test program) as a child process and reads
// back what it printed: its exit code, stdout and stderr decoded from UTF-8,
// and how long it ran. Plus parsers for its performance data and JSON, so
// that tests check the output by reading it back, not by matching bytes.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

struct WmicheckRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::wstring out, err;
    DWORD ms = 0;
    // stdout without its line end.
    std::wstring Line() const {
        std::wstring line = out;
        while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
        return line;
    }
};

inline std::wstring FromUtf8(const std::string& bytes) {
    if (bytes.empty()) return L"";
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return text;
}

// A UTF-8 file's text; "" when it cannot be opened.
inline std::wstring ReadText(const wchar_t* path) {
    std::string bytes;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return L"";
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read) bytes.append(buffer, read);
    CloseHandle(file);
    return FromUtf8(bytes);
}

// One argument quoted for CommandLineToArgvW's rules.
inline std::wstring QuoteArgument(const std::wstring& arg) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

// Runs wmicheck with args; environment: this process's, without
// WMICHECK_PASSWORD, plus extra ("NAME=value" entries).
inline WmicheckRun RunWmicheck(const std::vector<std::wstring>& args,
                               const std::vector<std::wstring>& extra = {}) {
    WmicheckRun run;
    std::wstring commandLine = QuoteArgument(BinPath(L"wmicheck.exe"));
    for (const std::wstring& arg : args) commandLine += L" " + QuoteArgument(arg);

    std::wstring environment;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1)
        if (_wcsnicmp(entry, L"WMICHECK_PASSWORD=", 18) != 0) environment.append(entry).push_back(L'\0');
    FreeEnvironmentStringsW(block);
    for (const std::wstring& entry : extra) environment.append(entry).push_back(L'\0');
    environment.push_back(L'\0');

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process = {};
    const DWORD start = GetTickCount();
    const BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, &environment[0], nullptr, &startup, &process);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    auto drain = [](HANDLE pipe, std::string* bytes) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read) bytes->append(buffer, read);
    };
    std::string out, err;
    std::thread errReader(drain, errRead, &err);
    drain(outRead, &out);
    errReader.join();
    CloseHandle(outRead);
    CloseHandle(errRead);
    if (!created) return run;
    WaitForSingleObject(process.hProcess, 120000);
    run.ms = GetTickCount() - start;
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    run.out = FromUtf8(out);
    run.err = FromUtf8(err);
    return run;
}

// One performance-data entry read back; uom is the unit after the value.
struct PerfEntry {
    std::wstring label, value, uom, warn, crit, min, max;
};

// Reads "'label'=value;warn;crit;min;max" entries separated by blanks; a
// quote inside a quoted label is doubled. False on anything malformed.
inline bool ParsePerfData(const std::wstring& text, std::vector<PerfEntry>* entries) {
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == L' ') {
            ++i;
            continue;
        }
        PerfEntry entry;
        if (text[i] == L'\'') {
            for (++i;; ++i) {
                if (i >= text.size()) return false;
                if (text[i] == L'\'') {
                    if (i + 1 < text.size() && text[i + 1] == L'\'') entry.label += text[++i];
                    else break;
                } else {
                    entry.label += text[i];
                }
            }
            ++i;
        } else {
            while (i < text.size() && text[i] != L'=') entry.label += text[i++];
        }
        if (i >= text.size() || text[i] != L'=') return false;
        size_t end = text.find(L' ', ++i);
        if (end == std::wstring::npos) end = text.size();
        std::wstring* fields[] = {&entry.value, &entry.warn, &entry.crit, &entry.min, &entry.max};
        size_t field = 0;
        for (; i < end; ++i) {
            if (text[i] == L';') {
                if (++field >= 5) return false;
            } else {
                *fields[field] += text[i];
            }
        }
        const size_t unit = entry.value.find_last_of(L"0123456789") + 1;
        entry.uom = entry.value.substr(unit);
        entry.value.erase(unit);
        entries->push_back(entry);
    }
    return true;
}

// A small JSON reader: enough to read wmicheck's object back strictly.
struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::wstring string;
    std::vector<Json> items;
    std::map<std::wstring, Json> members;
    const Json& operator[](const wchar_t* key) const {
        static const Json missing;
        auto found = members.find(key);
        return found == members.end() ? missing : found->second;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::wstring& text) : text_(text) {}
    // The whole text as one value; false when it is not exactly that.
    bool Read(Json* value) {
        if (!Value(value)) return false;
        Blank();
        return pos_ == text_.size();
    }

private:
    void Blank() {
        while (pos_ < text_.size() && wcschr(L" \t\r\n", text_[pos_]) && text_[pos_]) ++pos_;
    }
    bool Take(wchar_t c) {
        Blank();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool Word(const wchar_t* word) {
        const size_t length = wcslen(word);
        if (text_.compare(pos_, length, word) != 0) return false;
        pos_ += length;
        return true;
    }
    bool String(std::wstring* out) {
        if (!Take(L'"')) return false;
        while (pos_ < text_.size() && text_[pos_] != L'"') {
            wchar_t c = text_[pos_++];
            if (c < 0x20) return false;
            if (c == L'\\') {
                if (pos_ >= text_.size()) return false;
                const wchar_t e = text_[pos_++];
                if (e == L'u') {
                    if (pos_ + 4 > text_.size()) return false;
                    c = static_cast<wchar_t>(std::stoul(text_.substr(pos_, 4), nullptr, 16));
                    pos_ += 4;
                } else {
                    const wchar_t* from = L"\"\\/bfnrt";
                    const wchar_t* to = L"\"\\/\b\f\n\r\t";
                    const wchar_t* at = wcschr(from, e);
                    if (!at || !e) return false;
                    c = to[at - from];
                }
            }
            *out += c;
        }
        return Take(L'"');
    }
    bool Value(Json* value) {
        Blank();
        if (pos_ >= text_.size()) return false;
        const wchar_t c = text_[pos_];
        if (c == L'"') {
            value->type = Json::Type::String;
            return String(&value->string);
        }
        if (c == L'{') {
            value->type = Json::Type::Object;
            ++pos_;
            if (Take(L'}')) return true;
            do {
                std::wstring key;
                if (!String(&key) || !Take(L':') || !Value(&value->members[key])) return false;
            } while (Take(L','));
            return Take(L'}');
        }
        if (c == L'[') {
            value->type = Json::Type::Array;
            ++pos_;
            if (Take(L']')) return true;
            do {
                value->items.emplace_back();
                if (!Value(&value->items.back())) return false;
            } while (Take(L','));
            return Take(L']');
        }
        if (Word(L"null")) return true;
        if (Word(L"true") || Word(L"false")) {
            value->type = Json::Type::Bool;
            value->boolean = text_[pos_ - 1] == L'e' && text_[pos_ - 2] == L'u';
            return true;
        }
        size_t used = 0;
        try {
            value->number = std::stod(text_.substr(pos_), &used);
        } catch (...) {
            return false;
        }
        value->type = Json::Type::Number;
        pos_ += used;
        return true;
    }

    const std::wstring& text_;
    size_t pos_ = 0;
};
