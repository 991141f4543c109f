#pragma once
// The byte stream a stream logger writes to. The logger owns it and uses it
// only under its own lock.
#include <string_view>

namespace qorvel {

class TLogStream {
 public:
  virtual ~TLogStream() = default;
  // Moves the write position to the end, so that output is appended.
  virtual void SeekEnd() = 0;
  // Writes every byte of data or throws.
  virtual void Write(std::string_view data) = 0;
};

}  // namespace qorvel
