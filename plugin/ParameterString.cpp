#include "ParameterString.h"

#include <new>
#include <string>

#include "../common/HResult.h"
#include "../common/Raii.h"
#include "CheckRules.h"

namespace {

// Keys are ASCII; folding only a to z keeps every position of the string and
// does not depend on the user's locale.
std::wstring UpperAscii(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return text;
}

struct EscapeSequence {
    const wchar_t* text;
    wchar_t character;
};

// Every sequence the reader recognises. None contains a "{" after its first
// character, so occurrences never overlap, and no replacement character
// belongs to any sequence: one left-to-right pass gives the same result as
// replacing each sequence in turn over the whole text.
constexpr EscapeSequence kReadSequences[] = {
    {L"{0xod}", L'\r'},  // misspelt form, still accepted
    {L"{0x0d}", L'\r'}, {L"{0x0a}", L'\n'}, {L"{0x20}", L' '}, {L"{0x22}", L'"'},
    {L"{0x23}", L'#'},  {L"{0x3d}", L'='},
};

const EscapeSequence* SequenceAt(const std::wstring& text, size_t position) {
    for (const EscapeSequence& sequence : kReadSequences)
        if (text.compare(position, std::char_traits<wchar_t>::length(sequence.text), sequence.text) == 0)
            return &sequence;
    return nullptr;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Position in the alphabet; "=" and anything outside count as 0.
unsigned AlphabetIndex(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return c - L'A';
    if (c >= L'a' && c <= L'z') return c - L'a' + 26;
    if (c >= L'0' && c <= L'9') return c - L'0' + 52;
    if (c == L'+') return 62;
    if (c == L'/') return 63;
    return 0;
}

// The text's bytes in the ANSI code page; refuses characters the code page
// cannot hold instead of replacing them with "?".
HRESULT ToAnsi(const std::wstring& text, std::string* bytes) {
    bytes->clear();
    if (text.empty()) return S_OK;
    if (text.size() > 0x1FFFFFFF) return E_OUTOFMEMORY;
    // A UTF-8 system code page allows neither the best-fit flag nor the
    // default-character report.
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr,
                                         utf8 ? nullptr : &usedDefault);
    if (size == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (usedDefault) return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    bytes->resize(size);
    if (!WideCharToMultiByte(CP_ACP, flags, text.data(), length, &(*bytes)[0], size, nullptr, nullptr))
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

HRESULT FromAnsi(const std::string& bytes, std::wstring* text) {
    text->clear();
    if (bytes.empty()) return S_OK;
    const int length = static_cast<int>(bytes.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (size == 0) return HRESULT_FROM_WIN32(GetLastError());
    text->resize(size);
    if (!MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, &(*text)[0], size))
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

// Password bytes are wiped before their memory is given back.
struct WipedBytes {
    std::string bytes;
    ~WipedBytes() { com::WipeString(bytes); }
};

// Reads AUL or IML: the default when empty, then a 32-bit number.
HRESULT ReadLevel(const std::wstring& parameters, const wchar_t* key, const wchar_t* fallback, long* level) {
    std::wstring text = GetParameterValue(parameters, key);
    if (text.empty()) text = fallback;
    return RoundToLong(ReadNumber(text), level);
}

}  // namespace

std::wstring TrimSpaces(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) return {};
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

// A member's value as text: Empty gives "", numbers and dates are written in
// the user's format, booleans as True or False; Null and objects have none.
HRESULT MemberText(const VARIANT& member, std::wstring* text) noexcept {
    const VARIANT* value = &member;
    if (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value)) value = V_VARIANTREF(value);
    const VARTYPE type = static_cast<VARTYPE>(V_VT(value) & ~VT_BYREF);
    if (type == VT_NULL || type == VT_DISPATCH || type == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    if (type == VT_EMPTY) {
        text->clear();
        return S_OK;
    }
    com::UniqueVariant converted;
    RETURN_IF_FAILED(VariantChangeType(converted.get(), const_cast<VARIANT*>(value), VARIANT_ALPHABOOL, VT_BSTR));
    try {
        text->assign(V_BSTR(converted.get()), SysStringLen(V_BSTR(converted.get())));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

std::wstring GetParameterValue(const std::wstring& parameters, const std::wstring& key) {
    const std::wstring field = L"#" + UpperAscii(TrimSpaces(key)) + L"=";
    const size_t found = UpperAscii(parameters).find(field);
    if (found == std::wstring::npos) return {};
    const size_t start = found + field.size();
    // The value runs to the next "#", or to the end when the closing "#" is
    // missing.
    const size_t end = parameters.find(L'#', start);
    return parameters.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::wstring EscapeParameterText(const std::wstring& text, bool forParameterString) {
    std::wstring escaped;
    escaped.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        switch (c) {
            case L'\r': escaped += L"{0x0d}"; break;
            case L'\n': escaped += L"{0x0a}"; break;
            case L'"': escaped += L"{0x22}"; break;
            case L'#': escaped += forParameterString ? L"{0x23}" : L"#"; break;
            case L'=': escaped += forParameterString ? L"{0x3d}" : L"="; break;
            default: escaped += c; break;
        }
    }
    return escaped;
}

std::wstring UnescapeParameterText(const std::wstring& text) {
    std::wstring plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const EscapeSequence* sequence = text[i] == L'{' ? SequenceAt(text, i) : nullptr;
        if (sequence) {
            plain += sequence->character;
            i += std::char_traits<wchar_t>::length(sequence->text);
        } else {
            plain += text[i++];
        }
    }
    return plain;
}

HRESULT Base64Encode(const std::wstring& text, std::wstring* encoded) noexcept try {
    if (!encoded) return E_POINTER;
    encoded->clear();
    // A zero byte inside a group is written as "=" and would be dropped.
    if (text.find(L'\0') != std::wstring::npos) return E_INVALIDARG;
    WipedBytes ansi;
    RETURN_IF_FAILED(ToAnsi(text, &ansi.bytes));
    const std::string& bytes = ansi.bytes;
    std::wstring result;
    result.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const unsigned b1 = static_cast<unsigned char>(bytes[i]);
        const unsigned b2 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        const unsigned b3 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
        result += static_cast<wchar_t>(kAlphabet[b1 >> 2]);
        result += static_cast<wchar_t>(kAlphabet[((b1 & 3) << 4) | (b2 >> 4)]);
        result += b2 ? static_cast<wchar_t>(kAlphabet[((b2 & 15) << 2) | (b3 >> 6)]) : L'=';
        result += b3 ? static_cast<wchar_t>(kAlphabet[b3 & 63]) : L'=';
    }
    *encoded = std::move(result);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT Base64Decode(const std::wstring& encoded, std::wstring* decoded) noexcept try {
    if (!decoded) return E_POINTER;
    decoded->clear();
    WipedBytes ansi;
    std::string& bytes = ansi.bytes;
    bytes.reserve(encoded.size() / 4 * 3 + 3);
    for (size_t i = 0; i < encoded.size(); i += 4) {
        wchar_t group[4];
        for (size_t k = 0; k < 4; ++k) group[k] = i + k < encoded.size() ? encoded[i + k] : L'=';
        // Such a group would keep -1 bytes.
        if (group[0] == L'=') return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        size_t keep = 3;
        for (size_t k = 1; k < 4; ++k)
            if (group[k] == L'=') {
                keep = k - 1;
                break;
            }
        const unsigned i0 = AlphabetIndex(group[0]), i1 = AlphabetIndex(group[1]);
        const unsigned i2 = AlphabetIndex(group[2]), i3 = AlphabetIndex(group[3]);
        const char out[3] = {static_cast<char>(((i0 << 2) | (i1 >> 4)) & 255),
                             static_cast<char>(((i1 << 4) | (i2 >> 2)) & 255),
                             static_cast<char>(((i2 << 6) | i3) & 255)};
        bytes.append(out, keep);
    }
    // The bytes are converted together, so that double-byte code pages keep
    // their characters whole.
    return FromAnsi(bytes, decoded);
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT ComposeParameterString(const CheckParameters& fields, std::wstring* parameters,
                               const wchar_t** rejectedKey) noexcept try {
    if (!parameters) return E_POINTER;
    if (rejectedKey) *rejectedKey = nullptr;

    struct PlainField {
        const wchar_t* key;
        std::wstring value;
    };
    const PlainField plain[] = {
        {L"USR", TrimSpaces(fields.user)},      {L"NSP", TrimSpaces(fields.nameSpace)},
        {L"DOM", TrimSpaces(fields.domain)},    {L"LOC", TrimSpaces(fields.locale)},
        {L"CLS", TrimSpaces(fields.classPath)}, {L"PRO", TrimSpaces(fields.property)},
        {L"CVA", TrimSpaces(fields.compareValue)},
    };
    // Unescaped fields end at a "#": refuse rather than store a string that
    // reads back differently.
    for (const PlainField& field : plain)
        if (field.value.find(L'#') != std::wstring::npos) {
            if (rejectedKey) *rejectedKey = field.key;
            return E_INVALIDARG;
        }
    const std::wstring& user = plain[0].value;
    const std::wstring& nameSpace = plain[1].value;
    const std::wstring& domain = plain[2].value;
    const std::wstring& locale = plain[3].value;
    const std::wstring& classPath = plain[4].value;
    const std::wstring& property = plain[5].value;
    const std::wstring& compareValue = plain[6].value;

    std::wstring password;
    const HRESULT encoded = Base64Encode(fields.password, &password);
    if (FAILED(encoded)) {
        if (rejectedKey) *rejectedKey = L"PWD";
        return encoded;
    }
    // An unknown code has no list position, which writes "CON".
    const wchar_t* operatorCode = OperatorCodeAt(OperatorPosition(fields.operatorCode));

    *parameters = L"#ENC=T#USR=" + user + L"#PWD=" + password + L"#NSP=" + nameSpace + L"#DOM=" + domain +
                  L"#LOC=" + locale + L"#CLS=" + classPath + L"#FIL=" +
                  EscapeParameterText(TrimSpaces(fields.filter), true) + L"#PRO=" + property + L"#PRI=" +
                  std::to_wstring(fields.propertyIndex) + L"#CWA=" + operatorCode + L"#CVA=" + compareValue +
                  L"#AUL=" + std::to_wstring(fields.authenticationLevel) + L"#IML=" +
                  std::to_wstring(fields.impersonationLevel) + L"#";
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT ReadParameterString(const std::wstring& parameters, CheckParameters* fields) noexcept try {
    if (!fields) return E_POINTER;
    CheckParameters read;
    read.user = TrimSpaces(GetParameterValue(parameters, L"USR"));
    RETURN_IF_FAILED(Base64Decode(GetParameterValue(parameters, L"PWD"), &read.password));
    read.nameSpace = GetParameterValue(parameters, L"NSP");
    read.domain = GetParameterValue(parameters, L"DOM");
    read.locale = GetParameterValue(parameters, L"LOC");
    read.classPath = GetParameterValue(parameters, L"CLS");
    read.filter = UnescapeParameterText(GetParameterValue(parameters, L"FIL"));
    read.property = GetParameterValue(parameters, L"PRO");
    read.compareValue = GetParameterValue(parameters, L"CVA");
    read.operatorCode = GetParameterValue(parameters, L"CWA");
    // Levels the check cannot use are its first checkpoint's error, not a
    // failure of reading the string.
    read.levelsRead = ReadLevel(parameters, L"AUL", L"4", &read.authenticationLevel);
    if (SUCCEEDED(read.levelsRead)) read.levelsRead = ReadLevel(parameters, L"IML", L"3", &read.impersonationLevel);
    if (SUCCEEDED(read.levelsRead) && (read.authenticationLevel < 0 || read.authenticationLevel > 6 ||
                                       read.impersonationLevel < 0 || read.impersonationLevel > 4))
        read.levelsRead = E_INVALIDARG;
    // The check never uses PRI; an unusable one must not fail it.
    const std::wstring index = GetParameterValue(parameters, L"PRI");
    if (index.empty() || FAILED(RoundToLong(ReadNumber(index), &read.propertyIndex))) read.propertyIndex = -1;
    *fields = std::move(read);
    // A short password stays in the moved-from string's own buffer.
    com::WipeString(read.password);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}
