#pragma once
// A logger that turns each text into log lines by its flags and writes them to
// a byte stream that a descendant creates in its open step.
//
// Threads: WriteLog (TLogger) from any thread. The formatter's memory (last
// name, last channel, column) and the stream are guarded by the logger's
// lock; the memory lives as long as the logger and survives closing. The
// settings and OnDivideStream are set on the main thread while nobody logs.
#include <cstdint>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "connect/log_stream.h"
#include "connect/logger.h"

namespace qorvel {

enum TLogFormatFlag : std::uint8_t {
  lfInsertName,
  lfInsertChannel,
  lfDivideNames,
  lfDivideChannels,
  lfDivideStream,
  lfHexadecimal,
  lfStamp,
  lfAutoCR,
};

// A set of TLogFormatFlag in one byte, bit n for value n.
class TLogFormatFlags {
 public:
  constexpr TLogFormatFlags() = default;
  constexpr TLogFormatFlags(std::initializer_list<TLogFormatFlag> flags) {
    for (TLogFormatFlag f : flags) bits_ = static_cast<std::uint8_t>(bits_ | (1u << f));
  }
  static constexpr TLogFormatFlags FromByte(std::uint8_t bits) {
    TLogFormatFlags result;
    result.bits_ = bits;
    return result;
  }
  constexpr std::uint8_t Byte() const { return bits_; }
  constexpr bool Contains(TLogFormatFlag f) const { return (bits_ >> f) & 1u; }
  constexpr bool operator==(const TLogFormatFlags&) const = default;

 private:
  std::uint8_t bits_ = 0;
};

// aText is the formatter's own copy of the text and I the 1-based position of
// the character about to be written; the formatter goes on with whatever the
// handler leaves in both.
using TOnDivideStream =
    std::function<void(TComponent* Sender, const std::string& aLogName, std::uint8_t aChannel,
                       std::string& aText, int& I, bool& aDivide)>;

// Where the stamp takes the current time from.
using TLogClock = std::function<std::time_t()>;

class TStreamLogger : public TLogger {
 public:
  explicit TStreamLogger(TComponent* aOwner = nullptr);

  TLogFormatFlags LogFlags() const { return logFlags_; }
  void SetLogFlags(TLogFormatFlags value) { logFlags_ = value; }
  // 0: no wrapping.
  std::int32_t MaxLineLength() const { return maxLineLength_; }
  void SetMaxLineLength(std::int32_t value) { maxLineLength_ = value; }

  TOnDivideStream OnDivideStream;
  // The system clock unless replaced.
  TLogClock Clock;

 protected:
  // Moves the stream, which the descendant has just created, to its end.
  void DoOpen() override;
  void WriteText(const std::string& aText) override REQUIRES(lock_);
  void FormatText(const std::string& aLogName, std::uint8_t aChannel, const std::string& aText,
                  std::string& aResult) override REQUIRES(lock_);
  virtual bool DoDivideStream(const std::string& aLogName, std::uint8_t aChannel,
                              std::string& aText, int& I);

  // Created by the descendant's DoOpen, released by its DoClose.
  std::unique_ptr<TLogStream> stream_ GUARDED_BY(lock_);

 private:
  std::string Stamp() const;
  // Appends output that counts towards the line length.
  void Append(std::string& aResult, const std::string& aCounted) REQUIRES(lock_);

  TLogFormatFlags logFlags_;
  std::int32_t maxLineLength_;
  std::uint8_t lastChannel_ GUARDED_BY(lock_) = 0;
  std::string lastName_ GUARDED_BY(lock_);
  std::int32_t column_ GUARDED_BY(lock_) = 0;
};

}  // namespace qorvel
