// The WMI test double, wmidouble.dll: an in-process COM server registered
// under the WMI locator's class id in the test prefix build/wineprefix-double,
// so that code creating CLSID_WbemLocator reaches it instead of the
// platform's WMI. It answers from a fixed catalogue of scripted classes and
// records the calls it receives. Tests link the DLL's import library (the
// CMake target `wmidouble`; add_wmidouble_gtest in its CMakeLists.txt does
// that and runs the test in the double's prefix) and use the functions below;
// the DLL is then loaded once, at start, and COM uses that same module, so
// its state survives CoUninitialize.
//
// Connecting (IWbemLocator::ConnectServer), by network path:
//   \\<server>\root\<namespace>, or root\<namespace> for the local computer;
//   slashes count as backslashes. The servers (Network.cpp):
//   the local computer      ".", localhost, 127.0.0.1, ::1 and DOUBLE (the
//                           computer's own name): a user name is refused
//                           with 0x80041064 (WBEM_E_LOCAL_CREDENTIALS), as
//                           WMI refuses credentials for the local computer
//   APP01, APP02            computers of the domain CORP (DNS corp.example;
//                           app01.corp.example is APP01), authenticating as
//                           Windows does: the domain account CORP\monitor
//                           (password "M0nitor!") as user "monitor" with
//                           authority "ntlmdomain:CORP", as "CORP\monitor"
//                           or "monitor@corp.example" without an authority;
//                           each computer's local account "localmon"
//                           ("L0calmon!") with "ntlmdomain:APP01" or as
//                           "APP01\localmon". A user name that carries its
//                           domain together with an authority: 0x80041008;
//                           an unknown account, a wrong password or no user
//                           name (this process's own identity): 0x80070005.
//                           Every proxy of such a connection (services, call
//                           results, enumerators) has an IUnknown of its own;
//                           a call through a proxy whose blanket lacks the
//                           connection's credentials fails with 0x80070005,
//                           and the final release of one whose IUnknown's
//                           blanket lacks them lags 1.5 s; both are recorded.
//                           Also CORP\protmon ("Pr0tected!",
//                           protmon@corp.example), an account in Protected
//                           Users: NTLM refused everywhere, Kerberos only
//   HARD01                  a computer of CORP whose policy refuses NTLM
//                           (hardened as KB5004442 and an NTLM-restricting
//                           domain policy leave it): an NTLM connection or
//                           blanket is refused with 0x80070005
//   192.0.2.21              APP01 named by its IP address: no Kerberos
//                           principal has that name, so Kerberos is refused
//                           with 0x80090303 (SEC_E_TARGET_UNKNOWN) and
//                           negotiate falls back to NTLM, as Windows does
//   How a computer of CORP authenticates, as Windows does:
//     the mechanism: authority "ntlmdomain:<domain>" NTLM; "kerberos:<principal>"
//     Kerberos, the principal "CORP\<name>", "corp.example\<name>" or
//     "<name>" naming the computer (any other: 0x80090303); no authority:
//     negotiated, Kerberos where the computer is named by a name (APP01,
//     app01.corp.example, HARD01) and the account is the domain's, else NTLM.
//     A computer's own account has no Kerberos (0x80070005). Blankets follow
//     the same rules per proxy: authn 10 NTLM, 16 Kerberos with the
//     principal (COLE_DEFAULT_PRINCIPAL: the computer's own), 9 or
//     RPC_C_AUTHN_DEFAULT (recorded as 4294967295) negotiated; a refused
//     blanket is accepted and the calls through it fail with the refusal.
//     IClientSecurity::QueryBlanket then reports the mechanism used (16 or
//     10; NTLM for a negotiated blanket on any other computer).
//     Activation is raised to packet integrity (5), as a patched client
//     raises it, so a lower process-wide level still connects.
//     namespace root\MSCluster requires privacy: a call through a proxy
//     whose blanket's level is below 6 fails with 0x80041003
//     (WBEM_E_ACCESS_DENIED), as Windows refuses it
//   server DOWN             a computer that is down: after 1 s (unless the
//                           stalls are cancelled) 0x800706BA (RPC server
//                           unavailable)
//   any other name          connects, whoever asks, except:
//   namespace "refuse"      fails with 0x8004100E (invalid namespace); so
//                           does a path whose namespace is not under root
//   namespace "stall<ms>"   waits <ms> milliseconds, then connects
//   server LOCKED           connects only user "admin" with the password
//                           "Pa55 w\u00F6rd" (a blank and an o with
//                           diaeresis); else fails with 0x80041003 (access
//                           denied)
//
// Classes (class names compare without case; any namespace serves them).
// Every object lists 5 system properties first, in this order:
//   __GENUS (CIM 3: 1 class, 2 instance), __CLASS, __RELPATH,
//   __PROPERTY_COUNT (CIM 3), __PATH = \\DOUBLE\<namespace>:<__RELPATH>
// They have flavour 64 and no qualifier set. Other properties have flavour 0;
// in a class definition their values are VT_NULL.
//
//   Double_Service    3 instances. Properties (CIM type):
//                     Name (8) svc1 svc2 svc3; qualifiers Key = true,
//                       DisplayName "Service name", Description "Unique name
//                       of the service", MaxLen = "255" (VT_BSTR), Read = true,
//                       Required = true. The only key.
//                     State (8) Running Stopped Running; DisplayName "State",
//                       Read = true, Write = true.
//                     ProcessId (19, VT_I4) 104 0 312; MinValue = 1 (VT_I4),
//                       MaxValue = "65535" (VT_BSTR), Read = true.
//                     Caption (8) always VT_NULL; Read = false.
//                     Dependencies (8200, VT_ARRAY|VT_BSTR) {RpcSs, Tcpip},
//                       {} (empty), {RpcSs}; no qualifiers.
//                     Capacity (21, VT_BSTR) "5000000000";
//                       MaxValue = "5000000000" (VT_BSTR).
//                     Offset (20, VT_BSTR) "-5000000000";
//                       MinValue = -5000000000 (VT_I8).
//   Double_Empty      0 instances of the "item" shape:
//                     Id (19, VT_I4) 1..N; Key = true, DisplayName "Item number".
//                     Name (8) item1..itemN; MaxLen = 64 (VT_I4).
//   Double_Item64     64 items.
//   Bulk_<N>          N instances (decimal, at most 100000000), made as they
//                     are fetched; 20 string properties P01 .. P20 whose values
//                     are "v<instance>.<property>" counted from 1, for example
//                     "v7.20"; no key, no qualifiers, __RELPATH and __PATH null.
//   Double_Disk       3 instances: DeviceID (8; Key = true), FreeSpace and
//                     Size (21, VT_BSTR): C: 25000000000 of 100000000000,
//                     D: 0 of 0, E: 5 of VT_NULL.
//   Data-file classes (data/*.tsv, built into the DLL; TableData.cpp lists
//   the files): a file's columns are the properties in order, the first the
//   key (Key = true) unless the class is a singleton; string (8), uint16
//   (18) and uint32 (19) as VT_I4, uint64 (21) and datetime (101) as
//   VT_BSTR, boolean (11) as VT_BOOL, an empty cell VT_NULL.
//   Win32_Processor   data/processors-default.tsv: CPU0 and CPU1 (the key
//                     DeviceID), LoadPercentage 35 and 97 (Wine's has none).
//   Win32_OperatingSystem  data/operatingsystem-default.tsv, a singleton
//                     (__RELPATH Win32_OperatingSystem=@): Caption
//                     "Microsoft Windows Server (WMI test double)", Version
//                     "10.0.20348", LastBootUpTime 15 minutes before the
//                     DLL loaded its data, FreePhysicalMemory and
//                     TotalVisibleMemorySize (uint64, kilobytes).
//   Win32_LogicalDisk data/logicaldisks-default.tsv: C: and D: (DriveType
//                     3), E: a DVD drive (DriveType 5) with null sizes.
//   Win32_Process     data/processes-default.tsv: a default server's
//                     processes, one per running service (its ProcessId).
//   Win32_Service     a default Windows Server's services, from the data
//                     file data/services-default.tsv:
//                     Name (8; the key), DisplayName, StartMode (Auto,
//                     Manual, Disabled), State, Status (8), Started and
//                     DelayedAutoStart (11, VT_BOOL), ProcessId (19, VT_I4;
//                     0 when stopped); the file's header comment gives its
//                     format, which other doubles share. A healthy server:
//                     the automatic services not running are the
//                     delayed-start ones (MapsBroker, sppsvc, OneSyncSvc)
//                     and those started by trigger or per user
//                     (RemoteRegistry, CDPUserSvc). On the computer
//                     SVCFAIL01 the overlay data/services-svcfail01.tsv
//                     replaces rows of the same Name: there Spooler
//                     (automatic) is Stopped, ProcessId 0.
//   Double_Embedded   2 instances: Id (19, VT_I4) 1, 2; Key = true. Owner
//                     (13, VT_UNKNOWN): an embedded object, the instance of
//                     Double_Service in the same position.
//   Double_ServiceStoppedLast  Double_Service delivered as svc1, svc3, svc2
//                     (Running, Running, Stopped).
//   Double_BadInstance  Double_Service whose second instance fails every Get
//                     with 0x80041001 (GetNames still works).
//   Query scenarios (3 items each unless said):
//   Double_NextTimedOut  every Next returns WBEM_S_TIMEDOUT (0x40004) at once.
//   Double_NextStall     every Next waits its whole time-out, then returns
//                        WBEM_S_TIMEDOUT; with WBEM_INFINITE it waits until
//                        the stalls are cancelled.
//   Double_NextSlow_<ms> every Next first waits <ms>; a Next whose time-out
//                        is shorter waits its time-out and returns
//                        WBEM_S_TIMEDOUT with no objects.
//   Double_NextFails     100 items: the first Next works, every later one
//                        fails with WBEM_E_FAILED (0x80041001).
//   Call-result scenarios (semi-synchronous GetObject only; flags 0 returns
//   the class definition directly, whatever the name):
//   Double_GetResult_<hex>  GetResultObject returns that HRESULT (hex, for
//                        example 40005 or 80041001) and no object; 0 behaves
//                        normally.
//   Double_GetStall      GetResultObject waits its whole time-out, then
//                        returns WBEM_S_TIMEDOUT (with WBEM_INFINITE: until
//                        the stalls are cancelled).
//   Double_GetSlow_<ms>  the result is ready <ms> after GetObject; an earlier
//                        time-out returns WBEM_S_TIMEDOUT.
//   Double_SyncOnly      Double_Service whose semi-synchronous GetObject is
//                        refused with 0x80041008 (as Wine's WMI does); the
//                        synchronous one works.
//   Double_SyncStall     the same, but the synchronous GetObject waits until
//                        the stalls are cancelled (then 0x80041032).
//   Double_MissingField  Double_Service whose second instance has no Caption
//                        (GetNames leaves it out, Get gives 0x80041002).
//   Double_NamesFail     Double_Service whose class definition fails GetNames
//                        with 0x80041001; its instances work.
//   Double_NamesStall    Double_Service whose class definition's GetNames
//                        waits until the stalls are cancelled (then
//                        0x80041032): a step no time-out of WMI's bounds.
//   Double_Crash         Double_Service whose Next raises an access
//                        violation (0xC0000005) in the calling thread.
//
// Other answers:
//   GetObject: the class is the text after the last ':' of the path; an
//     unknown class fails with 0x80041002. Flags 0x10 need a call result and
//     no object pointer (else 0x80041008).
//   ExecQuery: only "WQL" (else 0x80041018); the class is the word after
//     FROM (else 0x80041017); an unknown class fails with 0x80041010. For a
//     data-file class the WHERE is applied: AND, OR, NOT,
//     parentheses, = <> != < > <= >=, IS [NOT] NULL, quoted strings,
//     numbers, TRUE, FALSE and property names, all without case; a WHERE
//     it cannot read, or one naming a property the class lacks, fails with
//     0x80041017 as WMI does. For the other classes it is recorded but not
//     applied.
//   Clone, Reset: as the platform's scripting API walks a query (recorded,
//     each a round trip).
//   Next: a batch of at most the requested count; S_OK when the batch is
//     full, WBEM_S_FALSE (1) otherwise (so the last batch may be full with S_OK
//     and be followed by an empty WBEM_S_FALSE one).
//   GetResultObject, Next: a time-out below -1 fails with 0x80041008.
//   GetNames: flags 0 (all, system first), 4 (keys only), 0x40 (non-system);
//     a qualifier filter fails with WBEM_E_NOT_SUPPORTED.
//   GetPropertyQualifierSet: 0x80041030 for a system property, 0x80041002 for
//     an unknown one; IWbemQualifierSet::Get of an absent qualifier: 0x80041002.
//   Services, call results and enumerators answer IClientSecurity, so
//   CoSetProxyBlanket succeeds on them and is recorded. Objects aggregate the
//   free-threaded marshaler: a marshalled pointer unmarshals to the object.
//   Other methods fail with WBEM_E_NOT_SUPPORTED (E_NOTIMPL on class objects
//   and qualifier sets).
//
// The record: one line per call of ConnectServer, SetBlanket, GetObject,
// GetResultObject, ExecQuery and Next (not of GetNames, Get or the qualifier
// calls), each ending with "\n"; strings in double quotes as they arrived, a
// null string as (null), flags in hex:
//   ConnectServer path="\\.\root\cimv2" user=(null) password=(null) locale=(null) flags=0x0 authority=(null) context=no
//   SetBlanket on=services authn=10 authz=0 principal=(null) level=6 impersonation=3 capabilities=0x0 identity=(null)
//   SetBlanket on=enumerator ... capabilities=0x0 user="admin" domain="CORP" password="" flags=2
//   GetObject path="Double_Service" flags=0x10 context=no object=no callresult=yes
//   GetResultObject timeout=120000
//   ExecQuery language="WQL" query="SELECT * FROM Double_Service" flags=0x30 context=no
//   Next timeout=119998 count=64
//   SetBlanket on=services/IUnknown ...   (the IUnknown of a remote proxy)
//   Activation connection=1 authn=16 level=5 account=CORP\monitor
//   Denied on=services call=GetObject: no blanket with CORP\monitor
//   Denied on=services call=GetObject: authn=10 refused for CORP\protmon with 0x80070005
//   Denied on=services call=ExecQuery: level=2 below 6
//   Release on=enumerator lagged: its IUnknown has no blanket with CORP\monitor
// SetBlanket's on= is services, callresult or enumerator; the identity's
// strings are taken by their lengths. A connection to a computer of CORP is
// numbered from 1 after each reset: its Activation line (after
// ConnectServer, on success: the mechanism granted and the level used) and
// every SetBlanket line of its proxies end with connection=<n>. A line is recorded before the call does
// anything, so a stalled call shows already. With WMIDOUBLE_RECORD_FILE set,
// each line is appended to that file too (UTF-8): the record of a process
// that does not link the double, such as wmicheck.exe or a script host.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#ifdef WMIDOUBLE_BUILD
#define WMIDOUBLE_API
#else
#define WMIDOUBLE_API __declspec(dllimport)
#endif

extern "C" {

// Ends every stall, clears the record and makes later stalls wait again.
// Call it at the start of each test.
WMIDOUBLE_API void WmiDoubleReset(void);

// Copies the record into buffer (size characters, terminated, cut to fit)
// and returns the record's full length in characters; buffer may be null
// when size is 0.
WMIDOUBLE_API int WmiDoubleRecord(wchar_t* buffer, int size);

// Clears the record and nothing else (stalls go on): for long runs, whose
// record would grow to its cap.
WMIDOUBLE_API void WmiDoubleClearRecord(void);

// The number of the double's COM objects alive now (locators, services,
// call results, enumerators, class objects, qualifier sets).
WMIDOUBLE_API LONG WmiDoubleLiveObjects(void);

// How many calls into the double began while another call (of any thread)
// was in progress, since the last WmiDoubleReset. Every method but AddRef
// and Release counts, and so does an object's final release; a call made
// from inside another call of the same thread does not.
WMIDOUBLE_API LONG WmiDoubleOverlaps(void);

// Makes every round trip (ConnectServer, GetObject, GetResultObject,
// ExecQuery, Next) take ms milliseconds first, as a remote computer's
// network would; 0 for none. The environment variable WMIDOUBLE_LATENCY_MS
// sets it at load, for processes that do not link the double.
WMIDOUBLE_API void WmiDoubleSetLatency(DWORD ms);

// The id of the thread that made the last ConnectServer call, 0 before any.
WMIDOUBLE_API DWORD WmiDoubleConnectThread(void);

// Ends every stall in progress (a stalled ConnectServer then fails with
// WBEM_E_CALL_CANCELLED 0x80041032; a stalled GetResultObject or Next returns
// WBEM_S_TIMEDOUT) and makes every later stall end at once, until the next
// WmiDoubleReset. Waits up to 5 s for the stalled calls to return and gives
// the number still stalled (0 normally).
WMIDOUBLE_API LONG WmiDoubleCancelStalls(void);

}  // extern "C"

// The record as a string.
inline std::wstring WmiDoubleRecordText() {
    std::wstring text(static_cast<size_t>(WmiDoubleRecord(nullptr, 0)) + 1, L'\0');
    const int length = WmiDoubleRecord(&text[0], static_cast<int>(text.size()));
    // The record may have grown in between: keep what was copied.
    text.resize(std::min(static_cast<size_t>(length), text.size() - 1));
    return text;
}

// The lines of a record that record the given call ("<call> ...").
inline std::vector<std::wstring> WmiDoubleRecordLines(const std::wstring& record, const std::wstring& call) {
    const std::wstring start = call + L" ";
    std::vector<std::wstring> lines;
    for (size_t at = 0; at < record.size();) {
        const size_t end = std::min(record.find(L'\n', at), record.size());
        if (record.compare(at, start.size(), start) == 0) lines.push_back(record.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}
