#include "transport/tapi_errors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "connect/errors.h"

namespace qorvel {
namespace {

int32_t Code(uint32_t value) {
  return static_cast<int32_t>(value);
}

// The published line error names, in code order.
const std::vector<std::string> kLineErrorNames = {
    "ALLOCATED",
    "BADDEVICEID",
    "BEARERMODEUNAVAIL",
    "CALLUNAVAIL",
    "COMPLETIONOVERRUN",
    "CONFERENCEFULL",
    "DIALBILLING",
    "DIALDIALTONE",
    "DIALPROMPT",
    "DIALQUIET",
    "INCOMPATIBLEAPIVERSION",
    "INCOMPATIBLEEXTVERSION",
    "INUSE",
    "INVALADDRESS",
    "INVALADDRESSID",
    "INVALADDRESSMODE",
    "INVALADDRESSSTATE",
    "INVALAPPHANDLE",
    "INVALAPPNAME",
    "INVALBEARERMODE",
    "INVALCALLCOMPLMODE",
    "INVALCALLHANDLE",
    "INVALCALLPARAMS",
    "INVALCALLPRIVILEGE",
    "INVALCALLSELECT",
    "INVALCALLSTATE",
    "INVALCALLSTATELIST",
    "INVALCARD",
    "INVALCOMPLETIONID",
    "INVALCONSULTCALLHANDLE",
    "INVALCOUNTRYCODE",
    "INVALDEVICECLASS",
    "INVALDEVICEHANDLE",
    "INVALDIALPARAMS",
    "INVALDIGITLIST",
    "INVALDIGITMODE",
    "INVALDIGITS",
    "INVALEXTVERSION",
    "INVALGROUPID",
    "INVALLINEHANDLE",
    "INVALLINESTATE",
    "INVALLOCATION",
    "INVALMEDIALIST",
    "INVALMEDIAMODE",
    "INVALMESSAGEID",
    "INVALPARAM",
    "INVALPARKID",
    "INVALPARKMODE",
    "INVALPOINTER",
    "INVALPRIVSELECT",
    "INVALRATE",
    "INVALREQUESTMODE",
    "INVALTERMINALMODE",
    "INVALTIMEOUT",
    "INVALTONE",
    "INVALTONELIST",
    "INVALTONEMODE",
    "INVALTRANSFERMODE",
    "LINEMAPPERFAILED",
    "NOCONFERENCE",
    "NODEVICE",
    "NODRIVER",
    "NOMEM",
    "NOREQUEST",
    "NOTOWNER",
    "NOTREGISTERED",
    "OPERATIONFAILED",
    "OPERATIONUNAVAIL",
    "RATEUNAVAIL",
    "RESOURCEUNAVAIL",
    "REQUESTOVERRUN",
    "STRUCTURETOOSMALL",
    "TARGETNOTFOUND",
    "TARGETSELF",
    "UNINITIALIZED",
    "USERUSERINFOTOOBIG",
    "REINIT",
    "ADDRESSBLOCKED",
    "BILLINGREJECTED",
    "INVALFEATURE",
    "NOMULTIPLEINSTANCE",
    "INVALAGENTID",
    "INVALAGENTGROUP",
    "INVALPASSWORD",
    "INVALAGENTSTATE",
    "INVALAGENTACTIVITY",
    "DIALVOICEDETECT",
};

TEST(TAPIErrorText, EveryLineErrorHasItsNameInCodeOrderAndTheFiveGapsHaveNone) {
  const std::vector<uint32_t> gaps = {0x80000004, 0x8000000E, 0x80000020, 0x80000031, 0x80000039};
  std::size_t next = 0;
  for (uint32_t code = 0x80000001; code <= 0x8000005C; ++code) {
    SCOPED_TRACE(code);
    const std::string text = TAPIErrorText(Code(code));
    if (std::find(gaps.begin(), gaps.end(), code) != gaps.end()) {
      EXPECT_EQ(text.find("LINEERR_"), std::string::npos) << text;
      continue;
    }
    ASSERT_LT(next, kLineErrorNames.size());
    EXPECT_EQ(text, "TAPI error: LINEERR_" + kLineErrorNames[next]);
    ++next;
  }
  EXPECT_EQ(next, 87u);
  EXPECT_EQ(kLineErrorNames.size(), 87u);
}

TEST(TAPIErrorText, KnownCodesOfTheLineRange) {
  EXPECT_EQ(TAPIErrorText(Code(0x80000044)), "TAPI error: LINEERR_NOMEM");
  EXPECT_EQ(TAPIErrorText(Code(0x80000043)), "TAPI error: LINEERR_NODRIVER");
  EXPECT_EQ(TAPIErrorText(Code(0x80000001)), "TAPI error: LINEERR_ALLOCATED");
  EXPECT_EQ(TAPIErrorText(Code(0x8000005C)), "TAPI error: LINEERR_DIALVOICEDETECT");
}

TEST(TAPIErrorText, CodesWithoutEntryShowTheSystemNumberInUpperCaseHex) {
  EXPECT_EQ(TAPIErrorText(Code(0x80000004)), "TAPI error: E004");
  EXPECT_EQ(TAPIErrorText(Code(0x8000000E)), "TAPI error: E00E");
  EXPECT_EQ(TAPIErrorText(Code(0x80000039)), "TAPI error: E039");
  EXPECT_EQ(TAPIErrorText(Code(0x8000005D)), "TAPI error: E05D");
  EXPECT_EQ(TAPIErrorText(Code(0x80000000)), "TAPI error: E000");
  // PHONEERR_ codes have no entries of their own.
  EXPECT_EQ(TAPIErrorText(Code(0x90000001)), "TAPI error: F001");
  EXPECT_EQ(TAPIErrorText(Code(0x9000002A)), "TAPI error: F02A");
  // The top range keeps its low 16 bits.
  EXPECT_EQ(TAPIErrorText(Code(0xFFFF0001)), "TAPI error: 1");
  EXPECT_EQ(TAPIErrorText(Code(0xFFFFABCD)), "TAPI error: ABCD");
  EXPECT_EQ(TAPIErrorText(Code(0xFFFFFFFF)), "TAPI error: FFFF");
  // Just below it the PHONEERR_ rule applies (bit 0x10000000 is set).
  EXPECT_EQ(TAPIErrorText(Code(0xFFFF0000)), "TAPI error: 6FFFF000");
}

TEST(TAPISystemNumber, MapsEachRangeModulo32Bits) {
  EXPECT_EQ(TAPISystemNumber(Code(0x80000044)), 0xE044u);
  EXPECT_EQ(TAPISystemNumber(Code(0x800000FF)), 0xE0FFu);
  EXPECT_EQ(TAPISystemNumber(Code(0x90000044)), 0xF044u);
  EXPECT_EQ(TAPISystemNumber(Code(0xFFFF0001)), 0x0001u);
  EXPECT_EQ(TAPISystemNumber(Code(0xFFFFFFFF)), 0xFFFFu);
  EXPECT_EQ(TAPISystemNumber(Code(0xC0000001)), 0x4000E001u);
}

TEST(TAPICheck, PassesResultsOfZeroOrMoreAndRaisesNegativeOnes) {
  EXPECT_EQ(TAPICheck(0), 0);
  EXPECT_EQ(TAPICheck(17), 17);
  EXPECT_EQ(TAPICheck(INT32_MAX), INT32_MAX);
  try {
    TAPICheck(Code(0x80000044));
    ADD_FAILURE() << "no ETAPIError";
  } catch (const ETAPIError& error) {
    EXPECT_STREQ(error.what(), "TAPI error: LINEERR_NOMEM");
  }
  EXPECT_THROW(TAPICheck(-1), ETAPIError);
  // A telephony failure is not a connection component's error.
  static_assert(std::is_base_of_v<std::exception, ETAPIError>);
  static_assert(!std::is_base_of_v<EConnectError, ETAPIError>);
}

}  // namespace
}  // namespace qorvel
