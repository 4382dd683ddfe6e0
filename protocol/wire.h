// The bytes both ends agree on: message separators, response and frame
// framing, the fixed key, the fixed header lines of the requests and the logon
// response's tags, codes and status texts.
//
// This is the lowest layer of the tree: the component (send/, receive/,
// delivery/, connection/), the sandbox back end (tools/common/) and the tests
// take these values from here, so a changed byte changes on every side at
// once. Tests that check exact wire bytes keep their own literals: those are
// the expectation, not a helper.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace corvane::wire {

// ---- Messages ----

// Introduces every message of a block and of a request's path.
inline constexpr char kStx = '\x02';

// ---- Responses ----

// The server's own response: its status line, the header that gives the body
// length (the value starts one character after the colon) and the header end.
inline constexpr std::string_view kStatusOk = "HTTP/1.1 200 OK";
inline constexpr std::string_view kContentLength = "Content-Length:";
inline constexpr std::string_view kCrLf = "\r\n";
inline constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// ---- Frames ----
//
// A coded body or frame is a marker byte, five decimal digits that give the
// payload length, then the payload: 0x05 zlib, 0x06 zlib or ciphertext under
// the fixed key, 0x07 the same under the session key.
inline constexpr unsigned char kMarkerZlib = 0x05;
inline constexpr unsigned char kMarkerFixedKey = 0x06;
inline constexpr unsigned char kMarkerSessionKey = 0x07;
inline constexpr size_t kFrameLengthDigits = 5;
inline constexpr size_t kFramePrefix = 1 + kFrameLengthDigits;
inline constexpr size_t kMaxFramePayload = 99999;

// ---- Keys ----

// The fixed key text, built into both ends. The receiver deciphers with it
// until its first encrypted assembler call of the process has ended, with the
// session key (tag 394 of the logon response) from then on.
inline constexpr std::string_view kFixedKey = "7391046285730164";

// ---- Requests ----
//
// Both requests the component sends (the GET that carries a message and the
// CONNECT that opens a proxy tunnel) have the same header block, one Accept
// line apart; every line ends in CR LF.
inline constexpr std::string_view kHttpVersionLine = " HTTP/1.1\r\n";
inline constexpr std::string_view kGetStart = "Get http://";
inline constexpr std::string_view kConnectStart = "CONNECT ";
inline constexpr std::string_view kGetAccept = "Accept: /*\r\n";
inline constexpr std::string_view kConnectAccept = "Accept: */*\r\n";
inline constexpr std::string_view kCommonHeaders =
    "Accept-Language: en-us\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR 1.0.3705)\r\n";
inline constexpr std::string_view kProxyAuthorization = "Proxy-Authorization: Basic ";
// The same header for another scheme: the name, then "<scheme> <token>".
inline constexpr std::string_view kProxyAuthorizationName = "Proxy-Authorization: ";
inline constexpr std::string_view kHost = "Host: ";
inline constexpr std::string_view kKeepAlive = "Connection: Keep-Alive\r\n";

// ---- Logon responses ----

// Tags: the response code, the days until the password and the account
// expire, the server's own text (for code 10010) and the session key.
inline constexpr std::string_view kTagCode = "70";
inline constexpr std::string_view kTagPasswordDays = "97";
inline constexpr std::string_view kTagAccountDays = "997";
inline constexpr std::string_view kTagServerText = "19";
inline constexpr std::string_view kTagSessionKey = "394";

// The codes that log on; each has its own status text.
inline constexpr std::string_view kLogonSuccess = "10000";
inline constexpr std::string_view kLogonPasswordChanged = "10006";
inline constexpr std::string_view kLogonPasswordExpires = "10004";
inline constexpr std::string_view kLogonBothExpire = "10019";
inline constexpr std::string_view kLogonAccountExpires = "10020";
inline constexpr std::array<std::string_view, 5> kLogonSuccessCodes{
    kLogonSuccess, kLogonPasswordChanged, kLogonPasswordExpires, kLogonBothExpire,
    kLogonAccountExpires};

inline constexpr bool IsLogonSuccess(std::string_view code) {
  for (std::string_view success : kLogonSuccessCodes) {
    if (code == success) return true;
  }
  return false;
}

// The failure code whose status text is the server's own (tag 19).
inline constexpr std::string_view kLogonServerText = "10010";

struct LogonStatusText {
  std::string_view code;
  std::string_view text;
};

// Failure codes with their status texts, in the order they are tested. An
// unknown code keeps the status text of the response before it.
inline constexpr std::array<LogonStatusText, 19> kLogonFailureTexts{{
    {"10001", "Incorrect Client ID/Password"},
    {"10002", "Incorrect Client ID/Password"},
    {"10003", "Account is disabled. Contact Admin"},
    {"10005", "Invalid password. Account is disabled. Contact Admin"},
    {"10007", "Your password expired, Please change the password"},
    {"10008", "User Already Logged In"},
    {"10009", "Password validation Failed"},
    {kLogonServerText, ""},
    {"10013", "New Password cannot be same as previous passwords"},
    {"10015", "Invalid Purge value in Logon Request"},
    {"10016", "User suspended"},
    {"10017", "User deleted"},
    {"10018", "Account disabled due to lapse of account expiry date"},
    {"10022", "Access Denied"},
    {"10011", "Invalid Connection Type"},
    {"10024", " OMS Server is not up."},
    {"10025", "Orvex login not allowed for user"},
    {"10026", "Orvex Lite login not allowed for user"},
    {"10027", "Palko login not allowed for user"},
}};

}  // namespace corvane::wire
