#pragma once
// The running supervisor as automation objects see it.
//
// The program creates the link after EMIDM and starts the automation server
// only then, so an object can never be created before the supervisor's list
// exists; it stops the server before EMIDM goes.
#include "app/emidm.h"
#include "automation/auto_supervisor.h"

namespace qorvel {

class TEMIDMLink final : public IAutoSupervisor {
 public:
  explicit TEMIDMLink(TEMIDM& aSupervisor) : supervisor_(aSupervisor) {}
  void AddAutoObject(std::shared_ptr<IAutoObject> aObject) override {
    supervisor_.AddAutoObject(std::move(aObject));
  }
  void RemoveAutoObject(const IAutoObject* aObject) override {
    supervisor_.RemoveAutoObject(aObject);
  }
  void RequestActive(bool aActive) override { supervisor_.RequestActive(aActive); }
  void PostJob(std::string aName, std::unique_ptr<TSubmitItem> aItem) override {
    supervisor_.PostJob(std::move(aName), std::move(aItem));
  }
  bool EngineActive() const override { return supervisor_.EngineActive(); }
  std::string OwnAddress() const override { return supervisor_.OwnAddress(); }

 private:
  TEMIDM& supervisor_;
};

}  // namespace qorvel
