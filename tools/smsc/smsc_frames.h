#pragma once
// What the simulated SMSC writes: the data parts of its answers and of the
// operations it originates, its time stamps, and deliberately broken frames.
// Pure functions; nothing here throws.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qorvel {

// Local wall-clock time as seconds since 1 January 1970 read as if it were
// UTC: stamps then follow from plain arithmetic, whatever the time zone.
using TCivilSeconds = int64_t;
TCivilSeconds LocalCivilNow();
TCivilSeconds CivilSeconds(int aYear, int aMonth, int aDay, int aHour, int aMinute, int aSecond);
// DDMMYYhhmmss.
std::string FormatStamp(TCivilSeconds aTime);

// The fields of a data part as the frame parser hands it over (it ends with
// the separator that follows the fields whenever it is not empty).
std::vector<std::string> SplitDataFields(std::string_view aData);
// Field aIndex, or empty when there are fewer fields.
std::string FieldOf(const std::vector<std::string>& aFields, std::size_t aIndex);

inline constexpr std::size_t kSubmitFieldCount = 33;
inline constexpr std::size_t kLoginFieldCount = 12;

// A message from a mobile (operation 52).
struct TMobileMessage {
  std::string OA;       // the mobile
  std::string DA;       // the client's address
  std::string Msg;      // characters of a text, octets of binary data
  bool Binary = false;  // MT 4 with NB, else MT 3
  int PID = -1;         // RPID as four digits; negative leaves it empty
  int MCLs = -1;        // negative leaves it empty
  int RPI = 0;          // 0 leaves it empty
  std::string SCTS;     // DDMMYYhhmmss
  std::string VP;       // empty for none
};
std::string DeliverData(const TMobileMessage& aMessage);

// Dst values of a delivery notification, and the NT bit that asks for each:
// 1 delivered, 2 not delivered, 4 buffered.
enum class TDeliveryStatus : int { Delivered = 0, Buffered = 1, NotDelivered = 2 };
int NotificationBit(TDeliveryStatus aStatus);

// A delivery notification (operation 53) about a submitted message.
struct TNotification {
  std::string AdC;    // the submitter: the OAdC of the submit
  std::string OAdC;   // the recipient: the AdC of the submit
  std::string RPID;   // copied from the submit
  std::string SCTS;   // the time stamp that the submit's acknowledgement gave
  std::string DSCTS;  // when the status was reached
  TDeliveryStatus Dst = TDeliveryStatus::Delivered;
  int Rsn = 0;       // three digits ("000" for a delivered message); negative leaves it empty
  std::string Text;  // sent in IA5 hex form
};
std::string NotificationData(const TNotification& aNotification);

// Positive results. Those of 60 and 31 have two fields (ACK, SM); those of
// the message operations 51 to 53 have three (ACK, MVP, SM). Outside clients
// count them, so an extra empty field is not harmless.
std::string SessionAckData(std::string_view aSM = {});
std::string MessageAckData(std::string_view aMVP, std::string_view aSM);
// The negative result of every operation (NAK, EC, SM): "N/", the error code
// as given (it may be empty or not a number on purpose), "/" and the text.
std::string NakData(std::string_view aCode, std::string_view aText = {});
// The error code as two digits.
std::string ErrorCodeText(int aCode);

enum class TBadFrameKind {
  Checksum,  // one off in the checksum
  Length,    // LEN one off, checksum right for the altered body
  Format,    // datagram shorter than the smallest one
  Junk,      // bytes without STX, a stray ETX among them
};
// A broken frame derived from a valid one (Junk ignores it).
std::string BadFrame(TBadFrameKind aKind, std::string_view aValidFrame);
// The same valid frame with its checksum in lower-case hex.
std::string LowerCaseChecksum(std::string_view aValidFrame);

}  // namespace qorvel
