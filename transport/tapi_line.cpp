#include "transport/tapi_line.h"

#include <algorithm>
#include <exception>
#include <string>

#include "connect/application.h"
#include "transport/tapi_errors.h"

namespace qorvel {

namespace {

// LINE_ADDRESSSTATE..LINE_CLOSE, LINE_GATHERDIGITS..LINE_REPLY,
// LINE_AGENTSPECIFIC..LINE_PROXYREQUEST.
bool IsRoutedLineMessage(uint32_t message) {
  return message <= 3 || (message >= 6 && message <= 12) || (message >= 21 && message <= 24);
}

// The global line. Created by the static initialiser of this file, released
// by its static destructor; the pointer is cleared first so that a late
// callback finds no line instead of a half-destroyed one.
struct TGlobalLine {
  TTAPILine* line = new TTAPILine();
  ~TGlobalLine() {
    TTAPILine* released = line;
    line = nullptr;
    delete released;
  }
};
TGlobalLine gGlobalLine;

}  // namespace

TTAPILine::TTAPILine(TComponent* aOwner) : TConnection(aOwner) {}

TTAPILine::~TTAPILine() {
  MarkDestroying();
  while (!lines_.empty()) {
    std::unique_ptr<TTAPILineObject> last = std::move(lines_.back());
    lines_.pop_back();
    last.reset();
  }
  if (!KeepConnection) CloseForDestruction();
}

TTAPILineObject* TTAPILine::AddLineObject(std::unique_ptr<TTAPILineObject> aObject) {
  lines_.push_back(std::move(aObject));
  return lines_.back().get();
}

void TTAPILine::DeleteLineObject(TTAPILineObject* aObject) {
  auto found = std::find_if(lines_.begin(), lines_.end(),
                            [aObject](const auto& line) { return line.get() == aObject; });
  if (found == lines_.end()) return;
  std::unique_ptr<TTAPILineObject> removed = std::move(*found);
  lines_.erase(found);
}

void TTAPILine::HandleCallback(uint32_t aDevice, uint32_t aMessage, uint32_t aInstance,
                               uint32_t aParam1, uint32_t aParam2, uint32_t aParam3) {
  if (OnHandleCallback) {
    OnHandleCallback(this, aDevice, aMessage, aInstance, aParam1, aParam2, aParam3);
  }
  if (!IsRoutedLineMessage(aMessage)) return;
  // By index: a line object may delete itself or another while handling.
  // When the slot no longer holds the object just called, the list has
  // shifted and the slot already holds the next one.
  std::size_t i = 0;
  while (i < lines_.size()) {
    TTAPILineObject* line = lines_[i].get();
    if (line->CallbackInstance() == aInstance) {
      line->HandleCallback(aDevice, aMessage, aParam1, aParam2, aParam3);
    }
    if (i < lines_.size() && lines_[i].get() == line) ++i;
  }
}

void TTAPILine::DoOpen() {
  const std::string title = ApplicationTitle();
  HLINEAPP lineApp = 0;
  uint32_t numDevs = 0;
  // There is no module instance handle on this platform.
  TAPICheck(lineInitialize(&lineApp, nullptr, &TAPILineCallback, title.c_str(), &numDevs));
  lineApp_ = lineApp;
  numDevs_ = numDevs;
  initialised_ = true;
}

void TTAPILine::DoClose() {
  if (!initialised_) return;
  // A refused shutdown leaves the service initialised, and a later close
  // tries again.
  TAPICheck(lineShutdown(lineApp_));
  initialised_ = false;
  lineApp_ = 0;
  numDevs_ = 0;
}

TTAPILine* TAPILine() {
  return gGlobalLine.line;
}

void TAPILineCallback(uint32_t hDevice, uint32_t dwMessage, uint32_t dwInstance, uint32_t dwParam1,
                      uint32_t dwParam2, uint32_t dwParam3) {
  TTAPILine* line = TAPILine();
  if (!line) return;
  try {
    line->HandleCallback(hDevice, dwMessage, dwInstance, dwParam1, dwParam2, dwParam3);
  } catch (const std::exception& error) {
    ShowException(error);
  }
}

}  // namespace qorvel
