#pragma once
// The two operations the SMSC sends to the client, read into plain records:
// 52 (a message from a mobile) and 53 (the outcome of a submitted message).
//
// The parse functions never fail: a missing field reads as empty, 0 or
// date-time 0. They keep no state and may run on any thread. The caller owns
// the returned item.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "emi/datetime.h"

namespace qorvel {

// One received operation 52. DA is the client's own address, OA the mobile.
struct TRetrieveDeliverySMItem {
  std::string DA;
  std::string OA;
  // Decoded from hex: the characters of a text message, the octets of data.
  std::string Msg;
  TDateTime SCTS = 0;
  // The message is 8-bit data (message type 4).
  bool Binary = false;
  uint8_t PID = 0;
  uint8_t MCLs = 0;
  uint8_t RPI = 0;
  TDateTime VP = 0;
};

// One received operation 53. The SMSC's AdC is the client's own address, so
// it lands in OA: OA and DA name the originator and the recipient of the
// notified message, as in TRetrieveDeliverySMItem.
struct TRetrieveDeliveryNotificationItem {
  std::string DA;
  std::string OA;
  // The notification text exactly as received, still in hex.
  std::string Msg;
  TDateTime SCTS = 0;
  uint8_t PID = 0;
  // 0 delivered, 1 buffered, 2 not delivered.
  uint8_t DeliveryStatus = 0;
  uint8_t ReasonCode = 0;
  TDateTime DSCTS = 0;
};

// `aData` is the data part of the received operation: its fields after the
// header, starting with AdC, joined with "/".
std::unique_ptr<TRetrieveDeliverySMItem> ParseDeliveredMessage(std::string_view aData);
std::unique_ptr<TRetrieveDeliveryNotificationItem> ParseDeliveryNotification(
    std::string_view aData);

}  // namespace qorvel
