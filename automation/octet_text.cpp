#include "automation/octet_text.h"

namespace qorvel {

QString OctetsToText(const std::string& aOctets) {
  QString text;
  text.reserve(static_cast<qsizetype>(aOctets.size()));
  for (unsigned char c : aOctets)
    text.append(c == 0 ? QChar(QChar::ReplacementCharacter) : QChar(c));
  return text;
}

bool TextToOctets(const QString& aText, std::string& aOctets) {
  std::string octets;
  octets.reserve(static_cast<std::size_t>(aText.size()));
  for (QChar c : aText) {
    if (c.unicode() > 0xFF) return false;
    octets.push_back(static_cast<char>(c.unicode()));
  }
  aOctets.swap(octets);
  return true;
}

}  // namespace qorvel
