// `corvane replay`: a captured server byte stream through one component.
//
// The component is set up as a page sets it up (setMultiOC first, then the
// codec flags, so the defaults are the reset values), optionally put in the
// proxy-enabled state with stored credentials, and its chosen connection's
// reading flag is set as the connection sequence sets it before a reader
// starts. The bytes are then fed as a reader thread feeds them: chunk by
// chunk, each after setting the connection's data-seen flag, through the
// decoding dispatch. Finally the mailbox is pumped and every event is written
// as a line ("authentication TEXT" or "data TEXT", TEXT escaped as
// EscapeEventText does), then "packets N".
#pragma once

#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

#include "delivery/event.h"
#include "tools/common/capture.h"

namespace corvane::tools {

struct ReplayOptions {
  bool compression = true;
  bool encryption = true;
  LinkId link = LinkId::Interactive;  // the connection the stream was read on
  std::vector<int> chunks{32768};     // sizes in order, the last one repeating; each 1..32768
  bool proxy = false;                 // proxy discovery found a proxy (proxy enable 1)
  bool proxyCredentials = false;      // proxy credentials stored
  bool multi = false;
};

// Returns the exit status (0), or 1 when the component cannot be made or the
// chunk sizes are out of range (a message then goes to `errors`).
int Replay(const ReplayOptions& options, std::string_view stream, std::ostream& out,
           std::ostream& errors);

// A capture (capture.h) through one component set up as the capture records
// (multi, proxy, credentials, the connections' reading flags): the chosen
// connections' reads in their recorded order, each with its recorded codec
// flags, the receive side starting afresh where a new connection began, then the events and
// "packets N" as Replay writes them. Returns 0, or 1 when the component cannot be made.
// which: the one connection whose reads are replayed; none for both.
int ReplayCapture(const Capture& capture, std::optional<LinkId> which, std::ostream& out,
                  std::ostream& errors);

}  // namespace corvane::tools
