#pragma once
// A divide-stream handler for the EMI traffic log: every frame sent
// (channel 1) or received (channel 2) starts a line of its own, even when two
// frames follow each other on one channel. The engine has already replaced
// the STX byte by the text "<STX>". Its signature fits TOnDivideStream.
#include <cstdint>
#include <string>

namespace qorvel {

class TComponent;

void DivideAtFrameStart(TComponent* Sender, const std::string& aLogName, std::uint8_t aChannel,
                        std::string& aText, int& I, bool& aDivide);

}  // namespace qorvel
