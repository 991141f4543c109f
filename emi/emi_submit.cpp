#include <cstdio>
#include <vector>

#include "emi/codec.h"
#include "emi/codes.h"
#include "emi/emi_client.h"

namespace qorvel {

namespace {

// The service centre's time stamp in an acknowledgement's SM field
// ("address:DDMMYYhhmmss"), or 0.
TDateTime AnswerSCTS(const std::string& aAnswer) {
  const std::string sm = FieldAt(aAnswer, 2);
  const auto colon = sm.find(':');
  return colon == std::string::npos ? 0 : StampToDateTime(std::string_view(sm).substr(colon + 1));
}

}  // namespace

std::string TEMIClient::SubmitData(const std::string& DA, const std::string& Msg, bool Binary,
                                   uint8_t MCLs, uint8_t PID, uint8_t NT, uint8_t RPI,
                                   TDateTime VP) const {
  const TParams params = Params();
  if (const char* why = RecipientError(DA, params)) RaiseEMIError(-1, std::string("DA ") + why);
  if (!(VP >= 0 && VP <= kMaxValidityDays))
    RaiseEMIError(-1, "VP must be a number of days from 0 to 3650");
  std::vector<std::string> fields(33);
  fields[0] = ToSmscAddress(DA, params);
  fields[1] = ToSmscAddress(OwnAddress(), params);
  fields[3] = NT != 0 ? "1" : "0";
  fields[5] = std::to_string(NT);
  if (VP != 0) fields[12] = DateTimeToStamp(NowDateTime() + VP);
  char rpid[8];
  std::snprintf(rpid, sizeof rpid, "%.4d", static_cast<int>(PID));
  fields[13] = rpid;
  fields[18] = Binary ? "4" : "3";
  if (Binary) fields[19] = std::to_string(8 * Msg.size());
  fields[20] = TextToHex(Msg);
  if (MCLs != 255) fields[24] = std::to_string(MCLs);
  if (RPI != 0) fields[25] = std::to_string(RPI);
  return CheckedFields(51, fields);
}

TDateTime TEMIClient::SubmitMessage(const std::string& DA, const std::string& Msg, bool Binary,
                                    uint8_t MCLs, uint8_t PID, uint8_t NT, uint8_t RPI,
                                    TDateTime VP) {
  CheckActive();
  std::string answer;
  RaiseIfRefused(SendCommand(51, NextTransaction(),
                             SubmitData(DA, Msg, Binary, MCLs, PID, NT, RPI, VP), answer, 0),
                 answer);
  return AnswerSCTS(answer);
}

void TEMIClient::StartSubmit(const std::string& DA, const std::string& Msg, bool Binary,
                             uint8_t MCLs, uint8_t PID, uint8_t NT, uint8_t RPI, TDateTime VP,
                             TSubmitDone aDone) {
  CheckActive();
  StartCommand(51, SubmitData(DA, Msg, Binary, MCLs, PID, NT, RPI, VP), 0,
               [aDone = std::move(aDone)](const TOperationResult& aResult) {
                 aDone(aResult, aResult.Ack() ? AnswerSCTS(aResult.Answer) : 0);
               });
}

}  // namespace qorvel
