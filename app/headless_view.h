#pragma once
// The supervisor's view when there is no screen to open a window on (a
// program the bus starts in an ssh session): status lines go to standard
// error, one each, and the traffic only to the traffic log file.
//
// Main thread, as IEMIFormView; the status log may be written from any
// thread (it serialises its writes).
#include <cstdio>
#include <string>
#include <string_view>

#include "app/emi_form_host.h"
#include "connect/thread_annotations.h"

namespace qorvel {

class THeadlessView : public IEMIFormView {
 public:
  // aOut must outlive the view; stderr in the program.
  explicit THeadlessView(std::FILE* aOut) : status_(aOut) {}

  ILogView& StatusLog() override { return status_; }
  ILogView& TrafficLog() override { return traffic_; }
  void UpdateButtons() override {}
  void ShowRxQueueCount(int) override {}
  // The status lines say as much, without a countdown every second.
  void ShowLinkState(const std::string&) override {}

 private:
  class TLines : public ILogView {
   public:
    explicit TLines(std::FILE* aOut) : out_(aOut) {}
    void AddChars(std::string_view aText) override { AddLine(aText); }
    void AddLine(std::string_view aLine) override EXCLUDES(lock_) {
      TLockGuard g(lock_);
      std::fprintf(out_, "qorvel: %.*s\n", static_cast<int>(aLine.size()), aLine.data());
      std::fflush(out_);
    }

   private:
    TMutex lock_;
    std::FILE* out_ GUARDED_BY(lock_);
  };
  class TNone : public ILogView {
    void AddChars(std::string_view) override {}
    void AddLine(std::string_view) override {}
  };

  TLines status_;
  TNone traffic_;
};

}  // namespace qorvel
