#pragma once
// Texts for EMI codes: delivery statuses, operation errors of a negative
// acknowledgement, and delivery failure reasons; and the helper that raises
// EEMIError.
//
// A code table is one text of entries "code-text", each followed by the
// octet 1. All codes of a table have the same number of digits, leading
// zeros included. Nothing here keeps state; any thread may call it.
#include <string>
#include <string_view>

namespace qorvel {

// One digit: 0 delivered, 1 buffered, 2 not delivered.
extern const std::string_view DeliveryStatusTexts;
// Two digits.
extern const std::string_view OperationErrorTexts;
// Three digits.
extern const std::string_view ReasonCodeTexts;

// The entry for `aNumber` in `aTable`, the code width taken from the table's
// first entry; empty when no entry carries the code. EEMIError -1 "Bad
// resource string array parameter" when the table has no "-" or starts with
// one.
std::string CodeText(int aNumber, std::string_view aTable);
// The first entry that begins with `aCode` and "-", whole and without its
// separator; empty when there is none.
std::string FindCodeEntry(std::string_view aCode, std::string_view aTable);
// The whole entry, code included ("02-Syntax error"), or the empty text.
std::string OperationErrorText(int aNumber);
std::string ReasonText(int aNumber);

// Raises EEMIError with `aMessage` and ErrorCode `aCode` (-1 for a failure
// the client found itself).
[[noreturn]] void RaiseEMIError(int aCode, const std::string& aMessage);

}  // namespace qorvel
