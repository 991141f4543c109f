#pragma once
// What the main window's tests put in place of the connection supervisor: the
// real engine over the real TCP transport to an SMSC simulator on 127.0.0.1,
// wired as the supervisor wires it (the window's buttons follow the engine's
// open and close).
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "emi/emi_client.h"
#include "transport/client_socket_connection.h"
#include "app/emi_form_host.h"

namespace qorvel::testing {

class TFormTestHost : public IEMIFormHost {
 public:
  // aSettings is the window's EMI.INI.
  TFormTestHost(uint16_t aPort, std::string aSettings) : settings(std::move(aSettings)) {
    line.SetAddress("127.0.0.1");
    line.SetPort(aPort);
    client.SetComDevice(&line);
    client.RepeatCount = 2;
    client.RecTimeout = 500;
    client.RepeatTimeout = 100;
    TParams params;
    params.SetValue("USER", "1234");
    params.SetValue("PASSWORD", "pw");
    params.SetValue("SMT_INT_PREFIX", "00");
    client.SetParams(params);
    client.AfterOpen = [this](TConnection*) { UpdateView(); };
    client.AfterClose = [this](TConnection*) { UpdateView(); };
  }

  const TIniFile& Settings() const override { return settings; }
  TEMIClient& Client() override { return client; }
  TClientSocketConnection& Line() override { return line; }
  void ClearReconnectPending() override { ++reconnectCleared; }
  void StartConnect(std::function<void(std::exception_ptr)> aDone) override {
    ++connectsStarted;
    if (client.Active()) {
      if (aDone) aDone(nullptr);
      return;
    }
    try {
      client.StartOpen([this, aDone](std::exception_ptr aFailure) {
        UpdateView();
        if (aDone) aDone(aFailure);
      });
      UpdateView();
    } catch (...) {
      if (aDone) aDone(std::current_exception());
    }
  }
  bool Connecting() const override { return client.Opening(); }
  int64_t RecordWindowSubmit(const TSubmitItem&) override { return ++windowSubmits; }
  void RecordSubmit(int64_t, bool aAccepted, TDateTime, const std::string&, int) override {
    ++(aAccepted ? submitsSent : submitsFailed);
  }
  bool ReconnectionArmed() const override { return false; }
  TMessageStore* History() override { return history; }
  THistoryEvents* HistoryEvents() override { return historyEvents; }
  void Disconnect() override {
    client.Close();
    line.Close();
    UpdateView();
  }

  void UpdateView() {
    if (view != nullptr) view->UpdateButtons();
  }

  TIniFile settings;
  TClientSocketConnection line;
  TEMIClient client;
  IEMIFormView* view = nullptr;
  // The History page's store and news; none unless a test puts them here.
  TMessageStore* history = nullptr;
  THistoryEvents* historyEvents = nullptr;
  int reconnectCleared = 0;
  int connectsStarted = 0;
  int64_t windowSubmits = 0;
  int submitsSent = 0;
  int submitsFailed = 0;
};

}  // namespace qorvel::testing
