// The configuration form as the host opens it: ostrel.WMICom's km_showGUI on
// a single-threaded apartment's thread, driven from a second thread.
#include <functional>
#include <thread>

#include "../../common/Raii.h"
#include "BridgeError.h"
#include "FormDriver.h"
#include "Support.h"
#include "TestSupport.h"
#include "ostrel_h.h"
#include "qvWMI_h.h"
#include "release_version.h"
#include "resource.h"

namespace {

com::UniqueVariant Text(const wchar_t* text) {
    com::UniqueVariant value;
    V_VT(value.get()) = VT_BSTR;
    V_BSTR(value.get()) = SysAllocString(text);
    return value;
}

com::UniqueVariant OfType(VARTYPE type, long number = 0) {
    com::UniqueVariant value;
    V_VT(value.get()) = type;
    if (type == VT_I4) V_I4(value.get()) = number;
    return value;
}

ComPtr<_WMICom> CreateCheck(const VARIANT& host, const VARIANT& timeout, const VARIANT& parameter) {
    CLSID clsid;
    ComPtr<_WMICom> check;
    EXPECT_HR(S_OK, CLSIDFromProgID(L"ostrel.WMICom", &clsid));
    EXPECT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &check));
    check->put_km_hostname(host);
    check->put_km_timeout(timeout);
    check->put_km_parameter(parameter);
    return check;
}

// A check for the local computer; parameter nullptr leaves km_parameter Empty.
ComPtr<_WMICom> CreateCheck(const wchar_t* parameter, const wchar_t* host = L".") {
    return CreateCheck(*Text(host).get(), *Text(L"10").get(),
                       parameter ? *Text(parameter).get() : *OfType(VT_EMPTY).get());
}

// km_parameter as text, "<Empty>" while it is Empty.
std::wstring ParameterOf(_WMICom* check) {
    com::UniqueVariant parameter;
    check->get_km_parameter(parameter.get());
    if (V_VT(parameter.get()) == VT_EMPTY) return L"<Empty>";
    return V_VT(parameter.get()) == VT_BSTR ? V_BSTR(parameter.get()) : L"<not a text>";
}

// km_showGUI on this thread; script drives the form from a second thread.
// The form is closed with the close box if the script leaves it open.
HRESULT ShowForm(_WMICom* check, const std::function<void(const FormDriver&)>& script) {
    const DWORD thread = GetCurrentThreadId();
    std::thread driver([&] {
        HWND form = FormDriver::WaitForForm(thread);
        if (!form) return ADD_FAILURE() << "the form did not open";
        FormDriver driver(form);
        script(driver);
        if (IsWindowVisible(form)) driver.Close();
    });
    const HRESULT hr = check->km_showGUI();
    driver.join();
    return hr;
}

const int kAuthenticationOptions[] = {OptNone, OptConnection, OptCall, OptPacket, OptPacketIntegrity, OptPacketPrivacy};
const int kImpersonationOptions[] = {OptIdentify, OptImpersonate, OptDelegate};

// The selected option of a frame, 0 when none is.
template <size_t N>
int SelectedOption(const FormDriver& form, const int (&options)[N]) {
    int selected = 0;
    for (int option : options)
        if (form.Checked(option)) selected = option;
    return selected;
}

// What the bridge itself gives for a class: its property names, or the
// description BridgeError makes of GetClass's failure.
struct ClassListing {
    std::vector<std::wstring> names;
    std::wstring failure;
};

// The listing made directly on the bridge, in the multithreaded apartment
// where the form's own listing runs too.
ClassListing ListInTheMultithreadedApartment(const wchar_t* className) {
    ComApartment apartment;
    ClassListing listing;
    CLSID clsid;
    ComPtr<IQvWMIAccess> access;
    ComPtr<IQvWMIServer> server;
    ComPtr<IQvWMIClass> cls;
    ComPtr<IQvWMIPropertyCollection> properties;
    VARIANT missing;
    V_VT(&missing) = VT_ERROR;
    V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
    EXPECT_HR(S_OK, CLSIDFromProgID(L"QvWMI.Access", &clsid));
    EXPECT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access));
    EXPECT_HR(S_OK, access->Initialize());
    EXPECT_HR(S_OK, access->Connect(*Text(L".").get(), *Text(L"root\\cimv2").get(), missing, missing, missing, missing,
                                    missing, &server));
    Bstr name(className);
    BridgeError::BeforeCall();
    const HRESULT hr = server->GetClass(name.get(), &cls);
    if (FAILED(hr)) {
        BridgeError error;
        error.Record(hr);
        listing.failure = error.Description();
        return listing;
    }
    EXPECT_HR(S_OK, cls->get_Properties(&properties));
    LONG count = 0;
    properties->get_Count(&count);
    for (LONG i = 0; i < count; ++i) {
        ComPtr<IQvWMIPropertyDescriptor> descriptor;
        Bstr propertyName;
        if (SUCCEEDED(properties->GetAt(i, &descriptor)) && SUCCEEDED(descriptor->get_Name(propertyName.put())))
            listing.names.push_back(propertyName.str());
    }
    return listing;
}

ClassListing ListThroughTheBridge(const wchar_t* className) {
    ClassListing listing;
    std::thread([&] { listing = ListInTheMultithreadedApartment(className); }).join();
    return listing;
}

class Form : public ::testing::Test {
protected:
    ComApartment apartment_{COINIT_APARTMENTTHREADED};
};

TEST_F(Form, NewCheckOpensWithItsDefaults) {
    ComPtr<_WMICom> check = CreateCheck(*Text(L"  srv01 ").get(), *OfType(VT_I4, 15).get(), *OfType(VT_EMPTY).get());
    EXPECT_HR(S_OK, ShowForm(check.Get(), [](const FormDriver& form) {
        // This release's caption reads "... (version 2.0 build 10)".
        EXPECT_EQ(L"WMI: External COM check (version " + std::to_wstring(RELEASE_VERSION_MAJOR) + L"." +
                      std::to_wstring(RELEASE_VERSION_MINOR) + L" build " +
                      std::to_wstring(RELEASE_VERSION_BUILD) + L")",
                  form.Caption());
        EXPECT_TRUE(GetWindowLongW(form.form(), GWL_EXSTYLE) & WS_EX_TOPMOST);
        EXPECT_EQ(nullptr, GetWindow(form.form(), GW_OWNER));
        EXPECT_EQ(L"srv01", form.Text(txtServer));
        EXPECT_EQ(L"15", form.Text(txtTimeout));
        for (int field : {txtNamespace, txtDomain, txtUserName, txtPassword, txtLocale, txtObjectPath, cmbProperties,
                          txtRecordFilter, txtCompareValue})
            EXPECT_EQ(L"", form.Text(field)) << "control " << field;
        EXPECT_EQ(OptPacket, SelectedOption(form, kAuthenticationOptions));
        EXPECT_EQ(OptImpersonate, SelectedOption(form, kImpersonationOptions));
        EXPECT_EQ(1, form.Selected(cmbHowToCompare));
        EXPECT_EQ(L"should not contain", form.Text(cmbHowToCompare));
        EXPECT_EQ(8u, form.Items(cmbHowToCompare).size());
        EXPECT_EQ(L'*', SendMessageW(form.Control(txtPassword), EM_GETPASSWORDCHAR, 0, 0));
        form.Screenshot("form-new-check");
    }));
    EXPECT_EQ(L"<Empty>", ParameterOf(check.Get())) << "the close box leaves km_parameter as it was";
}

TEST_F(Form, ControlsSitAtTheirTwipPositionsAndTabOrder) {
    ComPtr<_WMICom> check = CreateCheck(nullptr);
    ShowForm(check.Get(), [](const FormDriver& form) {
        HDC screen = GetDC(nullptr);
        const int dpiX = GetDeviceCaps(screen, LOGPIXELSX), dpiY = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
        auto x = [dpiX](int twips) { return MulDiv(twips, dpiX, 1440); };
        auto y = [dpiY](int twips) { return MulDiv(twips, dpiY, 1440); };
        RECT client;
        GetClientRect(form.form(), &client);
        EXPECT_EQ(x(8910), client.right);
        EXPECT_EQ(y(7035), client.bottom);
        // Positions within the form; controls inside a frame add its origin.
        const struct {
            int id, left, top, width, height;
        } cases[] = {
            {txtServer, 120 + 1440, 240 + 360, 3855, 285},
            {Label2, 120 + 240, 240 + 1800, 1095, 255},
            {cmbProperties, 1320, 4980, 3855, 315},
            {btOK, 7920, 5640, 735, 375},
            {Label4, 0, 6420, 1335, 255},
            {OptDelegate, 120 + 120, 2880 + 1020, 1935, 255},
            {OptPacketPrivacy, 2400 + 1500, 2880 + 1020, 1635, 255},
        };
        for (const auto& c : cases) {
            RECT r;
            GetWindowRect(form.Control(c.id), &r);
            MapWindowPoints(nullptr, form.form(), reinterpret_cast<POINT*>(&r), 2);
            EXPECT_EQ(x(c.left), r.left) << "control " << c.id;
            EXPECT_EQ(y(c.top), r.top) << "control " << c.id;
            EXPECT_EQ(x(c.width), r.right - r.left) << "control " << c.id;
            EXPECT_EQ(y(c.height), r.bottom - r.top) << "control " << c.id;
        }
        // Tab order; each frame of options is one stop, at its selected button.
        const int order[] = {txtServer,      txtNamespace,    txtDomain,       txtUserName, txtPassword,
                             txtLocale,      txtObjectPath,   btList,          cmbProperties,
                             txtRecordFilter, cmbHowToCompare, txtCompareValue, btOK,        txtTimeout,
                             OptImpersonate, OptPacket,       txtServer};
        HWND at = GetNextDlgTabItem(form.form(), nullptr, FALSE);
        for (int id : order) {
            EXPECT_EQ(id, GetDlgCtrlID(at));
            at = GetNextDlgTabItem(form.form(), at, FALSE);
        }
    });
}

struct FillingCase {
    const wchar_t* parameter;
    long operatorIndex;
    int authentication, impersonation;  // selected option, 0 for none
};

class FormFilling : public Form, public ::testing::WithParamInterface<FillingCase> {};

TEST_P(FormFilling, SelectsOperatorAndLevels) {
    const FillingCase& c = GetParam();
    ComPtr<_WMICom> check = CreateCheck(c.parameter);
    EXPECT_HR(S_OK, ShowForm(check.Get(), [&](const FormDriver& form) {
        EXPECT_EQ(c.operatorIndex, form.Selected(cmbHowToCompare));
        EXPECT_EQ(c.authentication, SelectedOption(form, kAuthenticationOptions));
        EXPECT_EQ(c.impersonation, SelectedOption(form, kImpersonationOptions));
    }));
}

INSTANTIATE_TEST_SUITE_P(Cases, FormFilling,
                         ::testing::Values(FillingCase{L"#CWA=EXA#", 2, OptPacket, OptImpersonate},
                                           FillingCase{L"#CWA=XYZ#", 0, OptPacket, OptImpersonate},
                                           FillingCase{L"#CWA=exa#", 0, OptPacket, OptImpersonate},
                                           FillingCase{L"#CWA=MEQ#AUL=6#IML=2#", 7, OptPacketPrivacy, OptIdentify},
                                           FillingCase{L"#AUL=0#IML=0#", 0, 0, 0},
                                           FillingCase{L"#AUL=4.5#IML=x#", 0, 0, 0},
                                           FillingCase{L"#USR=bob#", 0, OptPacket, OptImpersonate}));

TEST_F(Form, ShowsStoredValuesAsTheyAre) {
    ComPtr<_WMICom> check = CreateCheck(
        L"#ENC=T#USR= bob #PWD=ICBwdyA=#NSP=root\\cimv2#DOM=D1#LOC=ms_409#CLS=Win32_Service"
        L"#FIL=Name{0x3d}{0x22}x{0x22}#PRO=State#PRI=12#CWA=DIF#CVA=Running#AUL=2#IML=4#");
    EXPECT_HR(S_OK, ShowForm(check.Get(), [](const FormDriver& form) {
        const struct {
            int id;
            const wchar_t* text;
        } fields[] = {{txtUserName, L" bob "},       {txtPassword, L"  pw "},        {txtNamespace, L"root\\cimv2"},
                      {txtDomain, L"D1"},            {txtLocale, L"ms_409"},        {txtObjectPath, L"Win32_Service"},
                      {txtRecordFilter, L"Name=\"x\""}, {cmbProperties, L"State"},   {txtCompareValue, L"Running"}};
        for (const auto& field : fields) EXPECT_EQ(field.text, form.Text(field.id)) << "control " << field.id;
        EXPECT_TRUE(form.Items(cmbProperties).empty());
        EXPECT_EQ(3, form.Selected(cmbHowToCompare));
        EXPECT_EQ(OptConnection, SelectedOption(form, kAuthenticationOptions));
        EXPECT_EQ(OptDelegate, SelectedOption(form, kImpersonationOptions));
    }));
}

TEST_F(Form, MembersWithoutTextFailBeforeTheFormOpens) {
    const struct {
        bool nullHost;
        const wchar_t* parameter;
        HRESULT expected;
    } cases[] = {
        {true, L"", DISP_E_TYPEMISMATCH},
        {false, L"#PWD==abc#", HRESULT_FROM_WIN32(ERROR_INVALID_DATA)},  // a group that begins with "="
    };
    for (const auto& c : cases) {
        ComPtr<_WMICom> check = CreateCheck(c.nullHost ? *OfType(VT_NULL).get() : *Text(L".").get(),
                                            *Text(L"10").get(), *Text(c.parameter).get());
        EXPECT_HR(c.expected, check->km_showGUI());
        EXPECT_EQ(c.parameter, ParameterOf(check.Get()));
        // The failure leaves the object as it was: with readable members
        // the next km_showGUI opens the form.
        check->put_km_hostname(*Text(L".").get());
        check->put_km_parameter(*Text(L"").get());
        EXPECT_HR(S_OK, ShowForm(check.Get(), [](const FormDriver&) {}));
    }
}

struct OkCase {
    const wchar_t* name;
    const wchar_t* parameter;  // nullptr: a new check
    std::function<void(const FormDriver&)> edit;
    const wchar_t* expected;
};

TEST_F(Form, OkComposesTheParameterString) {
    const OkCase cases[] = {
        {L"new check unchanged", nullptr, [](const FormDriver&) {},
         L"#ENC=T#USR=#PWD=#NSP=#DOM=#LOC=#CLS=#FIL=#PRO=#PRI=-1#CWA=NCO#CVA=#AUL=4#IML=3#"},
        {L"every field, blanks around them", nullptr,
         [](const FormDriver& form) {
             form.SetText(txtUserName, L"  bob ");
             form.SetText(txtPassword, L"  pw ");
             form.SetText(txtNamespace, L" root\\cimv2 ");
             form.SetText(txtDomain, L"D1 ");
             form.SetText(txtLocale, L" ms_409");
             form.SetText(txtObjectPath, L" Win32_Service ");
             form.SetText(txtRecordFilter, L" Name=\"x\" ");
             form.SetText(cmbProperties, L" State ");
             form.Pick(cmbHowToCompare, 2);
             form.SetText(txtCompareValue, L" Running ");
             form.Click(OptCall);
             form.Click(OptDelegate);
         },
         L"#ENC=T#USR=bob#PWD=ICBwdyA=#NSP=root\\cimv2#DOM=D1#LOC=ms_409#CLS=Win32_Service"
         L"#FIL=Name{0x3d}{0x22}x{0x22}#PRO=State#PRI=-1#CWA=EXA#CVA=Running#AUL=3#IML=4#"},
        {L"typed operator, no options", L"#CWA=DIF#AUL=0#IML=0#",
         [](const FormDriver& form) { form.SetText(cmbHowToCompare, L"should differ"); },
         L"#ENC=T#USR=#PWD=#NSP=#DOM=#LOC=#CLS=#FIL=#PRO=#PRI=-1#CWA=CON#CVA=#AUL=0#IML=0#"},
    };
    for (const OkCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "case: " << c.name);
        ComPtr<_WMICom> check = CreateCheck(c.parameter);
        EXPECT_HR(S_OK, ShowForm(check.Get(), [&](const FormDriver& form) {
            c.edit(form);
            EXPECT_TRUE(form.Click(btOK).empty());
        }));
        EXPECT_EQ(c.expected, ParameterOf(check.Get()));
    }
}

TEST_F(Form, FilterComesBackUnchangedWhenShownAgain) {
    const std::wstring filter = L"Name=\"a#b\"\r\nAND State='=x'";
    ComPtr<_WMICom> check = CreateCheck(nullptr);
    EXPECT_HR(S_OK, ShowForm(check.Get(), [&](const FormDriver& form) {
        form.SetText(txtRecordFilter, L"  " + filter + L" ");
        form.Click(btOK);
    }));
    const std::wstring stored = ParameterOf(check.Get());
    EXPECT_NE(std::wstring::npos,
              stored.find(L"#FIL=Name{0x3d}{0x22}a{0x23}b{0x22}{0x0d}{0x0a}AND State{0x3d}'{0x3d}x'#"))
        << stored;
    EXPECT_HR(S_OK, ShowForm(check.Get(), [&](const FormDriver& form) {
        EXPECT_EQ(filter, form.Text(txtRecordFilter));
    }));
}

TEST_F(Form, HashInAPlainFieldKeepsTheFormOpen) {
    const wchar_t* stored = L"#USR=bob#CWA=EXA#";
    ComPtr<_WMICom> check = CreateCheck(stored);
    EXPECT_HR(S_OK, ShowForm(check.Get(), [](const FormDriver& form) {
        form.SetText(txtUserName, L"bob#2");
        const std::vector<MessageBoxSeen> boxes = form.Click(btOK);
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(L"ostrel", boxes[0].title);
        EXPECT_NE(std::wstring::npos, boxes[0].text.find(L"\"User name\"")) << boxes[0].text;
        EXPECT_TRUE(IsWindowVisible(form.form()));
    }));
    EXPECT_EQ(stored, ParameterOf(check.Get())) << "the close box leaves km_parameter as it was";
}

TEST_F(Form, EachShowStartsFromAFreshlyLoadedForm) {
    ComPtr<_WMICom> check = CreateCheck(nullptr);
    EXPECT_HR(S_OK, ShowForm(check.Get(), [](const FormDriver& form) {
        form.SetText(txtObjectPath, L"NoSuchClass");
        form.Click(btList);  // disables cmbProperties
        form.SetText(txtUserName, L"bob");
        form.Pick(cmbHowToCompare, 5);
        form.Click(OptNone);
        form.Click(OptDelegate);
    }));
    EXPECT_HR(S_OK, ShowForm(check.Get(), [](const FormDriver& form) {
        EXPECT_EQ(L"", form.Text(txtUserName));
        EXPECT_EQ(L"", form.Text(txtObjectPath));
        EXPECT_TRUE(form.Enabled(cmbProperties));
        EXPECT_EQ(1, form.Selected(cmbHowToCompare));
        EXPECT_EQ(OptPacket, SelectedOption(form, kAuthenticationOptions));
        EXPECT_EQ(OptImpersonate, SelectedOption(form, kImpersonationOptions));
    }));
    EXPECT_EQ(L"<Empty>", ParameterOf(check.Get()));
}

struct ListingCase {
    const wchar_t* remembered;
    const wchar_t* selected;  // nullptr: the second item
};

TEST_F(Form, ListingFillsThePropertiesAndSelectsTheRememberedName) {
    const ClassListing expected = ListThroughTheBridge(L"Win32_Service");
    ASSERT_GT(expected.names.size(), 2u);
    const ListingCase cases[] = {{L"State", L"State"}, {L"", nullptr}, {L"state", nullptr}, {L"NoSuchName", nullptr}};
    for (const ListingCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "remembered: " << c.remembered);
        ComPtr<_WMICom> check = CreateCheck(nullptr);
        EXPECT_HR(S_OK, ShowForm(check.Get(), [&](const FormDriver& form) {
            form.SetText(txtNamespace, L"root\\cimv2");
            form.SetText(txtObjectPath, L"Win32_Service");
            form.SetText(cmbProperties, c.remembered);
            EXPECT_TRUE(form.Click(btList).empty());
            EXPECT_EQ(expected.names, form.Items(cmbProperties));
            EXPECT_TRUE(form.Enabled(cmbProperties));
            const std::wstring selected = c.selected ? c.selected : expected.names[1];
            EXPECT_EQ(selected, form.Text(cmbProperties));
            EXPECT_EQ(selected, form.Items(cmbProperties).at(static_cast<size_t>(form.Selected(cmbProperties))));
            if (*c.remembered == L'S') form.Screenshot("form-after-listing");
            // A picked name is written with its list position.
            form.Click(btOK);
        }));
        const std::wstring stored = ParameterOf(check.Get());
        const size_t at = stored.find(L"#PRI=");
        ASSERT_NE(std::wstring::npos, at);
        const long index = std::wcstol(stored.c_str() + at + 5, nullptr, 10);
        EXPECT_EQ(c.selected ? c.selected : expected.names[1], expected.names.at(static_cast<size_t>(index)));
    }
}

struct FailureCase {
    const wchar_t* name;
    const wchar_t* server;
    const wchar_t* timeout;
    const wchar_t* className;
    const wchar_t* title;
    std::wstring text;
    bool errorIcon;
    bool listCleared;  // list emptied and disabled, or left alone
};

std::wstring WithNumber(HRESULT hr) {
    return BridgeError::DescribeCode(hr) + L"(" + std::to_wstring(static_cast<long>(hr)) + L")";
}

TEST_F(Form, ListingFailuresShowTheirMessageBoxes) {
    const FailureCase cases[] = {
        {L"letters as time-out", L".", L"abc", L"Win32_Service", L"ERROR Initialize", WithNumber(DISP_E_TYPEMISMATCH),
         true, false},
        {L"no time-out", L".", L"", L"Win32_Service", L"ERROR Initialize", WithNumber(DISP_E_TYPEMISMATCH), true, false},
        // Wine refuses other computers at once with a transport failure.
        {L"remote computer", L"SRV01", L"5", L"Win32_Service", L"ERROR Connect", WithNumber(static_cast<HRESULT>(0x80041015)),
         true, false},
        {L"unknown class", L".", L"10", L"NoSuchClass", L"ostrel", ListThroughTheBridge(L"NoSuchClass").failure, false,
         true},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "case: " << c.name);
        ComPtr<_WMICom> check = CreateCheck(nullptr, c.server);
        EXPECT_HR(S_OK, ShowForm(check.Get(), [&](const FormDriver& form) {
            form.SetText(txtTimeout, c.timeout);
            form.SetText(txtObjectPath, c.className);
            form.SetText(cmbProperties, L"State");
            const std::vector<MessageBoxSeen> boxes = form.Click(btList);
            ASSERT_EQ(1u, boxes.size());
            EXPECT_EQ(c.title, boxes[0].title);
            EXPECT_EQ(c.text, boxes[0].text);
            EXPECT_EQ(c.errorIcon, boxes[0].errorIcon);
            EXPECT_TRUE(form.Items(cmbProperties).empty());
            EXPECT_EQ(c.listCleared ? L"" : L"State", form.Text(cmbProperties));
            EXPECT_EQ(!c.listCleared, form.Enabled(cmbProperties));
        }));
    }
}

// Without the bridge the listing says why the access object could not be
// made, in the same words and number as the check.
TEST_F(Form, AnUnregisteredBridgeIsReportedAsTheCheckReportsIt) {
    HMODULE bridge = LoadLibraryW(BinPath(L"qvWMI.dll").c_str());
    ASSERT_NE(nullptr, bridge);
    auto entry = [&](const char* name) {
        return reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void (*)()>(GetProcAddress(bridge, name)));
    };
    ASSERT_HR(S_OK, entry("DllUnregisterServer")());
    ComPtr<_WMICom> check = CreateCheck(nullptr);
    std::vector<MessageBoxSeen> boxes;
    EXPECT_HR(S_OK, ShowForm(check.Get(), [&](const FormDriver& form) {
        form.SetText(txtObjectPath, L"Win32_Service");
        boxes = form.Click(btList);
    }));
    EXPECT_HR(S_OK, entry("DllRegisterServer")());
    FreeLibrary(bridge);
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"ERROR Initialize", boxes[0].title);
    EXPECT_EQ(WithNumber(CO_E_CLASSSTRING), boxes[0].text);
}

// wmicheck.exe --configure with arguments, its form driven by script; the
// program's exit code and what it printed.
std::pair<DWORD, std::string> RunConfigure(const std::wstring& arguments,
                                           const std::function<void(const FormDriver&)>& script) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    CreatePipe(&read, &write, &inherit, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + BinPath(L"wmicheck.exe") + L"\" --configure " + arguments;
    const BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    CloseHandle(write);
    EXPECT_TRUE(started);
    if (!started) return {~0u, ""};
    if (HWND form = FormDriver::WaitForForm(0)) {
        FormDriver driver(form);
        script(driver);
        if (IsWindowVisible(form)) driver.Close();
    } else {
        ADD_FAILURE() << "the form did not open";
    }
    std::string output;
    char buffer[512];
    DWORD count = 0;
    while (ReadFile(read, buffer, sizeof buffer, &count, nullptr) && count) output.append(buffer, count);
    WaitForSingleObject(process.hProcess, FormDriver::kWaitMs);
    DWORD exitCode = ~0u;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(read);
    return {exitCode, output};
}

TEST(Configure, PrintsTheParameterStringTheFormLeaves) {
    const struct {
        const wchar_t* arguments;
        bool ok;
        const char* printed;
    } cases[] = {
        {L"--host \" srv01 \" --timeout 7 --param #CWA=EXA#", true,
         "#ENC=T#USR=#PWD=#NSP=#DOM=#LOC=#CLS=#FIL=#PRO=#PRI=-1#CWA=EXA#CVA=Running#AUL=4#IML=3#"},
        {L"--param #USR=bob#", false, "#USR=bob#"},
    };
    for (const auto& c : cases) {
        const auto [exitCode, output] = RunConfigure(c.arguments, [&](const FormDriver& form) {
            if (c.ok) {
                EXPECT_EQ(L"srv01", form.Text(txtServer));
                EXPECT_EQ(L"7", form.Text(txtTimeout));
                form.SetText(txtCompareValue, L"Running");
                form.Click(btOK);
            }
        });
        EXPECT_EQ(0u, exitCode);
        EXPECT_EQ(std::string(c.printed) + "\r\n", output);
    }
}

TEST(SetTopMost, KeepsTheWindowAboveANormalWindow) {
    auto create = [] {
        return CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 10, 10, 50, 50, nullptr, nullptr, nullptr,
                               nullptr);
    };
    HWND top = create(), normal = create();
    // true: the window is above the normal one even after that is raised.
    EXPECT_NE(0, SetTopMost(top, true));
    SetWindowPos(normal, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_TRUE(GetWindowLongW(top, GWL_EXSTYLE) & WS_EX_TOPMOST);
    auto above = [](HWND upper, HWND lower) {
        for (HWND w = GetWindow(upper, GW_HWNDNEXT); w; w = GetWindow(w, GW_HWNDNEXT))
            if (w == lower) return true;
        return false;
    };
    EXPECT_TRUE(above(top, normal));
    // false: 0, and the window is an ordinary one again.
    EXPECT_EQ(0, SetTopMost(top, false));
    EXPECT_FALSE(GetWindowLongW(top, GWL_EXSTYLE) & WS_EX_TOPMOST);
    SetWindowPos(normal, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_TRUE(above(normal, top));
    DestroyWindow(top);
    DestroyWindow(normal);
    // An invalid window: 0, with the reason left in the last error.
    EXPECT_EQ(0, SetTopMost(top, true));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
}

TEST(ReadSecondsAsMilliseconds, ReadsTheUsersNumberFormat) {
    const LCID english = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const struct {
        const wchar_t* text;
        LCID lcid;
        HRESULT hr;
        long milliseconds;
    } cases[] = {
        {L"2.5", english, S_OK, 2500},  {L"2,5", german, S_OK, 2500},   {L" 15 ", english, S_OK, 15000},
        {L"0.0025", english, S_OK, 2},  {L"0.0035", english, S_OK, 4},  // halves to even
        {L"abc", english, DISP_E_TYPEMISMATCH, 0}, {L"", english, DISP_E_TYPEMISMATCH, 0},
        {L"1e10", english, DISP_E_OVERFLOW, 0},
    };
    for (const auto& c : cases) {
        long milliseconds = 0;
        EXPECT_HR(c.hr, ReadSecondsAsMilliseconds(c.text, c.lcid, &milliseconds)) << c.text;
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(c.milliseconds, milliseconds) << c.text;
        }
    }
}

}  // namespace
