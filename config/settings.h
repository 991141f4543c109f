#pragma once
// The keys of EMI.INI that the program reads and writes, each with its type
// and its default, in one table. Section "EMI.Connection" is also read as a
// whole into the engine's parameters; its keys are the engine's business.
//
// One key may have two entries when two readers need different defaults:
// the supervisor reconnects after 60 s when ReconnectTimeout is missing,
// while the setup dialog offers 0 for it.
#include <string>
#include <string_view>

#include "config/ini_file.h"

namespace qorvel {

struct TTextSetting {
  std::string_view Section;
  std::string_view Key;
  std::string_view Default;
};
struct TIntSetting {
  std::string_view Section;
  std::string_view Key;
  int Default;
};
struct TBoolSetting {
  std::string_view Section;
  std::string_view Key;
  bool Default;
};

inline std::string Read(const TIniFile& aFile, const TTextSetting& aSetting) {
  return aFile.ReadString(aSetting.Section, aSetting.Key, aSetting.Default);
}
inline int Read(const TIniFile& aFile, const TIntSetting& aSetting) {
  return aFile.ReadInteger(aSetting.Section, aSetting.Key, aSetting.Default);
}
inline bool Read(const TIniFile& aFile, const TBoolSetting& aSetting) {
  return aFile.ReadBool(aSetting.Section, aSetting.Key, aSetting.Default);
}
// The setting's value when it is a whole number from aMin to aMax, the
// default when the key is missing or empty; otherwise raises EIniFileError
// naming the file, the key and the value.
int ReadInRange(const TIniFile& aFile, const TIntSetting& aSetting, int aMin, int aMax);

inline void Write(TIniFile& aFile, const TTextSetting& aSetting, std::string_view aValue) {
  aFile.WriteString(aSetting.Section, aSetting.Key, aValue);
}
inline void Write(TIniFile& aFile, const TIntSetting& aSetting, int aValue) {
  aFile.WriteInteger(aSetting.Section, aSetting.Key, aValue);
}
inline void Write(TIniFile& aFile, const TBoolSetting& aSetting, bool aValue) {
  aFile.WriteBool(aSetting.Section, aSetting.Key, aValue);
}

namespace settings {

inline constexpr std::string_view kSection = "EMI";
inline constexpr std::string_view kConnectionSection = "EMI.Connection";

// The connection, as the supervisor reads it at every open.
inline constexpr TTextSetting kIP{kSection, "IP", ""};
inline constexpr TIntSetting kPort{kSection, "Port", 0};
inline constexpr TIntSetting kReconnectTimeout{kSection, "ReconnectTimeout", 60};
inline constexpr TTextSetting kLogFile{kSection, "LogFile", "NUL"};
// Operations outstanding at once (1 to 100), and submits per second (0: no
// limit).
inline constexpr TIntSetting kWindow{kSection, "Window", 1};
inline constexpr TIntSetting kMaxSubmitsPerSecond{kSection, "MaxSubmitsPerSecond", 0};

// The same keys as the setup dialog shows and stores them: as written.
inline constexpr TTextSetting kPortText{kSection, "Port", ""};
inline constexpr TTextSetting kReconnectTimeoutShown{kSection, "ReconnectTimeout", "0"};
inline constexpr TIntSetting kReconnectTimeoutStored{kSection, "ReconnectTimeout", 0};
// Scrambled; see ScramblePassword.
inline constexpr TTextSetting kUser{kConnectionSection, "User", ""};
inline constexpr TTextSetting kPassword{kConnectionSection, "Password", ""};

// The window's last message.
inline constexpr TTextSetting kPhonePrefix{kSection, "Phone.Prefix", ""};
inline constexpr TTextSetting kPhoneNumber{kSection, "Phone.Number", ""};
inline constexpr TBoolSetting kBinary{kSection, "Binary", false};
// IA5 hex of the text, or the octets' hex as typed when Binary.
inline constexpr TTextSetting kMessage{kSection, "Message", ""};
inline constexpr TIntSetting kClass{kSection, "Class", 0};
inline constexpr TIntSetting kRPI{kSection, "RPI", 0};
inline constexpr TIntSetting kPID{kSection, "PID", 0};
inline constexpr TIntSetting kVPHours{kSection, "VP.Hours", 0};
inline constexpr TBoolSetting kNotificationDelivered{kSection, "Notification.Delivered", false};
inline constexpr TBoolSetting kNotificationBuffered{kSection, "Notification.Buffered", false};
inline constexpr TBoolSetting kNotificationNotDelivered{kSection, "Notification.NotDelivered", false};

// The message history. File: a missing key means the default place
// (HistoryFile), an empty value turns the history off.
inline constexpr std::string_view kHistorySection = "History";
inline constexpr TTextSetting kHistoryFile{kHistorySection, "File", ""};
// Days a message is kept (0: for ever), and the most messages kept (0: no limit).
inline constexpr TIntSetting kHistoryKeepDays{kHistorySection, "KeepDays", 90};
inline constexpr TIntSetting kHistoryMaxMessages{kHistorySection, "MaxMessages", 0};
inline constexpr int kHistoryKeepDaysMax = 36500;
inline constexpr int kHistoryMaxMessagesMax = 1000000000;

}  // namespace settings

}  // namespace qorvel
