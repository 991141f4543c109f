// The session operations: login, the client's keep-alive, and recognising
// the SMSC's own keep-alive.
#include <optional>
#include <utility>
#include <vector>

#include "emi/codec.h"
#include "emi/emi_client.h"
#include "emi/items.h"

namespace qorvel {

std::string TEMIClient::OwnAddress() const {
  std::string adc = Param("SMSC_ADC");
  return adc.empty() ? Param("USER") : adc;
}

std::string TEMIClient::LoginData() const {
  return JoinFields(
      {Param("USER"), "6", "5", "1", TextToHex(Param("PASSWORD")), "", "0100", "", "", "", "", ""});
}

std::optional<std::pair<uint8_t, std::string>> TEMIClient::KeepAliveOperation(
    int aKind, const std::string& aOwnAddress, const TParams& aParams) {
  switch (aKind) {
    case 31:
      return std::pair<uint8_t, std::string>(31, JoinFields({aOwnAddress, "0539"}));
    case 51: {
      std::vector<std::string> fields(33);
      fields[0] = ToSmscAddress(aParams.Value("SMT_KEEPALIVE_DA"), aParams);
      fields[1] = ToSmscAddress(aParams.Value("SMT_KEEPALIVE_OA"), aParams);
      fields[18] = "3";
      fields[20] = TextToHex(aParams.Value("SMT_KEEPALIVE_TEXT"));
      return std::pair<uint8_t, std::string>(51, JoinFields(fields));
    }
    default:
      return std::nullopt;
  }
}

bool TEMIClient::KeepAlive() {
  const auto op = KeepAliveOperation(ParamNumber("SMT_KEEPALIVE_CMD", 31), OwnAddress(), Params());
  if (!op) return true;
  std::string answer;
  const bool ack = SendCommand(op->first, NextTransaction(), op->second, answer, 0);
  // Kind 51 counts any answer as a sign of life.
  return op->first == 51 || ack;
}

void TEMIClient::StartCheckAlive(std::function<void(bool aAlive)> aDone) {
  std::optional<std::pair<uint8_t, std::string>> op;
  if (Active()) op = KeepAliveOperation(ParamNumber("SMT_KEEPALIVE_CMD", 31), OwnAddress(), Params());
  if (!Active() || !op) {
    const bool alive = Active();
    Clock().Post(0, [aDone = std::move(aDone), alive] { aDone(alive); });
    return;
  }
  const uint8_t ot = op->first;
  try {
    StartCommand(ot, std::move(op->second), 0, [aDone, ot](const TOperationResult& aResult) {
      aDone(aResult.Ack() || (ot == 51 && aResult.Kind == TOperationResult::okNak));
    });
  } catch (...) {
    Clock().Post(0, [aDone = std::move(aDone)] { aDone(false); });
  }
}

bool TEMIClient::CheckAlive() {
  if (!Active()) return false;
  try {
    return KeepAlive();
  } catch (...) {
    return false;
  }
}

bool TEMIClient::IsSmscKeepAlive(uint8_t aOT, const std::string& aData) const {
  if (aOT != 52 || ParamNumber("SMSC_KEEPALIVE_CMD", -1) != aOT) return false;
  const TParams params = Params();
  std::unique_ptr<TRetrieveDeliverySMItem> item = ParseDeliveredMessage(aData);
  const std::string text = item->Binary ? TextToHex(item->Msg) : item->Msg;
  return item->OA == params.Value("SMSC_KEEPALIVE_OA") &&
         item->DA == params.Value("SMSC_KEEPALIVE_DA") &&
         text == params.Value("SMSC_KEEPALIVE_TEXT");
}

}  // namespace qorvel
