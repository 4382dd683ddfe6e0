// Process-wide key texts of the receive side.
//
// A key text gives the two 8-byte keys of two-key triple DES. The fixed key is
// built in; the session key arrives in tag 394 of a logon response. Encrypted
// receive assembly uses the fixed key until the first encrypted assembler call
// of the process has ended, and the session key from then on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/wire.h"

namespace corvane {

inline constexpr std::string_view g_strFixedKey = wire::kFixedKey;

// 1 while the fixed key is in use; set to 0 once, never back to 1 (tests may).
extern std::atomic<int32_t> g_bUseFixedKey;

// The session key is written by logon interpretation on a reader thread and read
// by the assemblers of every component in the process; access is serialised.
std::string GetSessionKey();
void SetSessionKey(std::string key);

// The key the encrypted receive paths decrypt with right now.
std::string CurrentReceiveKey();

}  // namespace corvane
