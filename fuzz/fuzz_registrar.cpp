// The registry script parser.
//
// A script that parses is written back out (every name and text quoted, "%"
// doubled, every value as "val", every key with a body) and must parse to the
// same tree; a script that does not parse must say why.
//
// Input: a byte choosing the character width (bit 0: pairs of bytes are UTF-16
// code units, else each byte is one character), then the script.
#include <string>
#include <vector>

#include "com/registry_script.h"
#include "fuzz/fuzz_support.h"

namespace {

using corvane::com::RegistryRoot;
using corvane::com::RegistryScriptKey;
using corvane::com::RegistryScriptTree;
using corvane::com::RegistryScriptValue;
using corvane::fuzz::InputReader;

const std::wstring kModulePath = L"C:\\Program Files\\corvane.dll";

void Quoted(const std::wstring& text, std::wstring& out) {
  out += L'\'';
  for (wchar_t c : text) {
    if (c == L'\'') out += L'\'';
    if (c == L'%') out += L'%';
    out += c;
  }
  out += L'\'';
}

void WriteKeys(const std::vector<RegistryScriptKey>& keys, std::wstring& out) {
  for (const RegistryScriptKey& key : keys) {
    if (key.mode == RegistryScriptKey::Mode::kNoRemove) out += L"NoRemove ";
    if (key.mode == RegistryScriptKey::Mode::kForceRemove) out += L"ForceRemove ";
    Quoted(key.name, out);
    out += L" {\n";
    for (const RegistryScriptValue& value : key.values) {
      out += L"val ";
      Quoted(value.name, out);
      if (value.type == corvane::com::kRegistryDword) {
        out += L" = d '" + std::to_wstring(value.number) + L"'\n";
      } else {
        out += L" = s ";
        Quoted(value.text, out);
        out += L'\n';
      }
    }
    WriteKeys(key.keys, out);
    out += L"}\n";
  }
}

std::wstring Write(const std::vector<RegistryScriptTree>& roots) {
  std::wstring out;
  for (const RegistryScriptTree& root : roots) {
    switch (root.root) {
      case RegistryRoot::kClassesRoot:
        out += L"HKCR";
        break;
      case RegistryRoot::kCurrentUser:
        out += L"HKEY_CURRENT_USER";
        break;
      case RegistryRoot::kLocalMachine:
        out += L"hklm";
        break;
      case RegistryRoot::kUsers:
        out += L"HKU";
        break;
    }
    out += L" {\n";
    WriteKeys(root.keys, out);
    out += L"}\n";
  }
  return out;
}

bool SameKeys(const std::vector<RegistryScriptKey>& a, const std::vector<RegistryScriptKey>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].mode != b[i].mode || a[i].name != b[i].name ||
        a[i].values.size() != b[i].values.size())
      return false;
    for (size_t j = 0; j < a[i].values.size(); ++j) {
      const RegistryScriptValue& x = a[i].values[j];
      const RegistryScriptValue& y = b[i].values[j];
      if (x.name != y.name || x.type != y.type || x.text != y.text || x.number != y.number)
        return false;
    }
    if (!SameKeys(a[i].keys, b[i].keys)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const bool wide = in.Bit();
  std::wstring script;
  while (!in.Empty()) {
    const wchar_t c = wide ? static_cast<wchar_t>(in.U16()) : static_cast<wchar_t>(in.Byte());
    script += c;
  }

  std::vector<RegistryScriptTree> roots;
  std::wstring error;
  if (!corvane::com::ParseRegistryScriptTree(script, kModulePath, roots, &error)) {
    FUZZ_CHECK(!error.empty() && roots.empty());
    return 0;
  }
  const std::wstring written = Write(roots);
  std::vector<RegistryScriptTree> again;
  FUZZ_CHECK(corvane::com::ParseRegistryScriptTree(written, kModulePath, again, &error));
  FUZZ_CHECK(again.size() == roots.size());
  for (size_t i = 0; i < roots.size(); ++i) {
    FUZZ_CHECK(again[i].root == roots[i].root);
    FUZZ_CHECK(SameKeys(again[i].keys, roots[i].keys));
  }
  return 0;
}
