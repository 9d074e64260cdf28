// A DLL built without a .def file: its stdcall exports keep their decorated
// names (DllCanUnloadNow@0), which a host looking up the plain name does not
// find. The build-file checks must refuse it.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT __stdcall DllCanUnloadNow() { return S_FALSE; }
