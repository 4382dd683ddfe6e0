// Receive dispatch: the one place where the component feeds its connections'
// receive assemblers and answers what they ask.
//
// Every chunk a connection reads reaches its own assembler here, from the
// reader (OnChunk, under the connection's lock) or from replay and tests
// (DispatchReceived, which takes that lock). FeedChunk (receive/feed.h) gives
// the assembler the codec flags, the multi-connection flag, the interactive
// reading flag and the key choice through the ReceiveHost members below,
// deciphers each block it returns with the key in force, hands it to the
// router, which splits and queues it for the owner thread, and applies what
// the assembler reported (the reading flag, the end of the fixed key).
#include "component/component_methods.h"

namespace corvane {

int32_t CComponentMethods::FeedAssembler(Connection& /*connection*/, CReceiveAssembler& assembler,
                                         int32_t length, const unsigned char* data) {
  try {
    return FeedChunk(assembler, *this, length, data);
  } catch (...) {
    return kResultFailed;
  }
}

// Reader thread of connection, its lock held (see ConnectionSink).
int32_t CComponentMethods::OnChunk(Connection& connection, CReceiveAssembler& assembler,
                                   int32_t length, const unsigned char* data) {
  if (m_bChunkObserved.load()) {
    std::shared_ptr<const ChunkObserver> observer;
    {
      std::lock_guard<std::mutex> lock(m_chunkObserverMutex);
      observer = m_chunkObserver;
    }
    if (observer) {
      try {
        (*observer)({&connection == &m_interactive, data, length, Compression(), Encryption(),
                     connection.Openings()});
      } catch (...) {
        // A failing observer must not change what the component receives.
      }
    }
  }
  return FeedAssembler(connection, assembler, length, data);
}

void CComponentMethods::SetChunkObserver(ChunkObserver observer) {
  std::shared_ptr<const ChunkObserver> next;
  if (observer) next = std::make_shared<const ChunkObserver>(std::move(observer));
  std::lock_guard<std::mutex> lock(m_chunkObserverMutex);
  m_bChunkObserved.store(next != nullptr);
  m_chunkObserver = std::move(next);
}

int32_t CComponentMethods::DispatchReceived(bool interactive, int32_t length,
                                            const unsigned char* data) {
  try {
    Connection& connection = Pick(interactive);
    return connection.WithAssembler([&](CReceiveAssembler& assembler) {
      return FeedAssembler(connection, assembler, length, data);
    });
  } catch (...) {
    return kResultFailed;
  }
}

void CComponentMethods::SetTunnelRequested(bool interactive, bool requested) {
  Pick(interactive).WithAssembler([requested](CReceiveAssembler& assembler) {
    assembler.SetTunnelRequested(requested);
  });
}

void CComponentMethods::ResetReceive(bool interactive) {
  Pick(interactive).WithAssembler([](CReceiveAssembler& assembler) { assembler.Reset(); });
}

void CComponentMethods::ResetAssemblers() {
  m_interactive.WithAssembler([](CReceiveAssembler& assembler) { assembler.Reset(); });
  m_bcast.WithAssembler([](CReceiveAssembler& assembler) { assembler.Reset(); });
}

// ReceiveHost: called by either assembler while it runs, on a reader thread
// (or the thread that called DispatchReceived), with that connection's lock
// held. They touch only atomics and the router's own lock.
bool CComponentMethods::Compression() const { return m_bCompression.load() != 0; }
bool CComponentMethods::Encryption() const { return m_bEncryption.load() != 0; }
bool CComponentMethods::MultiOC() const { return m_bMultiOC.load() != 0; }
bool CComponentMethods::InteractiveReading() const { return m_interactive.Reading(); }
void CComponentMethods::SetInteractiveReading() { m_interactive.SetReading(true); }
int CComponentMethods::SplitAndDeliver(std::string_view block) {
  return m_router.SplitAndDeliver(block);
}

}  // namespace corvane
