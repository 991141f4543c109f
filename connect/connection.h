#pragma once
// The switchable component: one Active state, an open and a close step that a
// concrete class supplies, and the four notifications around them.
//
// Opening and closing happen on the main thread (a logger may also open and
// close itself under its own lock, see TLogger). Active may be read from any
// thread. TConnection holds no lock.
#include <atomic>
#include <functional>

#include "connect/component.h"

namespace qorvel {

class TConnection;
using TConnectionNotifyEvent = std::function<void(TConnection* DataSet)>;

class TConnection : public TComponent {
 public:
  explicit TConnection(TComponent* aOwner = nullptr);
  // A concrete class must call CloseForDestruction() at the start of its own
  // destructor: by the time this one runs, its DoClose is gone. If that was
  // forgotten, the connection is only marked closed here.
  ~TConnection() override;

  bool Active() const { return active_.load(); }
  // While loading, true is remembered and applied once loading completes.
  // Open failures reach the caller after DoClose has cleaned up. A call made
  // while an open or close of this connection is under way (from one of its
  // events, or from hand-over work that its close runs) does nothing.
  //
  // Closing a connection that is not active abandons an open that a
  // descendant's asynchronous form has begun and not yet finished.
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool StreamedActive() const { return streamedActive_; }

  // EConnectError "Connection is inactive" when closed.
  void CheckActive() const;
  // EConnectError "Connection is active" when open; setters of properties that
  // must not change while open call it before storing.
  void CheckInactive() const;

  TConnectionNotifyEvent BeforeOpen;
  TConnectionNotifyEvent BeforeClose;
  TConnectionNotifyEvent AfterOpen;
  TConnectionNotifyEvent AfterClose;

 protected:
  // Acquires the resource; may throw.
  virtual void DoOpen() = 0;
  // Releases the resource; must cope with a failed or partial DoOpen.
  virtual void DoClose() = 0;
  virtual void DoBeforeOpen();
  virtual void DoBeforeClose();
  virtual void DoAfterOpen();
  virtual void DoAfterClose();

  void Loaded() override;

  // Marks the component as destroying and closes it without the close events.
  // A failing DoClose cannot be reported from a destructor and is dropped.
  void CloseForDestruction() noexcept;

  // For a descendant that has released its resource itself and must not
  // announce it: marks the connection closed without DoClose or the events.
  void MarkClosed() { active_ = false; }
  // For a descendant whose asynchronous open has acquired the resource: marks
  // the connection open; the descendant raises the after-open event itself.
  void MarkOpened() { active_ = true; }
  // Abandons an asynchronous open under way; nothing when there is none.
  // Runs on the main thread from Close() of a connection that is not active.
  virtual void DoCancelOpen() {}

 private:
  std::atomic<bool> active_{false};
  std::atomic<bool> switching_{false};
  bool streamedActive_ = false;
};

}  // namespace qorvel
