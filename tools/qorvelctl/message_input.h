#pragma once
// Messages as qorvelctl takes them from outside, on its command line or from
// a file, checked before anything goes to Qorvel.
#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

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

// One message line of a send file.
struct TMessageLine {
  int Line = 0;       // counted from 1, blank lines included
  QByteArray Number;  // as given, even when it is wrong
  QByteArray Octets;  // the message
  QString Problem;    // why it cannot be sent; empty when it can
};

// The lines of aInput that are not blank, each "number,text" the way CSV
// quotes: a field in double quotes may hold commas, and "" in it stands for
// one quote. A quoted field ends on its own line. With aHex, text is pairs of
// hex digits. A trailing CR and a leading UTF-8 byte order mark are dropped.
std::vector<TMessageLine> ReadMessageLines(const QByteArray& aInput, bool aHex);

}  // namespace qorvelctl
