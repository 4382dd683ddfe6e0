// Session: everything one component owns behind its script face.
//
// A settings value, the keys, the router with its event queue and the
// delivery to the owner thread (SessionCore, Delivery), the keep-alive worker,
// and two links: the interactive connection (logon and requests) and the
// broadcast connection (the feed), each with its own endpoint, route,
// connection, receive pipeline and reconnection worker (link.h). Nothing of
// it is shared with another session: two components in one process (two
// pages of one browser, two pages of one bridge) never see each other's keys,
// routes or events.
//
// The sequences here run on the owner thread, inside the script's calls:
// SetServerDetails and setOCDetails connect both links (ConnectBoth);
// sendRequest sends on the interactive link and, when that fails, reports the
// drop and connects it again. Every event they fire is fired at once, after
// the events readers and workers queued before (Delivery::CatchUp). A call
// takes only the links it uses from their workers (HoldLinks, or a link's
// own Reconnector::OwnerScope): a request never waits for the broadcast
// link's network.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "connection/keep_alive.h"
#include "session/core.h"
#include "session/delivery.h"
#include "session/link.h"

namespace corvane {

struct SessionSnapshot {
  std::shared_ptr<const Settings> settings;
  std::array<LinkSnapshot, 2> links;
  bool loggedOn = false;
  int32_t requestCount = 0;
  const LinkSnapshot& Of(LinkId id) const { return links[Index(id)]; }
};

class Session {
 public:
  explicit Session(EventSink& sink);
  // Ends the workers and readers and closes the connections before anything
  // they use goes.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Makes the owner thread's mailbox on the calling thread (Delivery::Open).
  int32_t OpenMailbox() { return m_delivery.Open(); }

  SessionCore& Core() { return m_core; }
  Delivery& Events() { return m_delivery; }
  Link& GetLink(LinkId id) { return m_links[Index(id)]; }
  Link& Interactive() { return GetLink(LinkId::Interactive); }
  std::shared_ptr<const Settings> CurrentSettings() const { return m_core.settings.Get(); }

  // Both links taken from their workers for as long as it lives (owner
  // thread): for the calls that set endpoints and connect both.
  class HoldLinks {
   public:
    explicit HoldLinks(Session& s)
        : m_interactive(s.GetLink(LinkId::Interactive).Worker()),
          m_broadcast(s.GetLink(LinkId::Broadcast).Worker()) {}

   private:
    Reconnector::OwnerScope m_interactive;
    Reconnector::OwnerScope m_broadcast;
  };

  // ---- Owner-thread sequences ----
  // The reset of every setting but the endpoints' names, the proxy user and
  // the callbacks; the readers end (the sockets stay open). multiOC is the
  // broadcast connection's flag from now on.
  void Reset(bool multiOC);
  // The interactive sequence, then the broadcast one when the broadcast
  // connection is used. The caller holds both links (HoldLinks).
  void ConnectBoth();
  // One interactive attempt without a tunnel request (the script sends it
  // itself): 0 or -1; 0 without connecting when a broadcast port is set.
  int32_t ConnectToServer();
  // Sends one request on the interactive link: 0, -3 (not sent; the drop is
  // reported and the link connected again before this returns) or -1.
  int32_t SendRequest(std::string_view message);
  // The CONNECT request on the interactive link: 0, or -3.
  int32_t SendConnect();
  // One read of the interactive socket by the script (ReceiveData).
  int ReceiveOnce(std::string& text, int& error);
  // Starts the keep-alive worker when the interactive link is read: 0, or
  // -1 when it cannot be started.
  int32_t StartKeepAlive();

  int32_t RequestCount() const { return m_requestCount.load(); }
  void CountRequest() { m_requestCount.fetch_add(1); }
  int32_t PacketCount() const;

  SessionSnapshot Snapshot() const;

 private:
  // A link's own sequence: attempts as its role says, each reported at once.
  void RunOwnerSequence(Link& link);
  void Fire(EventKind kind, LinkId link, std::string_view text);
  void CatchUp();

  SessionCore m_core;
  Delivery m_delivery;
  KeepAliveWorker m_keepAlive;
  std::atomic<int32_t> m_requestCount{0};
  // Last: their readers and workers end before the parts above go.
  std::array<Link, 2> m_links;
};

}  // namespace corvane
