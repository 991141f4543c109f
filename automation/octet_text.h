#pragma once
// Octet strings in D-Bus strings. A D-Bus string is UTF-8 without NUL, so an
// octet string travels one character per octet (Latin-1): every octet from 1
// to 255 comes back unchanged, whatever its meaning as UTF-8.
#include <QString>
#include <string>

namespace qorvel {

// Octet 0 cannot travel in a D-Bus string; it becomes U+FFFD.
QString OctetsToText(const std::string& aOctets);
// False, leaving aOctets untouched, when a character lies above U+00FF.
bool TextToOctets(const QString& aText, std::string& aOctets);

}  // namespace qorvel
