// Registry script interpreter: a tokenizer, a recursive parser into a key
// tree, and the two walks over that tree (register, unregister).
#include "com/registrar.h"

#include <cwctype>

namespace corvane::com {
namespace {

struct Token {
  enum class Kind { kEnd, kWord, kQuoted, kOpen, kClose, kEquals };
  Kind kind = Kind::kEnd;
  std::wstring text;
};

bool IsGuidChar(wchar_t c) { return std::iswxdigit(c) != 0 || c == L'-'; }

class Tokenizer {
 public:
  explicit Tokenizer(const std::wstring& text) : m_text(text) {}

  // False on an unterminated quote.
  bool Next(Token& token) {
    while (m_pos < m_text.size() && std::iswspace(m_text[m_pos])) ++m_pos;
    token = Token();
    if (m_pos >= m_text.size()) return true;
    const wchar_t c = m_text[m_pos];
    if (c == L'\'') {
      ++m_pos;
      for (;;) {
        if (m_pos >= m_text.size()) return false;
        if (m_text[m_pos] == L'\'') {
          if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == L'\'') {
            token.text += L'\'';
            m_pos += 2;
            continue;
          }
          ++m_pos;
          break;
        }
        token.text += m_text[m_pos++];
      }
      token.kind = Token::Kind::kQuoted;
      return true;
    }
    if (c == L'{' && !IsBareGuid()) {
      ++m_pos;
      token.kind = Token::Kind::kOpen;
      return true;
    }
    if (c == L'}') {
      ++m_pos;
      token.kind = Token::Kind::kClose;
      return true;
    }
    if (c == L'=') {
      ++m_pos;
      token.kind = Token::Kind::kEquals;
      return true;
    }
    token.kind = Token::Kind::kWord;
    if (c == L'{') {
      // {GUID}: the braces belong to the word.
      const size_t end = m_text.find(L'}', m_pos);
      token.text = m_text.substr(m_pos, end + 1 - m_pos);
      m_pos = end + 1;
      return true;
    }
    while (m_pos < m_text.size() && !std::iswspace(m_text[m_pos]) && m_text[m_pos] != L'{' &&
           m_text[m_pos] != L'}' && m_text[m_pos] != L'=' && m_text[m_pos] != L'\'')
      token.text += m_text[m_pos++];
    return true;
  }

 private:
  // A '{' that starts a GUID word: hex digits and dashes up to a '}'.
  bool IsBareGuid() const {
    size_t i = m_pos + 1;
    while (i < m_text.size() && IsGuidChar(m_text[i])) ++i;
    return i > m_pos + 1 && i < m_text.size() && m_text[i] == L'}';
  }

  const std::wstring& m_text;
  size_t m_pos = 0;
};

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
  return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

HKEY RootKey(const std::wstring& name) {
  if (EqualsNoCase(name, L"HKCR") || EqualsNoCase(name, L"HKEY_CLASSES_ROOT"))
    return HKEY_CLASSES_ROOT;
  if (EqualsNoCase(name, L"HKCU") || EqualsNoCase(name, L"HKEY_CURRENT_USER"))
    return HKEY_CURRENT_USER;
  if (EqualsNoCase(name, L"HKLM") || EqualsNoCase(name, L"HKEY_LOCAL_MACHINE"))
    return HKEY_LOCAL_MACHINE;
  if (EqualsNoCase(name, L"HKU") || EqualsNoCase(name, L"HKEY_USERS")) return HKEY_USERS;
  return nullptr;
}

class Parser {
 public:
  Parser(const std::wstring& script, const std::wstring& modulePath)
      : m_tokenizer(script), m_modulePath(modulePath) {}

  bool Parse(std::vector<RegistryScriptRoot>& roots) {
    if (!Advance()) return false;
    while (m_token.kind != Token::Kind::kEnd) {
      if (m_token.kind != Token::Kind::kWord) return Fail(L"a root key expected");
      RegistryScriptRoot root;
      root.root = RootKey(m_token.text);
      if (root.root == nullptr) return Fail(L"unknown root key " + m_token.text);
      if (!Advance()) return false;
      if (m_token.kind != Token::Kind::kOpen) return Fail(L"'{' expected after the root key");
      if (!Advance() || !ParseBody(root.keys, nullptr)) return false;
      roots.push_back(std::move(root));
    }
    return true;
  }

  const std::wstring& Error() const { return m_error; }

 private:
  bool Advance() {
    if (!m_tokenizer.Next(m_token)) return Fail(L"unterminated quoted text");
    return true;
  }

  bool Fail(const std::wstring& message) {
    if (m_error.empty()) m_error = message;
    return false;
  }

  bool IsName() const {
    return m_token.kind == Token::Kind::kWord || m_token.kind == Token::Kind::kQuoted;
  }

  // Replaces %MODULE% and %%; other %NAME% variables are errors.
  bool Substitute(const std::wstring& in, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
      if (in[i] != L'%') {
        out += in[i];
        continue;
      }
      const size_t end = in.find(L'%', i + 1);
      if (end == std::wstring::npos) return Fail(L"unterminated variable in " + in);
      const std::wstring name = in.substr(i + 1, end - i - 1);
      if (name.empty()) {
        out += L'%';
      } else if (EqualsNoCase(name, L"MODULE")) {
        out += m_modulePath;
      } else {
        return Fail(L"unknown variable %" + name + L"%");
      }
      i = end;
    }
    return true;
  }

  // After '=': s 'text' or d number.
  bool ParseValue(RegistryScriptValue& value) {
    if (!Advance()) return false;
    if (m_token.kind != Token::Kind::kWord) return Fail(L"value type expected");
    const std::wstring type = m_token.text;
    if (!Advance()) return false;
    if (!IsName()) return Fail(L"value expected");
    std::wstring text;
    if (!Substitute(m_token.text, text)) return false;
    if (EqualsNoCase(type, L"s")) {
      value.type = REG_SZ;
      value.text = text;
    } else if (EqualsNoCase(type, L"d")) {
      value.type = REG_DWORD;
      wchar_t* end = nullptr;
      value.number = static_cast<DWORD>(std::wcstoul(text.c_str(), &end, 0));
      if (text.empty() || *end != L'\0') return Fail(L"bad number " + text);
    } else {
      return Fail(L"unsupported value type " + type);
    }
    return Advance();
  }

  // Keys and values up to the closing brace, which is consumed. Values are
  // allowed only inside a key (owner not null).
  bool ParseBody(std::vector<RegistryScriptKey>& keys, RegistryScriptKey* owner) {
    for (;;) {
      if (m_token.kind == Token::Kind::kClose) return Advance();
      if (m_token.kind == Token::Kind::kEnd) return Fail(L"'}' missing");
      if (!IsName()) return Fail(L"key name expected");
      if (m_token.kind == Token::Kind::kWord && EqualsNoCase(m_token.text, L"val")) {
        if (owner == nullptr) return Fail(L"a value outside a key");
        RegistryScriptValue value;
        if (!Advance()) return false;
        if (!IsName()) return Fail(L"value name expected");
        if (!Substitute(m_token.text, value.name)) return false;
        if (!Advance()) return false;
        if (m_token.kind != Token::Kind::kEquals) return Fail(L"'=' expected after val name");
        if (!ParseValue(value)) return false;
        owner->values.push_back(std::move(value));
        continue;
      }
      RegistryScriptKey key;
      if (m_token.kind == Token::Kind::kWord && EqualsNoCase(m_token.text, L"NoRemove")) {
        key.mode = RegistryScriptKey::Mode::kNoRemove;
        if (!Advance()) return false;
      } else if (m_token.kind == Token::Kind::kWord && EqualsNoCase(m_token.text, L"ForceRemove")) {
        key.mode = RegistryScriptKey::Mode::kForceRemove;
        if (!Advance()) return false;
      }
      if (!IsName()) return Fail(L"key name expected");
      if (!Substitute(m_token.text, key.name)) return false;
      if (key.name.empty()) return Fail(L"empty key name");
      if (!Advance()) return false;
      if (m_token.kind == Token::Kind::kEquals) {
        RegistryScriptValue value;
        if (!ParseValue(value)) return false;
        key.values.push_back(std::move(value));
      }
      if (m_token.kind == Token::Kind::kOpen) {
        if (!Advance() || !ParseBody(key.keys, &key)) return false;
      }
      keys.push_back(std::move(key));
    }
  }

  Tokenizer m_tokenizer;
  const std::wstring& m_modulePath;
  Token m_token;
  std::wstring m_error;
};

HRESULT FromStatus(LONG status) {
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT SetValue(HKEY key, const RegistryScriptValue& value) {
  const wchar_t* name = value.name.empty() ? nullptr : value.name.c_str();
  if (value.type == REG_DWORD)
    return FromStatus(RegSetValueExW(key, name, 0, REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&value.number),
                                     sizeof value.number));
  const DWORD bytes = static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
  return FromStatus(RegSetValueExW(key, name, 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(value.text.c_str()), bytes));
}

HRESULT DeleteTree(HKEY parent, const std::wstring& name) {
  const LONG status = RegDeleteTreeW(parent, name.c_str());
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
  const LONG gone = RegDeleteKeyW(parent, name.c_str());
  return gone == ERROR_SUCCESS || gone == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(gone);
}

HRESULT RegisterKeys(HKEY parent, const std::vector<RegistryScriptKey>& keys) {
  for (const RegistryScriptKey& key : keys) {
    if (key.mode == RegistryScriptKey::Mode::kForceRemove) {
      const HRESULT hr = DeleteTree(parent, key.name);
      if (FAILED(hr)) return hr;
    }
    HKEY handle = nullptr;
    const LONG status = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, 0,
                                        KEY_READ | KEY_WRITE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    HRESULT hr = S_OK;
    for (const RegistryScriptValue& value : key.values) {
      hr = SetValue(handle, value);
      if (FAILED(hr)) break;
    }
    if (SUCCEEDED(hr)) hr = RegisterKeys(handle, key.keys);
    RegCloseKey(handle);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnregisterKeys(HKEY parent, const std::vector<RegistryScriptKey>& keys) {
  HRESULT result = S_OK;
  for (const RegistryScriptKey& key : keys) {
    HRESULT hr = S_OK;
    if (key.mode == RegistryScriptKey::Mode::kNoRemove) {
      HKEY handle = nullptr;
      const LONG status = RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, &handle);
      if (status == ERROR_FILE_NOT_FOUND) continue;
      if (status != ERROR_SUCCESS) {
        hr = HRESULT_FROM_WIN32(status);
      } else {
        hr = UnregisterKeys(handle, key.keys);
        RegCloseKey(handle);
      }
    } else {
      hr = DeleteTree(parent, key.name);
    }
    // Go on with the other keys; report the first failure.
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

}  // namespace

bool ParseRegistryScript(const std::wstring& script, const std::wstring& modulePath,
                         std::vector<RegistryScriptRoot>& roots, std::wstring* error) {
  Parser parser(script, modulePath);
  std::vector<RegistryScriptRoot> parsed;
  if (!parser.Parse(parsed)) {
    if (error != nullptr) *error = parser.Error();
    return false;
  }
  roots = std::move(parsed);
  return true;
}

HRESULT ApplyRegistryScript(const std::vector<RegistryScriptRoot>& roots, RegistryAction action) {
  for (const RegistryScriptRoot& root : roots) {
    const HRESULT hr = action == RegistryAction::kRegister ? RegisterKeys(root.root, root.keys)
                                                           : UnregisterKeys(root.root, root.keys);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT RunRegistryScriptText(const std::string& script, const std::wstring& modulePath,
                              RegistryAction action) {
  try {
    std::wstring wide;
    if (!script.empty()) {
      const int length = MultiByteToWideChar(CP_ACP, 0, script.data(),
                                             static_cast<int>(script.size()), nullptr, 0);
      if (length <= 0) return HRESULT_FROM_WIN32(GetLastError());
      wide.resize(static_cast<size_t>(length));
      MultiByteToWideChar(CP_ACP, 0, script.data(), static_cast<int>(script.size()), wide.data(),
                          length);
    }
    std::vector<RegistryScriptRoot> roots;
    if (!ParseRegistryScript(wide, modulePath, roots, nullptr))
      return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    return ApplyRegistryScript(roots, action);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT RunRegistryScript(HINSTANCE module, int resourceId, const std::wstring& modulePath,
                          RegistryAction action) {
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
  if (info == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL loaded = LoadResource(module, info);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  const DWORD size = SizeofResource(module, info);
  try {
    const std::string script(static_cast<const char*>(data), size);
    // A script resource may carry a terminating zero.
    return RunRegistryScriptText(script.substr(0, script.find('\0')), modulePath, action);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace corvane::com
