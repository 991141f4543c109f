#pragma once
// What an automation object needs of the connection supervisor. The program
// hands TAutoEMI the running TEMIDM; tests hand it a fake, so the objects and
// the bus side can be tried without an engine.
//
// Every member may be called from any thread and returns quickly: none of
// them waits for the engine or the SMSC.
#include <memory>
#include <string>

#include "app/jobs.h"

namespace qorvel {

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
};

}  // namespace qorvel
