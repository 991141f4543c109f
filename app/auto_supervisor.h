#pragma once
// What an automation object needs of the connection supervisor. The program
// hands TAutoEMI the running TEMIDM; tests hand it a fake, so the objects and
// the bus side can be tried without an engine.
//
// Every member may be called from any thread and returns quickly: none of
// them waits for the engine or the SMSC.
#include <cstdint>
#include <memory>
#include <string>

#include "app/jobs.h"

namespace qorvel {

// Traffic since the program started, as an SMS gateway's status page counts
// it: submits the SMSC accepted and those that failed (from the window and
// the bus), messages from mobiles, notifications, and submits waiting for
// the SMSC or its answer.
struct TTrafficCounts {
  int64_t Sent = 0;
  int64_t Failed = 0;
  int64_t Received = 0;
  int64_t Notifications = 0;
  int64_t Queued = 0;
};

class IAutoSupervisor {
 public:
  virtual ~IAutoSupervisor() = default;
  // Appends the object to the live list and asks for one connect.
  virtual void AddAutoObject(std::shared_ptr<IAutoObject> aObject) = 0;
  virtual void RemoveAutoObject(const IAutoObject* aObject) = 0;
  virtual void RequestActive(bool aActive) = 0;
  // The item's requester is completed exactly once, when the job has been
  // worked off or discarded.
  virtual void PostJob(std::string aName, std::unique_ptr<TSubmitItem> aItem) = 0;
  virtual bool EngineActive() const = 0;
  virtual std::string OwnAddress() const = 0;
  virtual TTrafficCounts Counts() const = 0;
  // The link's state in a few words ("Connected to KESTRA since 16:26").
  virtual std::string LinkState() const = 0;
};

}  // namespace qorvel
