#include "emi/items.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emi/codec.h"

namespace qorvel {
namespace {

using namespace std::string_literals;

// A data part of 33 empty fields with the given ones filled in.
std::string DataPart(const std::vector<std::pair<int, std::string>>& filled) {
  std::vector<std::string> fields(33);
  for (const auto& [index, value] : filled) fields[index] = value;
  return JoinFields(fields);
}

TDateTime At(int year, int month, int day, int hour, int minute, int second) {
  return EncodeDateTime({year, month, day, hour, minute, second, 0});
}

TEST(ParseDeliveredMessage, ReadsEveryFieldFromItsPosition) {
  auto item = ParseDeliveredMessage(DataPart({{0, "1234"},
                                              {1, "0031612345678"},
                                              {12, "3112031859"},
                                              {13, "0127"},
                                              {14, "070503140559"},
                                              {18, "3"},
                                              {20, "48656C6C6F"},
                                              {24, "1"},
                                              {25, "2"}}));
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->DA, "#1234");
  EXPECT_EQ(item->OA, "+31612345678");
  EXPECT_DOUBLE_EQ(item->VP, At(2003, 12, 31, 18, 59, 0));
  EXPECT_EQ(item->PID, 127);
  EXPECT_DOUBLE_EQ(item->SCTS, At(2003, 5, 7, 14, 5, 59));
  EXPECT_FALSE(item->Binary);
  EXPECT_EQ(item->Msg, "Hello");
  EXPECT_EQ(item->MCLs, 1);
  EXPECT_EQ(item->RPI, 2);
}

TEST(ParseDeliveredMessage, OnlyMessageTypeFourIsBinaryAndEveryMessageIsHexDecoded) {
  for (const char* type : {"4", "3", "2", ""}) {
    SCOPED_TRACE(type);
    auto item = ParseDeliveredMessage(DataPart({{18, type}, {20, "00FF41"}}));
    EXPECT_EQ(item->Binary, std::string(type) == "4");
    EXPECT_EQ(item->Msg,
              "\x00\xFF"s
              "A");
  }
  // Only the exact text counts: a padded or longer type is not data.
  EXPECT_FALSE(ParseDeliveredMessage(DataPart({{18, "04"}}))->Binary);
  EXPECT_FALSE(ParseDeliveredMessage(DataPart({{18, "4 "}}))->Binary);
}

TEST(ParseDeliveredMessage, EightBitFieldsKeepTheLowEightBits) {
  auto item = ParseDeliveredMessage(DataPart({{13, "0539"}, {24, "256"}, {25, "257"}}));
  EXPECT_EQ(item->PID, 27);
  EXPECT_EQ(item->MCLs, 0);
  EXPECT_EQ(item->RPI, 1);
}

TEST(ParseDeliveredMessage, MissingOrEmptyFieldsReadAsEmptyZeroAndNoTime) {
  for (const std::string& data : {""s, "/"s, "12345/6789"s, DataPart({})}) {
    SCOPED_TRACE(data);
    auto item = ParseDeliveredMessage(data);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->Msg, "");
    EXPECT_EQ(item->SCTS, 0.0);
    EXPECT_EQ(item->VP, 0.0);
    EXPECT_FALSE(item->Binary);
    EXPECT_EQ(item->PID, 0);
    EXPECT_EQ(item->MCLs, 0);
    EXPECT_EQ(item->RPI, 0);
  }
  auto shortData = ParseDeliveredMessage("12345/6789");
  EXPECT_EQ(shortData->DA, FromSmscAddress("12345"));
  EXPECT_EQ(shortData->OA, FromSmscAddress("6789"));
  // Garbage in a numeric field reads as the digits before it.
  EXPECT_EQ(ParseDeliveredMessage(DataPart({{13, "x9"}, {25, "7x"}}))->PID, 0);
  EXPECT_EQ(ParseDeliveredMessage(DataPart({{13, "x9"}, {25, "7x"}}))->RPI, 7);
}

TEST(ParseDeliveryNotification, ReadsEveryFieldAndSwapsTheAddresses) {
  auto item = ParseDeliveryNotification(DataPart({{0, "1234"},
                                                  {1, "0031612345678"},
                                                  {13, "0539"},
                                                  {14, "070503140559"},
                                                  {15, "2"},
                                                  {16, "107"},
                                                  {17, "0805031406"},
                                                  {20, "4D7367"}}));
  ASSERT_NE(item, nullptr);
  // The SMSC's AdC is our own address, the originator of the notified message.
  EXPECT_EQ(item->OA, "#1234");
  EXPECT_EQ(item->DA, "+31612345678");
  EXPECT_EQ(item->PID, 27);
  EXPECT_DOUBLE_EQ(item->SCTS, At(2003, 5, 7, 14, 5, 59));
  EXPECT_EQ(item->DeliveryStatus, 2);
  EXPECT_EQ(item->ReasonCode, 107);
  EXPECT_DOUBLE_EQ(item->DSCTS, At(2003, 5, 8, 14, 6, 0));
  EXPECT_EQ(item->Msg, "4D7367");
}

TEST(ParseDeliveryNotification, MissingFieldsReadAsEmptyZeroAndNoTime) {
  for (const std::string& data : {""s, "1234"s, DataPart({})}) {
    SCOPED_TRACE(data);
    auto item = ParseDeliveryNotification(data);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->DA, "");
    EXPECT_EQ(item->Msg, "");
    EXPECT_EQ(item->SCTS, 0.0);
    EXPECT_EQ(item->DSCTS, 0.0);
    EXPECT_EQ(item->PID, 0);
    EXPECT_EQ(item->DeliveryStatus, 0);
    EXPECT_EQ(item->ReasonCode, 0);
  }
  EXPECT_EQ(ParseDeliveryNotification(DataPart({{16, "300"}}))->ReasonCode, 44);
  // The hex text is not checked either: whatever came is kept.
  EXPECT_EQ(ParseDeliveryNotification(DataPart({{20, "zz1"}}))->Msg, "zz1");
}

}  // namespace
}  // namespace qorvel
