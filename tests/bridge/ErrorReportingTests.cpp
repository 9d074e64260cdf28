// Composition of the bridge's error descriptions and the error information
// set on the thread, driven through the bridge's own reporting functions.
#include <shlobj.h>

#include "ErrorReporting.h"
#include "TestSupport.h"
#include "qvWMI_h.h"

namespace {

// A code that neither the system nor WMI's message modules describe.
constexpr HRESULT kUndescribed = static_cast<HRESULT>(0x8FFF1234);

struct CompositionCase {
    const char* name;
    const wchar_t* action;
    HRESULT hr;
    UINT messageId;
    const wchar_t* argument;
    std::wstring expectedTail;  // what follows the base text
};

class ErrorReporting : public ::testing::Test {
protected:
    ComApartment apartment_;
};

TEST_F(ErrorReporting, DescriptionJoinsBaseTextActionAndContext) {
    const CompositionCase cases[] = {
        {"system text, action and argument", L"Server::GetClass", E_ACCESSDENIED, IDS_ARG_NULL, L"ppServer",
         L" (ACTION: Server::GetClass) (CONTEXT: Argument 'ppServer' cannot be NULL)"},
        {"null action leaves out ACTION", nullptr, E_ACCESSDENIED, IDS_ARG_INVALID, L"bstrServer",
         L" (CONTEXT: Invalid argument('bstrServer') specified.)"},
        {"id that does not load leaves out CONTEXT", L"Component::Connect", E_ACCESSDENIED, 999, L"x",
         L" (ACTION: Component::Connect)"},
        {"message without %s ignores its argument", L"Class::Create", E_ACCESSDENIED, IDS_INVALID_STATE,
         L"ignored",
         L" (ACTION: Class::Create) (CONTEXT: The current state of the object is not valid for the requested "
         L"operation.)"},
        {"path message", L"Server::GetClass", E_ACCESSDENIED, IDS_GET_OBJECT_FAILED, L"Win32_Nothing",
         L" (ACTION: Server::GetClass) (CONTEXT: Failed to retrieve WMI object for the specified path "
         L"'Win32_Nothing'.)"},
    };
    const std::wstring base = SystemText(E_ACCESSDENIED);
    ASSERT_FALSE(base.empty());
    ASSERT_EQ(L"\r\n", base.substr(base.size() - 2)) << "the system text keeps its CR LF";
    for (const CompositionCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_HR(c.hr, ReportError(c.action, c.hr, c.messageId, c.argument));
        ErrorRecord info = TakeErrorInfo();
        ASSERT_TRUE(info.present);
        EXPECT_EQ(base + c.expectedTail, info.description);
    }
}

TEST_F(ErrorReporting, UndescribedCodeUsesUnknownErrorText) {
    EXPECT_HR(kUndescribed, ReportError(L"Collection::GetAt", kUndescribed, IDS_ARG_OUT_OF_RANGE, L"lIndex"));
    ErrorRecord info = TakeErrorInfo();
    EXPECT_EQ(L"An unknown error(0x8FFF1234) occurred (ACTION: Collection::GetAt) (CONTEXT: Argument 'lIndex' "
              L"is not within a valid range.)",
              info.description);
}

TEST_F(ErrorReporting, ErrorInfoCarriesGuidSourceAndHelpContext) {
    ReportError(L"Component::get_Timeout", E_POINTER, IDS_ARG_NULL, L"plTimeout");
    ErrorRecord info = TakeErrorInfo();
    ASSERT_TRUE(info.present);
    EXPECT_TRUE(IsEqualGUID(CLSID_QvWMIAccess, info.guid));
    EXPECT_EQ(L"Tolvane's WMI checker", info.source);
    EXPECT_EQ(0u, info.helpContext);
    EXPECT_NE(std::wstring::npos, info.description.find(L"(CONTEXT: Argument 'plTimeout' cannot be NULL)"));
}

TEST_F(ErrorReporting, Win32ErrorBecomesHResult) {
    EXPECT_HR(E_ACCESSDENIED, ReportWin32Error(L"Server::Create", 5, IDS_SET_SECURITY_FAILED));
    ErrorRecord denied = TakeErrorInfo();
    EXPECT_EQ(SystemText(E_ACCESSDENIED) +
                  L" (ACTION: Server::Create) (CONTEXT: Failed to set security settings on the component.)",
              denied.description);

    EXPECT_HR(static_cast<HRESULT>(0x800705B4), ReportWin32Error(L"Class::get_Instances", ERROR_TIMEOUT, 0));
    TakeErrorInfo();

    EXPECT_HR(S_OK, ReportWin32Error(L"Server::Create", 0, IDS_SET_SECURITY_FAILED));
    EXPECT_TRUE(TakeErrorInfo().present) << "code 0 still sets the error information";
}

TEST_F(ErrorReporting, EachReportReplacesThePreviousOne) {
    ReportError(L"First::Call", E_FAIL, 0);
    ReportError(L"Second::Call", E_FAIL, 0);
    ErrorRecord info = TakeErrorInfo();
    EXPECT_EQ(std::wstring::npos, info.description.find(L"First::Call"));
    EXPECT_NE(std::wstring::npos, info.description.find(L"Second::Call"));
    ClearErrorInfo();
    ReportError(L"Third::Call", E_FAIL, 0);
    ClearErrorInfo();
    EXPECT_FALSE(TakeErrorInfo().present);
}

// The WMI message modules are loaded once per process however many errors
// fall through to them: after many reports each holds a single load count,
// which one FreeLibrary drops to zero.
TEST_F(ErrorReporting, MessageModulesAreLoadedOnce) {
    for (int i = 0; i < 20; ++i) {
        ReportError(L"Test::Cache", kUndescribed, 0);
        TakeErrorInfo();
    }
    wchar_t folder[MAX_PATH];
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, folder, CSIDL_SYSTEM, FALSE));
    CharLowerW(folder);
    for (const wchar_t* name : {L"\\wbem\\wmiutils.dll", L"\\wbem\\wbemcomn.dll"}) {
        const std::wstring path = std::wstring(folder) + name;
        HMODULE module = GetModuleHandleW(path.c_str());
        if (!module) {
            // A module that does not exist on this system is skipped by the bridge.
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str())) << "not loaded: " << name;
            continue;
        }
        FreeLibrary(module);
        EXPECT_EQ(nullptr, GetModuleHandleW(path.c_str())) << "loaded more than once: " << name;
        // Give the cache its module back for the rest of the process.
        EXPECT_EQ(module, LoadLibraryW(path.c_str()));
    }
}

}  // namespace
