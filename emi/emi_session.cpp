// The session operations: login, the client's keep-alive, and recognising
// the SMSC's own keep-alive.
#include <optional>
#include <utility>
#include <vector>

#include "emi/codec.h"
#include "emi/codes.h"
#include "emi/emi_client.h"
#include "emi/items.h"

namespace qorvel {

std::string TEMIClient::OwnAddress() const {
  std::string adc = Param("SMSC_ADC");
  return adc.empty() ? Param("USER") : adc;
}

std::string TEMIClient::LoginData() const {
  return CheckedFields(
      60, {Param("USER"), "6", "5", "1", TextToHex(Param("PASSWORD")), "", "0100", "", "", "", "", ""});
}

std::string TEMIClient::CheckedFields(uint8_t aOT, const std::vector<std::string>& aFields) {
  for (std::size_t i = 0; i < aFields.size(); ++i)
    if (const char* why = FieldTextError(aFields[i]))
      RaiseEMIError(-1, "Field " + std::to_string(i + 1) + " of operation " + std::to_string(aOT) +
                            " " + why);
  return JoinFields(aFields);
}

std::optional<std::pair<uint8_t, std::string>> TEMIClient::KeepAliveOperation(
    int aKind, const std::string& aOwnAddress, const TParams& aParams) {
  switch (aKind) {
    case 31:
      return std::pair<uint8_t, std::string>(31, CheckedFields(31, {aOwnAddress, "0539"}));
    case 51: {
      std::vector<std::string> fields(33);
      fields[0] = ToSmscAddress(aParams.Value("SMT_KEEPALIVE_DA"), aParams);
      fields[1] = ToSmscAddress(aParams.Value("SMT_KEEPALIVE_OA"), aParams);
      fields[18] = "3";
      fields[20] = TextToHex(aParams.Value("SMT_KEEPALIVE_TEXT"));
      return std::pair<uint8_t, std::string>(51, CheckedFields(51, fields));
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
  try {
    if (Active())
      op = KeepAliveOperation(ParamNumber("SMT_KEEPALIVE_CMD", 31), OwnAddress(), Params());
  } catch (...) {
    Clock().Post(0, [aDone = std::move(aDone)] { aDone(false); });
    return;
  }
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
