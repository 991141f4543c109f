#pragma once
// EMI frames: STX, datagram, ETX. A datagram is the header
// "TRN/LEN/O|R/OT/", the data part, a "/" and a two-digit hex checksum; the
// datagram body is the datagram without its checksum.
//
// Pure codecs: nothing here throws.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qorvel {

inline constexpr char STX = '\x02';
inline constexpr char ETX = '\x03';
inline constexpr std::size_t kMinDatagramLength = 17;
// LEN has five digits.
inline constexpr std::size_t kMaxDatagramLength = 99999;
inline constexpr std::size_t kMaxFrameLength = kMaxDatagramLength + 2;
inline constexpr std::size_t kMaxDataLength = kMaxDatagramLength - kMinDatagramLength;

inline constexpr char kBadFormat[] = "Bad received datagram format";
inline constexpr char kBadLength[] = "Bad received datagram length";
inline constexpr char kBadChecksum[] = "Bad check sum";

// Sum of the octets modulo 256.
uint8_t Checksum(std::string_view text);

// The whole frame, or nullopt when it cannot be composed faithfully: TRN or OT
// outside 0 to 99, or a data part longer than kMaxDataLength.
std::optional<std::string> ComposeFrame(int aOT, int aTRN, bool aResult, std::string_view aData);
// Why ComposeFrame() refuses these inputs, or nullptr when it would not.
const char* ComposeFrameError(int aOT, int aTRN, std::string_view aData);

struct TDatagram {
  uint8_t OT = 0;
  uint8_t TRN = 0;
  bool Result = false;
  std::string Data;  // fields 4 onwards as they stand, the trailing "/" included
};

// Takes a validated datagram body apart; false when TRN or OT is not an integer.
bool ParseDatagram(std::string_view body, TDatagram& out);

// How a result datagram reads as an answer to an operation.
struct TAnswer {
  bool IsAnswer = false;  // field 4 begins with "A" or "N"
  bool Ack = false;
  int ErrorCode = 0;  // NAK only: field 5, or -1 when it is not an integer
  std::string Text;   // the data part
};
TAnswer ReadAnswer(std::string_view body);

// The text of a frame as logged on channels 1 and 2: STX and ETX shown as
// "<STX>" and "<ETX>".
std::string FrameLogText(std::string_view frame);

// Cuts frames out of a received byte stream: from an STX through the first
// ETX after it. Keeps a partial frame between calls to Feed(); bytes that
// precede an STX are dropped at once. A frame holds no STX after its first
// byte: an STX inside a partial frame drops that partial frame with kBadFormat
// (no OnFrame; a lone STX is dropped silently) and assembly restarts at the
// new STX. A partial frame that
// reaches kMaxFrameLength bytes without its ETX could only end longer than any
// valid frame: it is dropped with kBadFormat too, so memory stays bounded. The
// events do not depend on how the stream is cut into chunks, and Feed() runs
// in time linear in the chunk. Not thread-safe: one receiving thread feeds it;
// the sink must not call Feed() again.
class TFrameAssembler {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    // Every complete frame, before it is checked (the channel-2 log line).
    virtual void OnFrame(std::string_view frame) = 0;
    // A rejection message (channel 3): kBadFormat, kBadLength or kBadChecksum.
    virtual void OnBadFrame(std::string_view message) = 0;
    // The body of each frame that passed every check.
    virtual void OnDatagram(std::string_view body) = 0;
    // Once true, Feed() returns without looking at the rest of its chunk and
    // forgets any partial frame.
    virtual bool Stopped() const { return false; }
  };

  void Feed(std::string_view chunk, Sink& sink);
  std::size_t Pending() const { return buffer_.size(); }
  void Clear() { buffer_.clear(); }

 private:
  static void Emit(std::string_view frame, Sink& sink);

  std::string
      buffer_;  // empty, or an STX-led partial frame with no STX or ETX after its first byte
};

// Checks one frame (STX through ETX); the body on success, or the rejection
// message in `error`.
std::optional<std::string_view> ValidateFrame(std::string_view frame, const char*& error);

}  // namespace qorvel
