// corvane-script: the parts of the script host and what they share.
//
// The host runs one script file in an Active Scripting engine (JScript or
// VBScript) on the main thread, an apartment-threaded COM thread. The engine
// reaches the host through the site object (script_site.cpp) and the named
// item "WScript" (wscript.cpp). The COM objects are written in the C style of
// Wine's hand-written COM code (CINTERFACE, COBJMACROS): each object is an
// implementation struct that holds its interface vtables and a reference count.
#pragma once

// windows.h comes first.
// clang-format off
#include <windows.h>
#include <ole2.h>
#include <activscp.h>
// clang-format on

#include <string>
#include <vector>

// The Active Scripting interface identifiers, given here because not every
// SDK's uuid library defines them (mingw-w64's lacks the parse interfaces).
inline const IID kIID_IActiveScript = {
    0xbb1a2ae1, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
inline const IID kIID_IActiveScriptSite = {
    0xdb01a1e3, 0xa42b, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
inline const IID kIID_IActiveScriptSiteWindow = {
    0xd10f6761, 0x83e9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
#ifdef _WIN64
inline const IID kIID_IActiveScriptParse = {  // IActiveScriptParse64
    0xc7ef7658,
    0xe1ee,
    0x480e,
    {0x97, 0xea, 0xd5, 0x2c, 0xb4, 0xd7, 0x6d, 0x17}};
#else
inline const IID kIID_IActiveScriptParse = {  // IActiveScriptParse32
    0xbb1a2ae2,
    0xa4f9,
    0x11cf,
    {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
#endif

// The state of one script run, shared by the site, the WScript object and the
// driver. It lives on the main thread's stack for the whole run; every object
// that points at it is released before the run ends.
struct HostState {
  std::wstring scriptPath;      // as given on the command line
  std::wstring scriptFullPath;  // absolute
  std::vector<std::wstring> arguments;
  IActiveScript *engine = nullptr;  // not owned
  // Set by WScript.Quit and by a reported script error: the script is being
  // stopped and the process ends with exitCode.
  bool stopping = false;
  int exitCode = 0;
};

// Exit codes of the host itself (a script chooses its own with Quit).
constexpr int kExitScriptError = 1;
constexpr int kExitUsage = 2;

// Objects (each in its own file). All return S_OK and an object holding one
// reference, or an error.
HRESULT CreateScriptSite(HostState *host, IDispatch *wscript, IActiveScriptSite **site);
HRESULT CreateWScript(HostState *host, IDispatch **wscript);
HRESULT CreateArguments(HostState *host, IDispatch **arguments);
HRESULT CreateStringEnum(const std::vector<std::wstring> &items, IEnumVARIANT **enumerator);

// Console output (console.cpp): UTF-16 to the console, UTF-8 to a file or pipe.
// Each call writes its text at once, unbuffered.
void WriteStdout(const std::wstring &text);
void WriteStderr(const std::wstring &text);

// Script text (script_text.cpp): reads a file as UTF-16 (with a byte order
// mark), UTF-8 (with or without one) or else the ANSI code page. On failure
// returns false and a message in error.
bool ReadScriptText(const std::wstring &path, std::wstring &text, std::wstring &error);

// Helpers (host_util.cpp).
struct DispatchName {
  const wchar_t *name;
  DISPID id;
};
// Case-insensitive lookup of names[0]; the other names (named arguments) are
// not supported and get DISPID_UNKNOWN.
HRESULT LookupNames(const DispatchName *table, size_t count, LPOLESTR *names, UINT nameCount,
                    DISPID *ids);
// Argument i (0 = first as written in the script) of a call, or nullptr; a
// by-reference VARIANT is followed.
const VARIANT *DispatchArg(const DISPPARAMS *params, UINT i);
// Fills excepinfo (when given) with the description and code and returns
// DISP_E_EXCEPTION, so the engine raises a script error with that text.
HRESULT RaiseError(EXCEPINFO *excepinfo, HRESULT code, const std::wstring &description);
// Text of a value as Echo shows it.
HRESULT VariantToText(const VARIANT *value, std::wstring &text);
// The system's text for an error code (a Win32 error or an HRESULT), without
// the final period; empty when the system has none.
std::wstring SystemMessage(DWORD code);
// An HRESULT as 0xXXXXXXXX.
std::wstring hex32(HRESULT code);
