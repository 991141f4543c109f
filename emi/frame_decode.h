#pragma once
// A frame taken apart for a person reading traffic: the header, the checksum
// and length verdicts, and every field with its name and what its value
// means. Unlike ValidateFrame() it keeps going past the first fault, because
// an operator wants to see what a broken frame carried as much as a good one.
//
// Pure functions on any text; any input gives a defined result and nothing
// here throws (short of running out of memory).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qorvel {

struct TDecodedField {
  std::string Name;     // "AdC", or "field N" past the names known
  std::string Raw;      // as in the frame; empty for a hidden value
  std::string Shown;    // what the value means, for a person; may repeat Raw
  bool Hidden = false;  // a password: Raw is withheld and Shown says only its length
};

struct TDecodedFrame {
  bool Found = false;  // a frame's delimiters were found, raw or as logged
  std::string TRN;     // the header fields as written
  std::string LEN;
  std::string Kind;     // "O" or "R" when well formed
  bool Result = false;  // Kind is "R"
  std::string OT;
  std::string Operation;         // "Submit short message", or "Operation NN"
  std::size_t RealLength = 0;    // octets between the delimiters
  bool LengthOk = false;         // LEN is five digits and equals RealLength
  std::string ChecksumGiven;     // as written
  std::string ChecksumComputed;  // two upper-case hex digits
  bool ChecksumOk = false;
  // What is wrong with the frame beyond its length and checksum, each
  // naming the value at fault.
  std::vector<std::string> Problems;
  std::vector<TDecodedField> Fields;
};

// The first frame in aText: STX through ETX as raw octets, or "<STX>" through
// "<ETX>" as the logs write them, with any other text around it.
TDecodedFrame DecodeFrame(std::string_view aText);

// One line per item: the operation, checksum and length verdicts, problems,
// then "Name: shown value" (empty fields left out, except in a result).
// Octets that are not printable ASCII appear as \xNN.
std::string DecodedText(const TDecodedFrame& aFrame);
// One JSON object on one line, ASCII only: octets from 0x80 up are written as
// the Latin-1 characters \u0080 to \u00FF.
std::string DecodedJson(const TDecodedFrame& aFrame);

// The name of operation type aOT (0 to 99): "Alert", or "Operation NN".
std::string OperationName(int aOT);

}  // namespace qorvel
