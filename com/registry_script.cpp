// Registry script parser: a tokenizer and a recursive parser into a key tree.
#include "com/registry_script.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cwchar>
#include <cwctype>
#include <string_view>

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

// Compares as the system's ordinal comparison of zero-terminated texts does:
// a name ends at its first zero character.
bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
#ifdef _WIN32
  return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
#else
  const std::wstring_view text = std::wstring_view(a.c_str());
  const std::wstring_view word(b);
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::towupper(static_cast<wint_t>(text[i])) != std::towupper(static_cast<wint_t>(word[i])))
      return false;
  }
  return true;
#endif
}

bool RootKey(const std::wstring& name, RegistryRoot& root) {
  if (EqualsNoCase(name, L"HKCR") || EqualsNoCase(name, L"HKEY_CLASSES_ROOT")) {
    root = RegistryRoot::kClassesRoot;
  } else if (EqualsNoCase(name, L"HKCU") || EqualsNoCase(name, L"HKEY_CURRENT_USER")) {
    root = RegistryRoot::kCurrentUser;
  } else if (EqualsNoCase(name, L"HKLM") || EqualsNoCase(name, L"HKEY_LOCAL_MACHINE")) {
    root = RegistryRoot::kLocalMachine;
  } else if (EqualsNoCase(name, L"HKU") || EqualsNoCase(name, L"HKEY_USERS")) {
    root = RegistryRoot::kUsers;
  } else {
    return false;
  }
  return true;
}

class Parser {
 public:
  Parser(const std::wstring& script, const std::wstring& modulePath)
      : m_tokenizer(script), m_modulePath(modulePath) {}

  bool Parse(std::vector<RegistryScriptTree>& roots) {
    if (!Advance()) return false;
    while (m_token.kind != Token::Kind::kEnd) {
      if (m_token.kind != Token::Kind::kWord) return Fail(L"a root key expected");
      RegistryScriptTree root;
      if (!RootKey(m_token.text, root.root)) return Fail(L"unknown root key " + m_token.text);
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
      value.type = kRegistryString;
      value.text = text;
    } else if (EqualsNoCase(type, L"d")) {
      value.type = kRegistryDword;
      wchar_t* end = nullptr;
      value.number = static_cast<uint32_t>(std::wcstoul(text.c_str(), &end, 0));
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

}  // namespace

bool ParseRegistryScriptTree(const std::wstring& script, const std::wstring& modulePath,
                             std::vector<RegistryScriptTree>& roots, std::wstring* error) {
  Parser parser(script, modulePath);
  std::vector<RegistryScriptTree> parsed;
  if (!parser.Parse(parsed)) {
    if (error != nullptr) *error = parser.Error();
    return false;
  }
  roots = std::move(parsed);
  return true;
}

}  // namespace corvane::com
