#include "tools/qorvelctl/message_input.h"

namespace qorvelctl {

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A wrong value in a message, cut short: a whole line of it helps nobody.
QString Shown(const QByteArray& aOctets) {
  constexpr qsizetype kShown = 40;
  if (aOctets.size() <= kShown) return Escaped(aOctets);
  return Escaped(aOctets.left(kShown)) + QStringLiteral("...");
}

}  // namespace

QString Escaped(const QByteArray& aOctets) {
  QString text;
  for (char c : aOctets) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\' && u != '"') {
      text += QLatin1Char(c);
    } else {
      text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
  }
  return text;
}

QString NumberProblem(const QByteArray& aNumber) {
  QByteArray digits = aNumber;
  if (digits.startsWith('+') || digits.startsWith('#')) digits.remove(0, 1);
  bool ok = !digits.isEmpty() && digits.size() <= kMaxNumberDigits;
  for (char c : digits) ok = ok && c >= '0' && c <= '9';
  if (ok) return {};
  return QStringLiteral("\"%1\" is not 1 to %2 digits after an optional + or #")
      .arg(Shown(aNumber))
      .arg(kMaxNumberDigits);
}

QString LengthProblem(qsizetype aSize, bool aBinary) {
  const qsizetype max = aBinary ? kMaxBinaryOctets : kMaxTextOctets;
  if (aSize <= max) return {};
  return QStringLiteral("%1 octets, at most %2 %3")
      .arg(aSize)
      .arg(max)
      .arg(aBinary ? QStringLiteral("of 8-bit data") : QStringLiteral("of text"));
}

std::optional<QByteArray> FromHex(const QByteArray& aHex) {
  if (aHex.size() % 2 != 0) return std::nullopt;
  for (char c : aHex) {
    if (!IsHexDigit(c)) return std::nullopt;
  }
  return QByteArray::fromHex(aHex);
}

}  // namespace qorvelctl
