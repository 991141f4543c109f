#pragma once
// The application's use of the telephony service for line devices: opening
// the line initialises the service, closing it shuts the service down, and
// the service's line callback reaches the registered line objects.
//
// One global instance exists from program start to program end (TAPILine());
// the service callback is routed to it. Open, close and destroy on the main
// thread. Callbacks arrive on whatever thread the service chooses, and the
// routing holds no lock: add and delete line objects only on that thread or
// while no callback can arrive (the line closed).
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "connect/connection.h"
#include "transport/tapi_service.h"

namespace qorvel {

class TTAPILine;

using TTAPIHandleCallback =
    std::function<void(TTAPILine* Sender, uint32_t aDevice, uint32_t aMessage, uint32_t aInstance,
                       uint32_t aParam1, uint32_t aParam2, uint32_t aParam3)>;

// Something that opened a line of the service and wants its messages. Its
// callback instance is the value it gave the service for that line.
class TTAPILineObject {
 public:
  explicit TTAPILineObject(uint32_t aCallbackInstance) : callbackInstance_(aCallbackInstance) {}
  virtual ~TTAPILineObject() = default;
  TTAPILineObject(const TTAPILineObject&) = delete;
  TTAPILineObject& operator=(const TTAPILineObject&) = delete;

  uint32_t CallbackInstance() const { return callbackInstance_; }

  virtual void HandleCallback(uint32_t aDevice, uint32_t aMessage, uint32_t aParam1,
                              uint32_t aParam2, uint32_t aParam3) = 0;

 private:
  uint32_t callbackInstance_;
};

class TTAPILine : public TConnection {
 public:
  explicit TTAPILine(TComponent* aOwner = nullptr);
  // Releases the line objects from last to first, then closes unless
  // KeepConnection is set.
  ~TTAPILine() override;

  // When true, destroying the line leaves the telephony service initialised.
  bool KeepConnection = false;
  // Raised first for every callback of the service.
  TTAPIHandleCallback OnHandleCallback;

  // Takes ownership; the object gets the line messages for its instance.
  TTAPILineObject* AddLineObject(std::unique_ptr<TTAPILineObject> aObject);
  // Removes and destroys `aObject`; unknown objects are ignored. An object
  // may delete itself from its HandleCallback if it touches nothing of
  // itself afterwards; the others still get the message.
  void DeleteLineObject(TTAPILineObject* aObject);
  int LineObjectCount() const { return static_cast<int>(lines_.size()); }

  // The service's usage handle and line device count while open.
  HLINEAPP LineApp() const { return lineApp_; }
  uint32_t LineDeviceCount() const { return numDevs_; }

  // Raises OnHandleCallback, then hands the routed line messages (0-3, 6-12,
  // 21-24) to every line object of instance `aInstance`, in list order.
  virtual void HandleCallback(uint32_t aDevice, uint32_t aMessage, uint32_t aInstance,
                              uint32_t aParam1, uint32_t aParam2, uint32_t aParam3);

 protected:
  void DoOpen() override;
  void DoClose() override;

 private:
  std::vector<std::unique_ptr<TTAPILineObject>> lines_;
  HLINEAPP lineApp_ = 0;
  uint32_t numDevs_ = 0;
  // Set only by a successful lineInitialize, so that the close after a
  // failed open does not shut down a service it never initialised.
  bool initialised_ = false;
};

// The global instance: created inactive and without owner at program start,
// released at program end (nullptr from then on).
TTAPILine* TAPILine();

// The service callback given to lineInitialize: calls HandleCallback of the
// global instance. An error raised there is shown through the application's
// error display and goes no further; an exception of another kind passes on.
void TAPILineCallback(uint32_t hDevice, uint32_t dwMessage, uint32_t dwInstance, uint32_t dwParam1,
                      uint32_t dwParam2, uint32_t dwParam3);

}  // namespace qorvel
