#include "tools/smsc/smsc_frames.h"

#include <cstdio>
#include <ctime>

#include "emi/codec.h"
#include "emi/frame.h"

namespace qorvel {

namespace {

std::string Digits(int aValue, int aWidth) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", aWidth, aValue);
  return text;
}

std::string HexByte(unsigned aValue) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {kHex[(aValue >> 4) & 15], kHex[aValue & 15]};
}

}  // namespace

TCivilSeconds LocalCivilNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<TCivilSeconds>(timegm(&local));
}

TCivilSeconds CivilSeconds(int aYear, int aMonth, int aDay, int aHour, int aMinute, int aSecond) {
  std::tm parts{};
  parts.tm_year = aYear - 1900;
  parts.tm_mon = aMonth - 1;
  parts.tm_mday = aDay;
  parts.tm_hour = aHour;
  parts.tm_min = aMinute;
  parts.tm_sec = aSecond;
  return static_cast<TCivilSeconds>(timegm(&parts));
}

std::string FormatStamp(TCivilSeconds aTime) {
  std::time_t t = static_cast<std::time_t>(aTime);
  std::tm parts{};
  gmtime_r(&t, &parts);
  return Digits(parts.tm_mday, 2) + Digits(parts.tm_mon + 1, 2) + Digits(parts.tm_year % 100, 2) +
         Digits(parts.tm_hour, 2) + Digits(parts.tm_min, 2) + Digits(parts.tm_sec, 2);
}

std::vector<std::string> SplitDataFields(std::string_view aData) {
  std::vector<std::string> fields;
  if (aData.empty()) return fields;
  if (aData.back() == '/') aData.remove_suffix(1);
  for (;;) {
    std::size_t slash = aData.find('/');
    fields.emplace_back(aData.substr(0, slash));
    if (slash == std::string_view::npos) break;
    aData.remove_prefix(slash + 1);
  }
  return fields;
}

std::string FieldOf(const std::vector<std::string>& aFields, std::size_t aIndex) {
  return aIndex < aFields.size() ? aFields[aIndex] : std::string();
}

std::string DeliverData(const TMobileMessage& aMessage) {
  std::vector<std::string> f(kSubmitFieldCount);
  f[0] = aMessage.DA;
  f[1] = aMessage.OA;
  f[12] = aMessage.VP;
  if (aMessage.PID >= 0) f[13] = Digits(aMessage.PID, 4);
  f[14] = aMessage.SCTS;
  f[18] = aMessage.Binary ? "4" : "3";
  if (aMessage.Binary) f[19] = std::to_string(aMessage.Msg.size() * 8);
  f[20] = TextToHex(aMessage.Msg);
  if (aMessage.MCLs >= 0) f[24] = std::to_string(aMessage.MCLs);
  if (aMessage.RPI != 0) f[25] = std::to_string(aMessage.RPI);
  return JoinFields(f);
}

int NotificationBit(TDeliveryStatus aStatus) {
  switch (aStatus) {
    case TDeliveryStatus::Delivered:
      return 1;
    case TDeliveryStatus::NotDelivered:
      return 2;
    case TDeliveryStatus::Buffered:
      return 4;
  }
  return 0;
}

std::string NotificationData(const TNotification& aNotification) {
  std::vector<std::string> f(kSubmitFieldCount);
  f[0] = aNotification.AdC;
  f[1] = aNotification.OAdC;
  f[13] = aNotification.RPID;
  f[14] = aNotification.SCTS;
  f[15] = std::to_string(static_cast<int>(aNotification.Dst));
  if (aNotification.Rsn >= 0) f[16] = Digits(aNotification.Rsn, 3);
  f[17] = aNotification.DSCTS;
  f[18] = "3";
  f[20] = TextToHex(aNotification.Text);
  return JoinFields(f);
}

std::string SessionAckData(std::string_view aSM) {
  return "A/" + std::string(aSM);
}

std::string MessageAckData(std::string_view aMVP, std::string_view aSM) {
  return "A/" + std::string(aMVP) + "/" + std::string(aSM);
}

std::string NakData(std::string_view aCode, std::string_view aText) {
  return "N/" + std::string(aCode) + "/" + std::string(aText);
}

std::string ErrorCodeText(int aCode) {
  return Digits(aCode, 2);
}

std::string BadFrame(TBadFrameKind aKind, std::string_view aValidFrame) {
  // A valid frame is STX, body, two checksum digits, ETX.
  if (aKind == TBadFrameKind::Junk) return "line noise\x03 more noise\r\n";
  if (aKind == TBadFrameKind::Format) return std::string(1, STX) + "00/00016/O/52/" + ETX;
  if (aValidFrame.size() < kMinDatagramLength + 2) return std::string(aValidFrame);
  std::string body(aValidFrame.substr(1, aValidFrame.size() - 4));
  std::string checksum(aValidFrame.substr(aValidFrame.size() - 3, 2));
  if (aKind == TBadFrameKind::Checksum) {
    unsigned wrong = (Checksum(body) + 1u) & 0xFF;
    checksum = HexByte(wrong);
  } else {
    // LEN sits at offset 3 and has five digits.
    int len = ReadInteger(body.substr(3, 5));
    body.replace(3, 5, Digits(len + 1, 5));
    checksum = HexByte(Checksum(body));
  }
  return std::string(1, STX) + body + checksum + ETX;
}

std::string LowerCaseChecksum(std::string_view aValidFrame) {
  std::string frame(aValidFrame);
  if (frame.size() < 3) return frame;
  for (std::size_t i = frame.size() - 3; i < frame.size() - 1; ++i) {
    if (frame[i] >= 'A' && frame[i] <= 'F') frame[i] = static_cast<char>(frame[i] - 'A' + 'a');
  }
  return frame;
}

}  // namespace qorvel
