#pragma once
// Small concrete connections that record their steps and events in order.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "connect/connection.h"
#include "connect/logger.h"

namespace qorvel::testing {

using Journal = std::vector<std::string>;

inline void RecordEvents(TConnection& c, Journal& journal) {
  c.BeforeOpen = [&journal](TConnection*) { journal.push_back("BeforeOpen"); };
  c.AfterOpen = [&journal](TConnection*) { journal.push_back("AfterOpen"); };
  c.BeforeClose = [&journal](TConnection*) { journal.push_back("BeforeClose"); };
  c.AfterClose = [&journal](TConnection*) { journal.push_back("AfterClose"); };
}

class TRecordingConnection : public TConnection {
 public:
  TRecordingConnection(Journal& journal, TComponent* aOwner = nullptr)
      : TConnection(aOwner), journal_(journal) {}
  ~TRecordingConnection() override { CloseForDestruction(); }

  bool failOpen = false;
  bool failClose = false;

 protected:
  void DoOpen() override {
    journal_.push_back("DoOpen");
    if (failOpen) throw std::runtime_error("open failed");
  }
  void DoClose() override {
    journal_.push_back("DoClose");
    if (failClose) throw std::runtime_error("close failed");
  }

 private:
  Journal& journal_;
};

// Formats as "<name>|<channel>|<text>" and collects what it writes.
class TTestLogger : public TLogger {
 public:
  explicit TTestLogger(Journal& journal, TComponent* aOwner = nullptr)
      : TLogger(aOwner), journal_(journal) {}
  ~TTestLogger() override { CloseForDestruction(); }

  std::vector<std::string> written;
  bool failWrite = false;
  bool failOpen = false;
  std::function<void()> onFormat;

 protected:
  void DoOpen() override {
    journal_.push_back("DoOpen");
    if (failOpen) throw std::runtime_error("cannot create log");
  }
  void DoClose() override { journal_.push_back("DoClose"); }
  void FormatText(const std::string& aLogName, std::uint8_t aChannel, const std::string& aText,
                  std::string& aResult) override {
    journal_.push_back("FormatText");
    if (onFormat) onFormat();
    aResult = aLogName + "|" + std::to_string(aChannel) + "|" + aText;
  }
  void WriteText(const std::string& aText) override {
    journal_.push_back("WriteText");
    if (failWrite) throw std::runtime_error("disk full");
    written.push_back(aText);
  }

 private:
  Journal& journal_;
};

}  // namespace qorvel::testing
