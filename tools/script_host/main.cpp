// corvane-script.exe FILE [ARG...]: runs a JScript (.js) or VBScript (.vbs)
// file with the script engine installed on the system.
//
// The main thread is an apartment-threaded COM thread, so objects the script
// creates live here and may post messages to hidden windows on it (WScript.Sleep
// dispatches them). The engine is made from its ProgID, given the site and the
// named item "WScript", started, and then runs the file's text inside
// ParseScriptText. The exit code is the one given to WScript.Quit, 1 after a
// script error, 2 when the host cannot run the file at all, and 0 otherwise.

// clang-format off
#include "host.h"
#include <shellapi.h>
// clang-format on

namespace {

std::wstring ExtensionOf(const std::wstring &path) {
  size_t dot = path.find_last_of(L'.');
  size_t slash = path.find_last_of(L"\\/:");
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return L"";
  return path.substr(dot);
}

bool SameText(const std::wstring &a, const wchar_t *b) {
  return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

int fail(const std::wstring &message, int code) {
  WriteStderr(L"corvane-script: " + message + L"\r\n");
  return code;
}

// Runs the text in a new engine of the given ProgID; returns the exit code.
int RunScript(HostState &host, const wchar_t *language, const std::wstring &text) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(language, &clsid);
  if (FAILED(hr))
    return fail(std::wstring(L"the ") + language + L" engine is not installed (" + hex32(hr) + L")",
                kExitUsage);
  IActiveScript *engine = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIID_IActiveScript,
                        reinterpret_cast<void **>(&engine));
  if (FAILED(hr))
    return fail(std::wstring(L"cannot create the ") + language + L" engine (" + hex32(hr) + L")",
                kExitUsage);
  IActiveScriptParse *parse = nullptr;
  hr = IActiveScript_QueryInterface(engine, kIID_IActiveScriptParse,
                                    reinterpret_cast<void **>(&parse));
  if (FAILED(hr)) {
    IActiveScript_Release(engine);
    return fail(
        std::wstring(L"the ") + language + L" engine cannot parse text (" + hex32(hr) + L")",
        kExitUsage);
  }

  IDispatch *wscript = nullptr;
  IActiveScriptSite *site = nullptr;
  hr = CreateWScript(&host, &wscript);
  if (SUCCEEDED(hr)) hr = CreateScriptSite(&host, wscript, &site);
  host.engine = engine;
  const wchar_t *step = L"SetScriptSite";
  if (SUCCEEDED(hr)) hr = IActiveScript_SetScriptSite(engine, site);
  if (SUCCEEDED(hr)) {
    step = L"InitNew";
    hr = parse->lpVtbl->InitNew(parse);
  }
  if (SUCCEEDED(hr)) {
    step = L"AddNamedItem";
    hr = IActiveScript_AddNamedItem(engine, L"WScript", SCRIPTITEM_ISVISIBLE);
  }
  if (SUCCEEDED(hr)) {
    step = L"SetScriptState";
    hr = IActiveScript_SetScriptState(engine, SCRIPTSTATE_STARTED);
  }
  int exitCode = 0;
  if (FAILED(hr)) {
    exitCode =
        fail(std::wstring(L"cannot start the engine: ") + step + L" failed (" + hex32(hr) + L")",
             kExitUsage);
  } else {
    // The engine is started, so the text runs now, inside this call.
    EXCEPINFO info;
    ZeroMemory(&info, sizeof(info));
    hr = parse->lpVtbl->ParseScriptText(parse, text.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                        SCRIPTTEXT_ISVISIBLE, nullptr, &info);
    if (host.stopping) {
      exitCode = host.exitCode;
    } else if (FAILED(hr)) {
      // A failure the engine did not report through the site.
      std::wstring what = info.bstrDescription ? info.bstrDescription : L"the script failed";
      exitCode = fail(host.scriptPath + L": " + what + L" (" + hex32(hr) + L")", kExitScriptError);
    }
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }

  IActiveScript_Close(engine);
  host.engine = nullptr;
  parse->lpVtbl->Release(parse);
  IActiveScript_Release(engine);
  if (site) IActiveScriptSite_Release(site);
  if (wscript) IDispatch_Release(wscript);
  return exitCode;
}

int run(int argc, wchar_t **argv) {
  if (argc < 2)
    return fail(
        L"usage: corvane-script FILE [ARG...]\r\n"
        L"  Runs a JScript (.js) or VBScript (.vbs) file; the script sees the ARGs as "
        L"WScript.Arguments.",
        kExitUsage);
  HostState host;
  host.scriptPath = argv[1];
  for (int i = 2; i < argc; i++) host.arguments.emplace_back(argv[i]);

  const wchar_t *language = nullptr;
  std::wstring extension = ExtensionOf(host.scriptPath);
  if (SameText(extension, L".js"))
    language = L"JScript";
  else if (SameText(extension, L".vbs"))
    language = L"VBScript";
  else
    return fail(host.scriptPath + L": unknown script type (use .js or .vbs)", kExitUsage);

  DWORD length = GetFullPathNameW(host.scriptPath.c_str(), 0, nullptr, nullptr);
  if (length > 0) {
    host.scriptFullPath.resize(length);
    length = GetFullPathNameW(host.scriptPath.c_str(), length, host.scriptFullPath.data(), nullptr);
    host.scriptFullPath.resize(length);
  }
  if (host.scriptFullPath.empty()) host.scriptFullPath = host.scriptPath;

  std::wstring text, error;
  if (!ReadScriptText(host.scriptPath, text, error))
    return fail(L"cannot read " + host.scriptPath + L": " + error, kExitUsage);

  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return fail(L"CoInitializeEx failed (" + hex32(hr) + L")", kExitUsage);
  int exitCode = RunScript(host, language, text);
  CoUninitialize();
  return exitCode;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return fail(L"cannot read the command line", kExitUsage);
  int exitCode = run(argc, argv);
  LocalFree(argv);
  return exitCode;
}
