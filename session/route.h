// A connection's route to its server: directly, or through the user's HTTP
// proxy, with a CONNECT tunnel when the script gave proxy credentials.
//
// Before every attempt the user's proxy configuration is asked about the
// connection's own server, by the name the script gave (ChooseRoute): a
// configuration that cannot be read means a direct connection (proxy enable
// -1), no proxy for that server 0, otherwise 1 with the HTTP proxy's
// "host:port" split at its first ':' into address and port (the decimal
// value after it, 1 to 65535; "[v6]:port" for an IPv6 address; an "http://"
// in front is dropped). A per-protocol "ProxyServer" list gives its "http="
// entry, else its entry without a scheme; a list with nothing for HTTP (only
// "socks=", say), or a proxy of another kind (socks5://, https://), means no
// proxy: a direct connection, said in the trace. An automatic
// configuration's list ("PROXY a; PROXY b; DIRECT") is tried in order: each
// failed attempt of a connection moves it to the next entry; a list that
// names only other kinds of proxy fails the attempt, as does a proxy without
// a valid port: going directly is not what the configuration allows.
//
// Through a proxy with credentials the connection's first bytes are the
// CONNECT request for the server (send/http_request.h), with the
// Proxy-Authorization line; the attempt then reads the proxy's answer itself
// (AwaitTunnelAnswer), exactly its bytes, so not one byte the server sends
// after it is taken: status 200 is the tunnel; any other status (407 wrong
// credentials, 403 a filter, 502), a closed connection or no answer within
// the bound fails the attempt, with the status line in the debug trace. The
// body of a 407 on a connection the proxy keeps (Content-Length or chunked)
// is read and dropped, for the next round; no other body is waited for.
// Without credentials nothing is sent and the socket to the proxy is the
// connection.
//
// A 407 is answered when the proxy offers a scheme the component can speak
// (ChooseProxyAuth): Negotiate or NTLM with the user's own logon (unless the
// administrator turned integrated authentication off; the proxy is always
// one the configuration named, never a server the page chose), Basic with
// real credentials of the script. Script credentials that are both empty
// stand for "no password of the script's": the first CONNECT then carries no
// Proxy-Authorization line and only integrated authentication can open the
// tunnel. The next round goes on the same connection when the proxy keeps
// it, on a new one to the proxy otherwise; a proxy that closes the
// connection in the middle of a handshake (NTLM's rounds are bound to one
// connection) fails the attempt, as do a token the proxy rejects, no ticket
// or credentials, and rounds beyond kMaxAuthRounds. Tokens never reach the
// trace; the reason does.
//
// The credentials go to the proxy only: requests inside a tunnel reach the
// server and carry no authorization; only a request sent to the proxy itself
// (a route to the proxy without a tunnel) does. Each connection's requests
// follow that connection's own route.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/proxy_settings.h"
#include "platform/socket.h"
#include "receive/proxy_answer.h"

namespace corvane {

struct Route {
  int32_t proxyEnable = 0;  // 1 through the proxy, 0 direct, -1 settings unreadable
  std::string proxyHost;    // as configured, its dotted form once resolved
  int32_t proxyPort = 0;
  bool tunnelSent = false;  // the latest opening sent a CONNECT request
  // An automatic configuration's list (joined) and the entry in use; an
  // attempt under way that has not succeeded yet.
  std::string candidates;
  uint32_t candidate = 0;
  bool attemptOpen = false;
  // Why the configuration allows this attempt no route (for the trace); the
  // attempt then fails.
  std::string refusal;

  // Whether a request on this route carries the Proxy-Authorization line: it
  // goes to the proxy itself, not through a tunnel to the server.
  bool RequestsGoToProxy() const { return proxyEnable == 1 && !tunnelSent; }
};

// Asks source about serverName and sets route's proxy fields for a new
// attempt. previousFailed: the attempt before this one did not succeed (an
// automatic configuration's list then moves on).
void ChooseRoute(ProxySettingsSource* source, const std::string& serverName, bool previousFailed,
                 Route& route);

// The proxy's answer to one CONNECT request.
struct TunnelAnswer {
  enum class Outcome {
    Open,      // 200: the tunnel
    Refused,   // any other status; its body was read and dropped
    NoAnswer,  // a closed connection, no answer within the bound, cancelled
  };
  Outcome outcome = Outcome::NoAnswer;
  int status = -1;
  std::string statusLine;  // printable, bounded: for the trace
  std::vector<AuthChallenge> challenges;
  // The body was read to its end and the proxy keeps the connection: the
  // next round may go on it.
  bool reusable = false;
};

// Reads the proxy's answer to the CONNECT request just sent on socket, for at
// most waitMs; cancelled() is asked between reads (every 50 ms at most) and
// gives the wait up at once. Exactly the answer's bytes are taken (its body
// too, after a refusal), never one of the server's.
TunnelAnswer ReadTunnelAnswer(SocketHandle socket, int32_t waitMs,
                              const std::function<bool()>& cancelled);

}  // namespace corvane
