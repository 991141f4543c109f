#include "connect/communication_connection.h"

#include <memory>

#include "connect/main_thread.h"

namespace qorvel {

TCommunicationConnection::TCommunicationConnection(TComponent* aOwner) : TLogConnection(aOwner) {}

void TCommunicationConnection::StartOpen(TOpenDone aDone) {
  std::exception_ptr failure;
  try {
    Open();
  } catch (...) {
    failure = std::current_exception();
  }
  main_thread::PostDelayed(0, [aDone = std::move(aDone), failure] { aDone(failure); });
}

int TCommunicationConnection::WriteString(const std::string& aText) {
  return WriteBuffer(aText.data(), static_cast<int>(aText.size()));
}

std::string TCommunicationConnection::ReadString(int aCount) {
  if (aCount <= 0) return {};
  std::string buffer(static_cast<std::size_t>(aCount), '\0');
  int n = ReadBuffer(buffer.data(), aCount);
  // A transport reporting more than it was given room for, or an error
  // count, must not turn into garbage or a negative length.
  if (n < 0) n = 0;
  if (n > aCount) n = aCount;
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

void TCommunicationConnection::DoRxChar(int Count) {
  TCommRxCharEvent handler = OnRxChar.Get();
  if (handler) handler(this, Count);
}

void TCommunicationConnection::DoLinkLost() {
  const auto handler = OnLinkLost.Get();
  if (handler) handler(this);
}

}  // namespace qorvel
