// The check's rules for one value: number reading, text forms and the eight
// operators with their result texts.
#include "CheckRules.h"

#include <cmath>

#include "../../common/Raii.h"
#include "TestSupport.h"

namespace {

using com::UniqueVariant;

const LCID kEnglish = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
const LCID kGerman = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);

// Owned VARIANTs of one type each.
template <class Fill>
UniqueVariant Make(VARTYPE type, Fill fill) {
    UniqueVariant v;
    V_VT(v.get()) = type;
    fill(v.get());
    return v;
}
UniqueVariant Null() { return Make(VT_NULL, [](VARIANT*) {}); }
UniqueVariant Text(const wchar_t* t) {
    return Make(VT_BSTR, [t](VARIANT* v) { V_BSTR(v) = SysAllocString(t); });
}
UniqueVariant Bool(bool b) {
    return Make(VT_BOOL, [b](VARIANT* v) { V_BOOL(v) = b ? VARIANT_TRUE : VARIANT_FALSE; });
}
UniqueVariant I4(LONG n) { return Make(VT_I4, [n](VARIANT* v) { V_I4(v) = n; }); }
UniqueVariant I8(LONGLONG n) { return Make(VT_I8, [n](VARIANT* v) { V_I8(v) = n; }); }
UniqueVariant R8(double d) { return Make(VT_R8, [d](VARIANT* v) { V_R8(v) = d; }); }
UniqueVariant ByRef(LONG* n) { return Make(VT_BYREF | VT_I4, [n](VARIANT* v) { V_I4REF(v) = n; }); }
UniqueVariant Object() { return Make(VT_UNKNOWN, [](VARIANT* v) { V_UNKNOWN(v) = nullptr; }); }
UniqueVariant Array() {
    return Make(VT_ARRAY | VT_I4, [](VARIANT* v) { V_ARRAY(v) = SafeArrayCreateVector(VT_I4, 0, 2); });
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(CheckRules, ReadNumberTakesTheLeadingNumber) {
    const struct {
        const wchar_t* text;
        double expected;
    } cases[] = {
        {L"", 0},        {L"abc", 0},       {L"12abc", 12},     {L"1 000", 1000},  {L" \t4\n2 ", 42},
        {L"\r5", 0},     {L"80%", 80},      {L"1,5", 1},        {L"$5", 0},        {L"-3.5", -3.5},
        {L"+2", 2},      {L"- 7", -7},      {L".5", 0.5},       {L"1.2.3", 1.2},   {L"1e3", 1000},
        {L"2D2", 200},   {L"1E", 1},        {L"1e-2x", 0.01},   {L"&H1F", 31},     {L"&hff", 255},
        {L"&O17", 15},   {L"&O8", 0},       {L"&X1", 0},        {L"1e-400", 0},    {L"-", 0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(c.expected, ReadNumber(c.text)) << Narrow(c.text);
    EXPECT_TRUE(std::isinf(ReadNumber(L"1E400")));
    EXPECT_TRUE(std::isinf(ReadNumber(L"-9e99999999999")));
}

TEST(CheckRules, RoundToLongHalvesToEven) {
    const struct {
        double value;
        long expected;
    } cases[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}, {2.4999, 2}, {2.5001, 3},
                 {2147483647.4, 2147483647}, {-2147483648.5, LONG_MIN}};
    for (const auto& c : cases) {
        long rounded = 99;
        EXPECT_HR(S_OK, RoundToLong(c.value, &rounded)) << c.value;
        EXPECT_EQ(c.expected, rounded) << c.value;
    }
    long rounded = 99;
    for (double overflow : {2147483647.5, -2147483649.0, 1e10, HUGE_VAL})
        EXPECT_HR(DISP_E_OVERFLOW, RoundToLong(overflow, &rounded)) << overflow;
    EXPECT_EQ(99, rounded);
}

TEST(CheckRules, TextFormOfValues) {
    wchar_t separator[8] = {};
    ASSERT_NE(0, GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8));
    LONG referenced = 7;
    const struct {
        UniqueVariant value;
        LCID lcid;
        std::wstring expected;
    } cases[] = {
        {Null(), kEnglish, L""},
        {UniqueVariant(), kEnglish, L""},
        {Bool(true), kGerman, L"True"},
        {Bool(false), kGerman, L"False"},
        {R8(1.5), LOCALE_USER_DEFAULT, std::wstring(L"1") + separator + L"5"},
        {R8(1.5), kEnglish, L"1.5"},
        {R8(-1.5), kGerman, L"-1,5"},
        {I4(-42), kGerman, L"-42"},
        {I8(9223372036854775807LL), kEnglish, L"9223372036854775807"},
        {Text(L"18446744073709551615"), kGerman, L"18446744073709551615"},
        {Text(L" Running "), kEnglish, L" Running "},
        {ByRef(&referenced), kEnglish, L"7"},
    };
    for (const auto& c : cases) {
        std::wstring text = L"unset";
        EXPECT_HR(S_OK, ValueText(*c.value.get(), &text, c.lcid)) << Narrow(c.expected);
        EXPECT_EQ(c.expected, text);
    }
    UniqueVariant error;
    V_VT(error.get()) = VT_ERROR;
    V_ERROR(error.get()) = DISP_E_PARAMNOTFOUND;
    UniqueVariant array = Array(), object = Object();
    for (const VARIANT* none : {array.get(), object.get(), error.get()}) {
        std::wstring text;
        EXPECT_HR(DISP_E_TYPEMISMATCH, ValueText(*none, &text)) << V_VT(none);
    }
}

TEST(CheckRules, OperatorsGiveVerdictAndPhrase) {
    const struct {
        const wchar_t* code;
        UniqueVariant value;
        const wchar_t* compare;
        bool verdict;
        const wchar_t* text;
    } cases[] = {
        {L"CON", Text(L"abc"), L"b", true, L"Size=abc (contains b)"},
        {L"CON", Text(L"abc"), L"B", false, L"Size=abc (doesn't contain B)"},
        {L"CON", Text(L"abc"), L"", true, L"Size=abc (contains )"},
        {L"CON", Text(L""), L"", false, L"Size= (doesn't contain )"},
        {L"NCO", Text(L"abc"), L"x", true, L"Size=abc (doesn't contain x)"},
        {L"NCO", Text(L"abc"), L"c", false, L"Size=abc (contains c)"},
        {L"EXA", I4(120), L"120", true, L"Size=120"},
        {L"EXA", Text(L"Running"), L"running", false, L"Size=Running (not the same as running)"},
        {L"DIF", Text(L"a"), L"b", true, L"Size=a (different from b)"},
        {L"DIF", Text(L"a"), L"a", false, L"Size=a (not different from a)"},
        {L"LES", I4(120), L"200", true, L"Size=120 (<200)"},
        {L"LES", I4(250), L"200", false, L"Size=250 (!! not <200)"},
        {L"LEQ", I4(200), L"200", true, L"Size=200 (<=200)"},
        {L"LEQ", I4(201), L"200", false, L"Size=201 (!! not <=200)"},
        {L"MOR", I4(201), L"200", true, L"Size=201 (>200)"},
        {L"MOR", I4(200), L"200", false, L"Size=200 (!! not >200)"},
        {L"MEQ", I4(200), L"200", true, L"Size=200 (=>200)"},
        {L"MEQ", I4(199), L"200", false, L"Size=199 (!! not =>200)"},
        // Compare values read by the leading-number rule.
        {L"LES", I4(999), L"1 000", true, L"Size=999 (<1 000)"},
        {L"LES", I4(1000), L"1 000", false, L"Size=1000 (!! not <1 000)"},
        {L"LES", R8(79.5), L"80%", true, L"Size=79.5 (<80%)"},
        {L"LES", I4(80), L"80%", false, L"Size=80 (!! not <80%)"},
        {L"LES", I4(-1), L"none", true, L"Size=-1 (<none)"},
        {L"LES", I4(0), L"none", false, L"Size=0 (!! not <none)"},
        {L"LES", Bool(true), L"0", true, L"Size=True (<0)"},
        // Text values through the locale's conversion; 64-bit values come as text.
        {L"MOR", Text(L"18446744073709551615"), L"1E19", true, L"Size=18446744073709551615 (>1E19)"},
        {L"MEQ", Text(L" 1,000.5 "), L"1000.5", true, L"Size= 1,000.5  (=>1000.5)"},
        // Unknown codes compare nothing.
        {L"XYZ", I4(120), L"120", false, L"Size=120"},
        {L"", I4(120), L"120", false, L"Size=120"},
        {L"exa", I4(120), L"120", false, L"Size=120"},
    };
    for (const auto& c : cases) {
        Evaluation evaluation;
        ASSERT_HR(S_OK, EvaluateOperator(L"Size", *c.value.get(), c.code, c.compare, &evaluation, kEnglish))
            << Narrow(c.text);
        EXPECT_EQ(c.verdict, evaluation.verdict) << Narrow(c.text);
        EXPECT_EQ(c.text, evaluation.resultText);
    }
}

TEST(CheckRules, NullSatisfiesNoOperator) {
    const struct {
        const wchar_t* code;
        const wchar_t* text;
    } cases[] = {
        {L"CON", L"State= (doesn't contain Running)"}, {L"NCO", L"State= (contains Running)"},
        {L"EXA", L"State= (not the same as Running)"}, {L"DIF", L"State= (not different from Running)"},
        {L"LES", L"State= (!! not <Running)"},         {L"LEQ", L"State= (!! not <=Running)"},
        {L"MOR", L"State= (!! not >Running)"},         {L"MEQ", L"State= (!! not =>Running)"},
        {L"ZZZ", L"State="},
    };
    for (const auto& c : cases) {
        Evaluation evaluation;
        ASSERT_HR(S_OK, EvaluateOperator(L"State", *Null().get(), c.code, L"Running", &evaluation));
        EXPECT_FALSE(evaluation.verdict) << Narrow(c.code);
        EXPECT_EQ(c.text, evaluation.resultText);
    }
}

TEST(CheckRules, LocaleDecidesSeparatorsOfValues) {
    const struct {
        UniqueVariant value;
        const wchar_t* code;
        const wchar_t* compare;  // read with "." and with the locale's separator
        bool verdict;
        const wchar_t* text;
    } cases[] = {
        {R8(1.5), L"LES", L"1.6", true, L"Size=1,5 (<1.6)"},
        {Text(L"1,5"), L"MOR", L"1.4", true, L"Size=1,5 (>1.4)"},
        {R8(1.5), L"LES", L"1,6", true, L"Size=1,5 (<1,6)"},      // the value's own separator
        {R8(1.5), L"MOR", L"1,4 GB", true, L"Size=1,5 (>1,4 GB)"},
        {R8(1.5), L"LES", L"1 000,5", true, L"Size=1,5 (<1 000,5)"},
    };
    for (const auto& c : cases) {
        Evaluation evaluation;
        ASSERT_HR(S_OK, EvaluateOperator(L"Size", *c.value.get(), c.code, c.compare, &evaluation, kGerman))
            << Narrow(c.text);
        EXPECT_EQ(c.verdict, evaluation.verdict) << Narrow(c.text);
        EXPECT_EQ(c.text, evaluation.resultText);
    }
}

TEST(CheckRules, UnevaluableComparisonsFail) {
    const struct {
        UniqueVariant value;
        const wchar_t* code;
    } cases[] = {
        {Text(L"abc"), L"LES"}, {Text(L""), L"MOR"}, {Text(L"80%"), L"MEQ"},
        {Array(), L"EXA"},      {Array(), L"XYZ"},   {Object(), L"CON"},
    };
    for (const auto& c : cases) {
        Evaluation evaluation;
        evaluation.resultText = L"previous";
        EXPECT_HR(DISP_E_TYPEMISMATCH, EvaluateOperator(L"Size", *c.value.get(), c.code, L"1", &evaluation))
            << Narrow(c.code) << " vt " << V_VT(c.value.get());
        EXPECT_EQ(L"previous", evaluation.resultText);
    }
    // The same texts compare fine as texts.
    Evaluation evaluation;
    EXPECT_HR(S_OK, EvaluateOperator(L"Size", *Text(L"abc").get(), L"EXA", L"1", &evaluation));
}

TEST(CheckRules, OperatorListOrder) {
    const wchar_t* codes[] = {L"CON", L"NCO", L"EXA", L"DIF", L"LES", L"LEQ", L"MOR", L"MEQ"};
    for (long i = 0; i < kOperatorCount; ++i) {
        EXPECT_STREQ(codes[i], OperatorCodeAt(i));
        EXPECT_EQ(i, OperatorPosition(codes[i]));
    }
    EXPECT_STREQ(L"CON", OperatorCodeAt(-1));
    EXPECT_STREQ(L"CON", OperatorCodeAt(kOperatorCount));
    EXPECT_EQ(-1, OperatorPosition(L"con"));
}

}  // namespace
