#include "Password.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CommandLine.h"
#include "Options.h"

namespace {

// Whether bytes from a position on are well-formed UTF-8.
bool IsUtf8(const std::string& bytes, size_t from) {
    for (size_t i = from; i < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        size_t more;
        if (lead < 0x80) more = 0;
        else if (lead >= 0xC2 && lead < 0xE0) more = 1;
        else if (lead >= 0xE0 && lead < 0xF0) more = 2;
        else if (lead >= 0xF0 && lead <= 0xF4) more = 3;
        else return false;
        for (size_t k = 1; k <= more; ++k)
            if (i + k >= bytes.size() || (static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        i += more + 1;
    }
    return true;
}

}  // namespace

bool PasswordFromFile(const std::string& bytes, std::string* password) {
    WipeText(password);
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::wstring wide((bytes.size() - 2) / 2, L'\0');
        for (size_t i = 0; i < wide.size(); ++i)
            wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                           (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
        AssignUtf8(&text, wide.data(), wide.size());
        WipeText(&wide);
    } else {
        const size_t skip = bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
                                    static_cast<unsigned char>(bytes[1]) == 0xBB &&
                                    static_cast<unsigned char>(bytes[2]) == 0xBF
                                ? 3
                                : 0;
        if (!IsUtf8(bytes, skip)) return false;
        text.reserve(bytes.size() - skip);
        text.assign(bytes, skip, std::string::npos);
    }
    const size_t end = text.find_first_of("\r\n");
    const size_t length = end == std::string::npos ? text.size() : end;
    password->reserve(length);
    password->assign(text, 0, length);
    WipeText(&text);
    return true;
}

PasswordSources StandardPasswordSources() {
    PasswordSources sources;
    sources.readFile = [](const std::string& path, std::string* bytes, std::string* error) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) {
            *error = std::string("cannot open '") + path + "': " + std::strerror(errno);
            return false;
        }
        std::vector<char> buffer(64 * 1024);
        const size_t read = std::fread(buffer.data(), 1, buffer.size(), file);
        const bool failed = std::ferror(file) != 0;
        std::fclose(file);
        bytes->reserve(read);
        bytes->assign(buffer.data(), read);
        volatile char* wipe = buffer.data();
        for (size_t i = 0; i < buffer.size(); ++i) wipe[i] = 0;
        if (failed) {
            WipeText(bytes);
            *error = "cannot read '" + path + "'";
            return false;
        }
        return true;
    };
    sources.environment = [](std::string* value) {
        const char* text = std::getenv("WMICHECK_PASSWORD");
        if (!text) return false;
        const size_t length = std::strlen(text);
        value->reserve(length);
        value->assign(text, length);
        return true;
    };
    return sources;
}

std::string ResolvePassword(RunnerOptions* options, const PasswordSources& sources) {
    std::string error;
    if (!options->passwordFile.empty()) {
        std::string bytes, reason;
        if (!sources.readFile(options->passwordFile, &bytes, &reason))
            error = "--password-file: " + reason;
        else if (!PasswordFromFile(bytes, &options->password))
            error = "--password-file: '" + options->passwordFile + "' is neither UTF-8 nor UTF-16";
        WipeText(&bytes);
    } else if (!options->passwordGiven && !options->user.empty()) {
        std::string value;
        if (sources.environment(&value)) {
            WipeText(&options->password);
            options->password.reserve(value.size());
            options->password.assign(value);
        }
        WipeText(&value);
    }
    options->passwordGiven = !options->password.empty();
    return error;
}
