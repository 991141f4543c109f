#pragma once
// Messages as qorvelctl takes them from outside, checked before anything goes
// to Qorvel.
#include <QByteArray>
#include <QString>
#include <optional>

namespace qorvelctl {

// What the window lets a user type; longer ones the SMSC would refuse anyway.
inline constexpr qsizetype kMaxTextOctets = 160;
inline constexpr qsizetype kMaxBinaryOctets = 140;
inline constexpr qsizetype kMaxNumberDigits = 16;

// Octets as text a terminal shows safely: printable ASCII as is, the rest \xHH.
QString Escaped(const QByteArray& aOctets);

// Why aNumber cannot be a recipient, or empty when it can: digits only, after
// an optional "+" (international) or "#" (as is). Anything else could end up
// in the frame's other fields.
QString NumberProblem(const QByteArray& aNumber);
// Why a message of aSize octets is too long, or empty.
QString LengthProblem(qsizetype aSize, bool aBinary);
// The octets that pairs of hex digits stand for; nothing when aHex is not that.
std::optional<QByteArray> FromHex(const QByteArray& aHex);

}  // namespace qorvelctl
