// The session operations: login, the client's keep-alive, and recognising
// the SMSC's own keep-alive.
#include <vector>

#include "emi/codec.h"
#include "emi/emi_client.h"
#include "emi/items.h"

namespace qorvel {

std::string TEMIClient::OwnAddress() const {
  std::string adc = Param("SMSC_ADC");
  return adc.empty() ? Param("USER") : adc;
}

void TEMIClient::Login() {
  const std::vector<std::string> fields = {
      Param("USER"), "6", "5", "1", TextToHex(Param("PASSWORD")), "", "0100", "", "", "", "", ""};
  std::string answer;
  RaiseIfRefused(SendCommand(60, NextTransaction(), JoinFields(fields), answer, 1), answer);
}

bool TEMIClient::KeepAlive() {
  std::string answer;
  switch (ParamNumber("SMT_KEEPALIVE_CMD", 31)) {
    case 31:
      return SendCommand(31, NextTransaction(), JoinFields({OwnAddress(), "0539"}), answer, 0);
    case 51: {
      const TParams params = Params();
      std::vector<std::string> fields(33);
      fields[0] = ToSmscAddress(params.Value("SMT_KEEPALIVE_DA"), params);
      fields[1] = ToSmscAddress(params.Value("SMT_KEEPALIVE_OA"), params);
      fields[18] = "3";
      fields[20] = TextToHex(params.Value("SMT_KEEPALIVE_TEXT"));
      SendCommand(51, NextTransaction(), JoinFields(fields), answer, 0);
      return true;
    }
    default:
      return true;
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
