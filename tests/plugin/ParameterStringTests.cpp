// The check parameter string: lookup, filter escaping, password codec, and
// whole strings composed and read back.
#include "ParameterString.h"

#include "TestSupport.h"

namespace {

const std::wstring kExample =
    L"#ENC=T#USR=bob#PWD=#NSP=root\\cimv2#DOM=#LOC=#CLS=Win32_Service#FIL=Name{0x3d}{0x22}x{0x22}#PRO=State"
    L"#PRI=2#CWA=EXA#CVA=Running#AUL=4#IML=3#";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(ParameterString, ExampleReadsBackAndComposesIdentically) {
    CheckParameters fields;
    ASSERT_HR(S_OK, ReadParameterString(kExample, &fields));
    EXPECT_EQ(L"bob", fields.user);
    EXPECT_EQ(L"", fields.password);
    EXPECT_EQ(L"root\\cimv2", fields.nameSpace);
    EXPECT_EQ(L"", fields.domain);
    EXPECT_EQ(L"", fields.locale);
    EXPECT_EQ(L"Win32_Service", fields.classPath);
    EXPECT_EQ(L"Name=\"x\"", fields.filter);
    EXPECT_EQ(L"State", fields.property);
    EXPECT_EQ(2, fields.propertyIndex);
    EXPECT_EQ(L"EXA", fields.operatorCode);
    EXPECT_EQ(L"Running", fields.compareValue);
    EXPECT_EQ(4, fields.authenticationLevel);
    EXPECT_EQ(3, fields.impersonationLevel);

    std::wstring written;
    ASSERT_HR(S_OK, ComposeParameterString(fields, &written));
    EXPECT_EQ(kExample, written);
}

TEST(ParameterString, LookupFindsFirstKeyAnyCaseAndEndsAtHash) {
    const struct {
        const wchar_t* parameters;
        const wchar_t* key;
        const wchar_t* expected;
    } cases[] = {
        {L"#usr=Bob#", L"USR", L"Bob"},              // key in lower case, value keeps its case
        {L"#USR=Bob#", L" usr ", L"Bob"},            // asked key trimmed and folded
        {L"#FIL=a=b=c#PRO=x#", L"FIL", L"a=b=c"},     // "=" inside a value
        {L"#CVA=Running", L"CVA", L"Running"},        // closing "#" missing
        {L"#PRI=2#CWA=EXA#", L"PRO", L""},            // PRI is not PRO
        {L"", L"AUL", L""},
        {L"#USR=#PWD=x#", L"USR", L""},               // key directly followed by "#"
        {L"#USR=a#USR=b#", L"USR", L"a"},             // first occurrence wins
        {L"#USR= a b #", L"USR", L" a b "},           // nothing trimmed
        {L"USR=a#", L"USR", L""},                     // a key needs its "#"
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, GetParameterValue(c.parameters, c.key)) << Narrow(c.parameters);
}

TEST(ParameterString, LevelsDefaultOnlyWhenEmptyAndReadAsNumbers) {
    const struct {
        const wchar_t* parameters;
        long authentication;
        long impersonation;
    } cases[] = {
        {L"", 4, 3},
        {L"#AUL=#IML=#", 4, 3},
        {L"#AUL=0#IML=0#", 0, 0},
        {L"#AUL= 6 #IML=2#", 6, 2},
        {L"#AUL=4.5#IML=2.5#", 4, 2},  // halves to even
        {L"#AUL=&H5#IML=x#", 5, 0},
    };
    for (const auto& c : cases) {
        CheckParameters fields;
        ASSERT_HR(S_OK, ReadParameterString(c.parameters, &fields)) << Narrow(c.parameters);
        EXPECT_EQ(c.authentication, fields.authenticationLevel) << Narrow(c.parameters);
        EXPECT_EQ(c.impersonation, fields.impersonationLevel) << Narrow(c.parameters);
    }
    // Unusable levels do not fail the reading: the check reports them.
    const struct {
        const wchar_t* parameters;
        HRESULT read;
    } unusable[] = {{L"#IML=1E10#", DISP_E_OVERFLOW}, {L"#AUL=7#", E_INVALIDARG}, {L"#IML=-1#", E_INVALIDARG},
                    {L"#AUL=6#IML=4#", S_OK}};
    for (const auto& c : unusable) {
        CheckParameters fields;
        ASSERT_HR(S_OK, ReadParameterString(c.parameters, &fields)) << Narrow(c.parameters);
        EXPECT_HR(c.read, fields.levelsRead) << Narrow(c.parameters);
    }
}

TEST(ParameterString, EscapingWritesTheFixedSequences) {
    const struct {
        const wchar_t* text;
        bool forParameterString;
        const wchar_t* expected;
    } cases[] = {
        {L"a\r\nb\"c\"", false, L"a{0x0d}{0x0a}b{0x22}c{0x22}"},
        {L"#=", false, L"#="},
        {L"Name=\"#x\"", true, L"Name{0x3d}{0x22}{0x23}x{0x22}"},
        {L"a b{c}", true, L"a b{c}"},                 // no sequence for space or a plain "{"
        {L"{0x22}", true, L"{0x22}"},                 // "{" has no sequence of its own
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, EscapeParameterText(c.text, c.forParameterString)) << Narrow(c.text);
}

TEST(ParameterString, UnescapingReadsWhatOlderStringsHold) {
    const struct {
        const wchar_t* text;
        const wchar_t* expected;
    } cases[] = {
        {L"{0xod}{0x0d}{0x0a}{0x20}{0x22}{0x23}{0x3d}", L"\r\r\n \"#="},
        {L"{0X22}{0x3D}{0x2}", L"{0X22}{0x3D}{0x2}"},  // only the exact spelling
        {L"{{0x3d}}", L"{=}"},
        {L"{0x7b}", L"{0x7b}"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, UnescapeParameterText(c.text)) << Narrow(c.text);
}

TEST(ParameterString, FilterSurvivesWriteAndRead) {
    const wchar_t* filters[] = {
        L"Name=\"a#b\"\r\nAND State<>\"x=y\"",
        L"{a}{0x}{",
        L"",
    };
    for (const wchar_t* filter : filters) {
        CheckParameters fields;
        fields.filter = filter;
        std::wstring written;
        ASSERT_HR(S_OK, ComposeParameterString(fields, &written));
        CheckParameters read;
        ASSERT_HR(S_OK, ReadParameterString(written, &read));
        EXPECT_EQ(filter, read.filter) << Narrow(written);
        EXPECT_EQ(L"", read.property) << Narrow(written);
    }
}

// Stored strings and older readers rely on "{" having no sequence of its
// own, so a sequence typed into a filter reads back as its character.
TEST(ParameterString, SequenceAlreadyInAFilterReadsAsItsCharacter) {
    CheckParameters fields;
    fields.filter = L"Caption = {0x22}x{0x22}";
    std::wstring written;
    ASSERT_HR(S_OK, ComposeParameterString(fields, &written));
    CheckParameters read;
    ASSERT_HR(S_OK, ReadParameterString(written, &read));
    EXPECT_EQ(L"Caption = \"x\"", read.filter);
}

TEST(ParameterString, ComposeTrimsNormalisesAndRefusesHash) {
    CheckParameters fields;
    fields.user = L"  bob ";
    fields.password = L"  secret ";
    fields.classPath = L" Win32_Service ";
    fields.filter = L"  Name=\"x\"  ";
    fields.compareValue = L" 80% ";
    fields.operatorCode = L"exa";
    std::wstring written;
    ASSERT_HR(S_OK, ComposeParameterString(fields, &written));
    EXPECT_NE(std::wstring::npos, written.find(L"#CWA=CON#")) << Narrow(written);
    CheckParameters read;
    ASSERT_HR(S_OK, ReadParameterString(written, &read));
    EXPECT_EQ(L"bob", read.user);
    EXPECT_EQ(L"  secret ", read.password);
    EXPECT_EQ(L"Win32_Service", read.classPath);
    EXPECT_EQ(L"Name=\"x\"", read.filter);
    EXPECT_EQ(L"80%", read.compareValue);

    std::wstring CheckParameters::*plainFields[] = {
        &CheckParameters::user,      &CheckParameters::nameSpace, &CheckParameters::domain,
        &CheckParameters::locale,    &CheckParameters::classPath, &CheckParameters::property,
        &CheckParameters::compareValue,
    };
    const wchar_t* keys[] = {L"USR", L"NSP", L"DOM", L"LOC", L"CLS", L"PRO", L"CVA"};
    for (size_t i = 0; i < std::size(keys); ++i) {
        CheckParameters bad;
        bad.*plainFields[i] = L"a#b";
        const wchar_t* rejected = nullptr;
        EXPECT_HR(E_INVALIDARG, ComposeParameterString(bad, &written, &rejected));
        EXPECT_STREQ(keys[i], rejected);
    }
}

TEST(ParameterString, Base64Vectors) {
    const struct {
        const wchar_t* plain;
        const wchar_t* encoded;
    } pairs[] = {{L"", L""}, {L"a", L"YQ=="}, {L"ab", L"YWI="}, {L"abc", L"YWJj"}, {L"abca", L"YWJjYQ=="}};
    for (const auto& p : pairs) {
        std::wstring text;
        EXPECT_HR(S_OK, Base64Encode(p.plain, &text));
        EXPECT_EQ(p.encoded, text);
        EXPECT_HR(S_OK, Base64Decode(p.encoded, &text));
        EXPECT_EQ(p.plain, text);
    }
}

TEST(ParameterString, Base64DecoderIsLenientButRefusesGroupStartingWithPad) {
    const struct {
        const wchar_t* encoded;
        const wchar_t* plain;
    } lenient[] = {
        {L"YQ", L"a"}, {L"YQ=", L"a"}, {L"YWI", L"ab"}, {L"Y", L""}, {L"Y=Q=", L""},
        {L"YW*j", L"a`#"},  // "*" counts as 0
        {L"YW j", L"a`#"},
    };
    for (const auto& c : lenient) {
        std::wstring text;
        EXPECT_HR(S_OK, Base64Decode(c.encoded, &text)) << Narrow(c.encoded);
        EXPECT_EQ(c.plain, text) << Narrow(c.encoded);
    }
    for (const wchar_t* bad : {L"=", L"=YWJ", L"YWJj=A"}) {
        std::wstring text = L"x";
        EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), Base64Decode(bad, &text)) << Narrow(bad);
        EXPECT_EQ(L"", text);
    }
    CheckParameters fields;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), ReadParameterString(L"#PWD==abc#", &fields));
}

TEST(ParameterString, PasswordUsesAnsiBytesAndRefusesWhatTheyCannotHold) {
    const std::wstring accented = L"p\u00e4ss w\u00f6rd";
    std::wstring encoded, decoded;
    ASSERT_HR(S_OK, Base64Encode(accented, &encoded));
    if (GetACP() == 1252) {
        EXPECT_EQ(L"cORzcyB39nJk", encoded);
    }
    ASSERT_HR(S_OK, Base64Decode(encoded, &decoded));
    EXPECT_EQ(accented, decoded);

    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION), Base64Encode(L"pw\U0001F600", &encoded));
    EXPECT_EQ(L"", encoded);
    EXPECT_HR(E_INVALIDARG, Base64Encode(std::wstring(L"a\0b", 3), &encoded));
}

}  // namespace
