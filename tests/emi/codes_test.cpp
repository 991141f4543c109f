#include "emi/codes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connect/errors.h"
#include "emi/codec.h"

namespace qorvel {
namespace {

const std::vector<std::string> kDeliveryStatuses = {"0-delivered", "1-buffered", "2-not delivered"};

const std::vector<std::string> kOperationErrors = {
    "01-Checksum error",
    "02-Syntax error",
    "03-Operation not supported by system",
    "04-Operation not allowed",
    "05-Call barring active",
    "06-AdC invalid",
    "07-Authentication failure",
    "08-Legitimisation code for all calls, failure",
    "09-GA not valid",
    "10-Repetition not allowed",
    "11-Legitimisation code for repetition, failure",
    "12-Priority call not allowed",
    "13-Legitimisation code for priority call, failure",
    "14-Urgent message not allowed",
    "15-Legitimisation code for urgent message, failure",
    "16-Reverse charging not allowed",
    "17-Legitimisation code for rev. charging, failure",
    "18-Deferred delivery not allowed",
    "19-New AC not valid",
    "20-New legitimisation code not valid",
    "21-Standard text not valid",
    "22-Time period not valid",
    "23-Message type not supported by system",
    "24-Message too long",
    "25-Requested standard text not valid",
    "26-Message type not valid for the pager type",
    "27-Message not found in smsc",
    "30-Subscriber hang-up",
    "31-Fax group not supported",
    "32-Fax message type not supported",
    "33-Address already in list (60 series)",
    "34-Address not in list (60 series)",
    "35-List full, cannot add address to list (60 series)",
    "36-RPID already in use",
    "37-Delivery in progress",
    "38-Message forwarded",
};

const std::vector<std::string> kReasons = {
    "000-Unknown subscriber",
    "001-Service temporary not available",
    "002-Service temporary not available",
    "003-Service temporary not available",
    "004-Service temporary not available",
    "005-Service temporary not available",
    "006-Service temporary not available",
    "007-Service temporary not available",
    "008-Service temporary not available",
    "009-Illegal error code",
    "010-Network time-out",
    "100-Facility not supported",
    "101-Unknown subscriber",
    "102-Facility not provided",
    "103-Call barred",
    "104-Operation barred",
    "105-SC congestion",
    "106-Facility not supported",
    "107-Absent subscriber",
    "108-Delivery fail",
    "109-Sc congestion",
    "110-Protocol error",
    "111-MS not equipped",
    "112-Unknown SC",
    "113-SC congestion",
    "114-Illegal MS",
    "115-MS not a subscriber",
    "116-Error in MS",
    "117-SMS lower layer not provisioned",
    "118-System fail",
    "119-PLMN system failure",
    "120-HLR system failure",
    "121-VLR system failure",
    "122-Previous VLR system failure",
    "123-Controlling MSC system failure",
    "124-VMSC system failure",
    "125-EIR system failure",
    "126-System failure",
    "127-Unexpected data value",
    "200-Error in address service centre",
    "201-Invalid absolute Validity Period",
    "202-Short message exceeds maximum",
    "203-Unable to Unpack GSM message",
    "204-Unable to convert to IA5 ALPHABET",
    "205-Invalid validity period format",
    "206-Invalid destination address",
    "207-Duplicate message submit",
    "208-Invalid message type indicator",
};

// The table text as it must be: every entry followed by the octet 1.
std::string Joined(const std::vector<std::string>& entries) {
  std::string text;
  for (const auto& entry : entries) text += entry + '\x01';
  return text;
}

int CodeOf(const std::string& entry) {
  return ReadInteger(entry.substr(0, entry.find('-')));
}

TEST(CodeTables, HoldEveryEntryInOrderEachFollowedByOctetOne) {
  EXPECT_EQ(std::string(DeliveryStatusTexts), Joined(kDeliveryStatuses));
  EXPECT_EQ(std::string(OperationErrorTexts), Joined(kOperationErrors));
  EXPECT_EQ(std::string(ReasonCodeTexts), Joined(kReasons));
}

TEST(CodeTables, EveryEntryIsFoundByItsNumber) {
  for (const auto& entry : kDeliveryStatuses) {
    EXPECT_EQ(CodeText(CodeOf(entry), DeliveryStatusTexts), entry);
  }
  for (const auto& entry : kOperationErrors) {
    EXPECT_EQ(OperationErrorText(CodeOf(entry)), entry);
    EXPECT_EQ(CodeText(CodeOf(entry), OperationErrorTexts), entry);
  }
  for (const auto& entry : kReasons) {
    EXPECT_EQ(ReasonText(CodeOf(entry)), entry);
    EXPECT_EQ(CodeText(CodeOf(entry), ReasonCodeTexts), entry);
  }
}

TEST(CodeText, TakesTheCodeWidthFromTheTable) {
  EXPECT_EQ(CodeText(1, DeliveryStatusTexts), "1-buffered");
  EXPECT_EQ(CodeText(5, DeliveryStatusTexts), "");
  EXPECT_EQ(CodeText(2, OperationErrorTexts), "02-Syntax error");
  EXPECT_EQ(CodeText(7, ReasonCodeTexts), "007-Service temporary not available");
  EXPECT_EQ(CodeText(-1, DeliveryStatusTexts), "");
  EXPECT_EQ(CodeText(10, DeliveryStatusTexts), "");
  // Wider numbers are written whole and so match no entry of a narrow table.
  EXPECT_EQ(CodeText(102, OperationErrorTexts), "");
  const std::string wide =
      "0042-answer\x01"
      "1000-thousand";
  EXPECT_EQ(CodeText(42, wide), "0042-answer");
  EXPECT_EQ(CodeText(1000, wide), "1000-thousand");
  EXPECT_EQ(CodeText(4, wide), "");
}

TEST(CodeText, RejectsATableWithoutACodeInFront) {
  for (const std::string table : {"", "no dash here\x01", "-x\x01", "-"}) {
    SCOPED_TRACE(table);
    try {
      CodeText(1, table);
      ADD_FAILURE() << "no EEMIError";
    } catch (const EEMIError& error) {
      EXPECT_EQ(error.ErrorCode, -1);
      EXPECT_STREQ(error.what(), "Bad resource string array parameter");
    }
  }
}

TEST(FindCodeEntry, MatchesTheWholeCodeAndReturnsTheEntryWithoutItsSeparator) {
  EXPECT_EQ(FindCodeEntry("38", OperationErrorTexts), "38-Message forwarded");
  EXPECT_EQ(FindCodeEntry("0", DeliveryStatusTexts), "0-delivered");
  // A code is followed by "-": a shorter or longer code is a different one.
  EXPECT_EQ(FindCodeEntry("00", ReasonCodeTexts), "");
  EXPECT_EQ(FindCodeEntry("1", ReasonCodeTexts), "");
  EXPECT_EQ(FindCodeEntry("0000", ReasonCodeTexts), "");
  EXPECT_EQ(FindCodeEntry("", ReasonCodeTexts), "");
  // The first of equal codes wins; a last entry without separator is found.
  EXPECT_EQ(FindCodeEntry("7",
                          "7-first\x01"
                          "7-second\x01"),
            "7-first");
  EXPECT_EQ(FindCodeEntry("9",
                          "1-one\x01"
                          "9-nine"),
            "9-nine");
  // Codes are matched at the start of an entry only.
  EXPECT_EQ(FindCodeEntry("2", "1-see 2-two\x01"), "");
  EXPECT_EQ(FindCodeEntry("1", ""), "");
}

TEST(OperationErrorText, WritesTheNumberWithAtLeastTwoDigits) {
  EXPECT_EQ(OperationErrorText(2), "02-Syntax error");
  EXPECT_EQ(OperationErrorText(38), "38-Message forwarded");
  EXPECT_EQ(OperationErrorText(28), "");
  EXPECT_EQ(OperationErrorText(0), "");
  EXPECT_EQ(OperationErrorText(100), "");
  EXPECT_EQ(OperationErrorText(-1), "");
}

TEST(ReasonText, WritesTheNumberWithAtLeastThreeDigits) {
  EXPECT_EQ(ReasonText(107), "107-Absent subscriber");
  EXPECT_EQ(ReasonText(0), "000-Unknown subscriber");
  EXPECT_EQ(ReasonText(10), "010-Network time-out");
  EXPECT_EQ(ReasonText(11), "");
  EXPECT_EQ(ReasonText(209), "");
  EXPECT_EQ(ReasonText(1107), "");
}

TEST(RaiseEMIError, RaisesTheCodeAndMessageAsAConnectionError) {
  try {
    RaiseEMIError(24, "24-Message too long");
    ADD_FAILURE() << "no exception";
  } catch (const EConnectError& error) {
    const auto* emi = dynamic_cast<const EEMIError*>(&error);
    ASSERT_NE(emi, nullptr);
    EXPECT_EQ(emi->ErrorCode, 24);
    EXPECT_STREQ(error.what(), "24-Message too long");
  }
  EXPECT_THROW(RaiseEMIError(-1, "x"), EComError);
}

}  // namespace
}  // namespace qorvel
