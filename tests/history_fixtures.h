#pragma once
// Records as the program hands them to the message history.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "app/message_store.h"
#include "emi/codec.h"
#include "emi/datetime.h"
#include "emi/items.h"

namespace qorvel::history_fixtures {

inline constexpr TDateTime kSecond = 1.0 / 86400;

// A submit from the window; aTime 0 is the time of recording.
inline THistorySubmit Submit(std::string aNumber, std::string aText = "Hello", int64_t aTime = 0) {
  THistorySubmit submit;
  submit.Source = "window";
  submit.Number = std::move(aNumber);
  submit.Text = std::move(aText);
  submit.Time = aTime;
  return submit;
}

// A notification for aRecipient about the message stamped aSCTS, which
// reached its state five seconds later.
inline TRetrieveDeliveryNotificationItem Notification(std::string aRecipient, TDateTime aSCTS,
                                                      uint8_t aStatus, uint8_t aReason = 0) {
  TRetrieveDeliveryNotificationItem item;
  item.OA = "1234";
  item.DA = std::move(aRecipient);
  item.SCTS = aSCTS;
  item.DeliveryStatus = aStatus;
  item.ReasonCode = aReason;
  item.DSCTS = aSCTS + 5 * kSecond;
  item.Msg = TextToHex("Message delivered");
  return item;
}

// Milliseconds since 1970 UTC, as the store keeps times.
inline int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace qorvel::history_fixtures
