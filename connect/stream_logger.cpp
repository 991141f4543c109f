#include "connect/stream_logger.h"

#include <cstdio>

#include "connect/date_time_text.h"
#include "connect/errors.h"

namespace qorvel {

namespace {

constexpr char kLineBreak[] = "\r\n";

std::string Hex2(std::uint8_t value) {
  char buffer[3];
  std::snprintf(buffer, sizeof buffer, "%.2x", value);
  return buffer;
}

}  // namespace

TStreamLogger::TStreamLogger(TComponent* aOwner)
    : TLogger(aOwner),
      Clock([] { return std::time(nullptr); }),
      logFlags_{lfInsertName, lfInsertChannel, lfDivideNames, lfDivideChannels, lfHexadecimal},
      maxLineLength_(80) {}

void TStreamLogger::DoOpen() {
  TRecursiveGuard guard(lock_);
  if (stream_) stream_->SeekEnd();
}

void TStreamLogger::WriteText(const std::string& aText) {
  if (!stream_) throw EConnectError("Connection is inactive");
  stream_->Write(aText);
}

bool TStreamLogger::DoDivideStream(const std::string& aLogName, std::uint8_t aChannel,
                                   std::string& aText, int& I) {
  if (!OnDivideStream) return false;
  bool divide = false;
  OnDivideStream(this, aLogName, aChannel, aText, I, divide);
  return divide;
}

void TStreamLogger::Append(std::string& aResult, const std::string& aCounted) {
  aResult += aCounted;
  column_ += static_cast<std::int32_t>(aCounted.size());
}

std::string TStreamLogger::Stamp() const {
  return LocaleDateTimeText(Clock ? Clock() : std::time(nullptr)) + ")";
}

void TStreamLogger::FormatText(const std::string& aLogName, std::uint8_t aChannel,
                               const std::string& aText, std::string& aResult) {
  const TLogFormatFlags flags = logFlags_;
  const bool hex = flags.Contains(lfHexadecimal);
  const std::string channelTag = Hex2(aChannel) + (hex ? ")" : ") ");
  std::string text = aText;  // the divide handler may rewrite this copy
  std::string result;
  auto counted = [&](const std::string& s) REQUIRES(lock_) { Append(result, s); };
  auto inText = [&](int i) { return i >= 1 && static_cast<std::size_t>(i) <= text.size(); };

  int I = 1;
  while (inText(I)) {
    bool fresh = column_ == 0;
    if ((aLogName != lastName_ && flags.Contains(lfDivideNames)) ||
        (aChannel != lastChannel_ && flags.Contains(lfDivideChannels)) ||
        (flags.Contains(lfDivideStream) && DoDivideStream(aLogName, aChannel, text, I))) {
      column_ = 0;
      fresh = false;
    }
    // A handler may have moved I anywhere; there is no character to write
    // outside the text.
    if (!inText(I)) break;

    const bool atStart = column_ == 0;
    if (atStart) {
      if (!fresh) result += kLineBreak;
      if (flags.Contains(lfStamp)) counted(Stamp());
    }
    if ((aLogName != lastName_ || atStart) && flags.Contains(lfInsertName)) {
      counted(aLogName + "-");
      if (flags.Contains(lfInsertChannel)) counted(channelTag);
    } else if ((aChannel != lastChannel_ || atStart) && flags.Contains(lfInsertChannel)) {
      counted(channelTag);
    }
    lastChannel_ = aChannel;
    lastName_ = aLogName;

    const char c = text[static_cast<std::size_t>(I) - 1];
    counted(hex ? Hex2(static_cast<std::uint8_t>(c)) + " " : std::string(1, c));
    ++I;

    if (maxLineLength_ != 0 && column_ >= maxLineLength_) {
      if (inText(I)) result += kLineBreak;
      column_ = 0;
    }
  }
  if (flags.Contains(lfAutoCR)) {
    result += kLineBreak;
    column_ = 0;
  }
  lastChannel_ = aChannel;
  lastName_ = aLogName;
  aResult = std::move(result);
}

}  // namespace qorvel
