#include "emi/items.h"

#include "emi/codec.h"

namespace qorvel {

namespace {

// The "0" in front makes an empty field read as 0; the 8-bit fields keep the
// low 8 bits, so an out-of-range value wraps instead of failing.
uint8_t ReadOctet(std::string_view data, int index) {
  return static_cast<uint8_t>(ReadInteger("0" + FieldAt(data, index)));
}

}  // namespace

std::unique_ptr<TRetrieveDeliverySMItem> ParseDeliveredMessage(std::string_view aData) {
  auto item = std::make_unique<TRetrieveDeliverySMItem>();
  item->DA = FromSmscAddress(FieldAt(aData, 0));
  item->OA = FromSmscAddress(FieldAt(aData, 1));
  item->VP = StampToDateTime(FieldAt(aData, 12));
  item->PID = ReadOctet(aData, 13);
  item->SCTS = StampToDateTime(FieldAt(aData, 14));
  item->Binary = FieldAt(aData, 18) == "4";
  item->Msg = HexToText(FieldAt(aData, 20));
  item->MCLs = ReadOctet(aData, 24);
  item->RPI = ReadOctet(aData, 25);
  return item;
}

std::unique_ptr<TRetrieveDeliveryNotificationItem> ParseDeliveryNotification(
    std::string_view aData) {
  auto item = std::make_unique<TRetrieveDeliveryNotificationItem>();
  item->OA = FromSmscAddress(FieldAt(aData, 0));
  item->DA = FromSmscAddress(FieldAt(aData, 1));
  item->PID = ReadOctet(aData, 13);
  item->SCTS = StampToDateTime(FieldAt(aData, 14));
  item->DeliveryStatus = ReadOctet(aData, 15);
  item->ReasonCode = ReadOctet(aData, 16);
  item->DSCTS = StampToDateTime(FieldAt(aData, 17));
  item->Msg = FieldAt(aData, 20);
  return item;
}

}  // namespace qorvel
