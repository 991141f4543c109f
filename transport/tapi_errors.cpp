#include "transport/tapi_errors.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace qorvel {

namespace {

struct TLineErrorEntry {
  uint32_t Code;
  const char* Text;
};

// The codes the Telephony API publishes; 0x80000004, 0x8000000E, 0x80000020,
// 0x80000031 and 0x80000039 are unused there and have no entry.
constexpr std::array<TLineErrorEntry, 87> kLineErrors = {{
    {0x80000001, "TAPI error: LINEERR_ALLOCATED"},
    {0x80000002, "TAPI error: LINEERR_BADDEVICEID"},
    {0x80000003, "TAPI error: LINEERR_BEARERMODEUNAVAIL"},
    {0x80000005, "TAPI error: LINEERR_CALLUNAVAIL"},
    {0x80000006, "TAPI error: LINEERR_COMPLETIONOVERRUN"},
    {0x80000007, "TAPI error: LINEERR_CONFERENCEFULL"},
    {0x80000008, "TAPI error: LINEERR_DIALBILLING"},
    {0x80000009, "TAPI error: LINEERR_DIALDIALTONE"},
    {0x8000000A, "TAPI error: LINEERR_DIALPROMPT"},
    {0x8000000B, "TAPI error: LINEERR_DIALQUIET"},
    {0x8000000C, "TAPI error: LINEERR_INCOMPATIBLEAPIVERSION"},
    {0x8000000D, "TAPI error: LINEERR_INCOMPATIBLEEXTVERSION"},
    {0x8000000F, "TAPI error: LINEERR_INUSE"},
    {0x80000010, "TAPI error: LINEERR_INVALADDRESS"},
    {0x80000011, "TAPI error: LINEERR_INVALADDRESSID"},
    {0x80000012, "TAPI error: LINEERR_INVALADDRESSMODE"},
    {0x80000013, "TAPI error: LINEERR_INVALADDRESSSTATE"},
    {0x80000014, "TAPI error: LINEERR_INVALAPPHANDLE"},
    {0x80000015, "TAPI error: LINEERR_INVALAPPNAME"},
    {0x80000016, "TAPI error: LINEERR_INVALBEARERMODE"},
    {0x80000017, "TAPI error: LINEERR_INVALCALLCOMPLMODE"},
    {0x80000018, "TAPI error: LINEERR_INVALCALLHANDLE"},
    {0x80000019, "TAPI error: LINEERR_INVALCALLPARAMS"},
    {0x8000001A, "TAPI error: LINEERR_INVALCALLPRIVILEGE"},
    {0x8000001B, "TAPI error: LINEERR_INVALCALLSELECT"},
    {0x8000001C, "TAPI error: LINEERR_INVALCALLSTATE"},
    {0x8000001D, "TAPI error: LINEERR_INVALCALLSTATELIST"},
    {0x8000001E, "TAPI error: LINEERR_INVALCARD"},
    {0x8000001F, "TAPI error: LINEERR_INVALCOMPLETIONID"},
    {0x80000021, "TAPI error: LINEERR_INVALCONSULTCALLHANDLE"},
    {0x80000022, "TAPI error: LINEERR_INVALCOUNTRYCODE"},
    {0x80000023, "TAPI error: LINEERR_INVALDEVICECLASS"},
    {0x80000024, "TAPI error: LINEERR_INVALDEVICEHANDLE"},
    {0x80000025, "TAPI error: LINEERR_INVALDIALPARAMS"},
    {0x80000026, "TAPI error: LINEERR_INVALDIGITLIST"},
    {0x80000027, "TAPI error: LINEERR_INVALDIGITMODE"},
    {0x80000028, "TAPI error: LINEERR_INVALDIGITS"},
    {0x80000029, "TAPI error: LINEERR_INVALEXTVERSION"},
    {0x8000002A, "TAPI error: LINEERR_INVALGROUPID"},
    {0x8000002B, "TAPI error: LINEERR_INVALLINEHANDLE"},
    {0x8000002C, "TAPI error: LINEERR_INVALLINESTATE"},
    {0x8000002D, "TAPI error: LINEERR_INVALLOCATION"},
    {0x8000002E, "TAPI error: LINEERR_INVALMEDIALIST"},
    {0x8000002F, "TAPI error: LINEERR_INVALMEDIAMODE"},
    {0x80000030, "TAPI error: LINEERR_INVALMESSAGEID"},
    {0x80000032, "TAPI error: LINEERR_INVALPARAM"},
    {0x80000033, "TAPI error: LINEERR_INVALPARKID"},
    {0x80000034, "TAPI error: LINEERR_INVALPARKMODE"},
    {0x80000035, "TAPI error: LINEERR_INVALPOINTER"},
    {0x80000036, "TAPI error: LINEERR_INVALPRIVSELECT"},
    {0x80000037, "TAPI error: LINEERR_INVALRATE"},
    {0x80000038, "TAPI error: LINEERR_INVALREQUESTMODE"},
    {0x8000003A, "TAPI error: LINEERR_INVALTERMINALMODE"},
    {0x8000003B, "TAPI error: LINEERR_INVALTIMEOUT"},
    {0x8000003C, "TAPI error: LINEERR_INVALTONE"},
    {0x8000003D, "TAPI error: LINEERR_INVALTONELIST"},
    {0x8000003E, "TAPI error: LINEERR_INVALTONEMODE"},
    {0x8000003F, "TAPI error: LINEERR_INVALTRANSFERMODE"},
    {0x80000040, "TAPI error: LINEERR_LINEMAPPERFAILED"},
    {0x80000041, "TAPI error: LINEERR_NOCONFERENCE"},
    {0x80000042, "TAPI error: LINEERR_NODEVICE"},
    {0x80000043, "TAPI error: LINEERR_NODRIVER"},
    {0x80000044, "TAPI error: LINEERR_NOMEM"},
    {0x80000045, "TAPI error: LINEERR_NOREQUEST"},
    {0x80000046, "TAPI error: LINEERR_NOTOWNER"},
    {0x80000047, "TAPI error: LINEERR_NOTREGISTERED"},
    {0x80000048, "TAPI error: LINEERR_OPERATIONFAILED"},
    {0x80000049, "TAPI error: LINEERR_OPERATIONUNAVAIL"},
    {0x8000004A, "TAPI error: LINEERR_RATEUNAVAIL"},
    {0x8000004B, "TAPI error: LINEERR_RESOURCEUNAVAIL"},
    {0x8000004C, "TAPI error: LINEERR_REQUESTOVERRUN"},
    {0x8000004D, "TAPI error: LINEERR_STRUCTURETOOSMALL"},
    {0x8000004E, "TAPI error: LINEERR_TARGETNOTFOUND"},
    {0x8000004F, "TAPI error: LINEERR_TARGETSELF"},
    {0x80000050, "TAPI error: LINEERR_UNINITIALIZED"},
    {0x80000051, "TAPI error: LINEERR_USERUSERINFOTOOBIG"},
    {0x80000052, "TAPI error: LINEERR_REINIT"},
    {0x80000053, "TAPI error: LINEERR_ADDRESSBLOCKED"},
    {0x80000054, "TAPI error: LINEERR_BILLINGREJECTED"},
    {0x80000055, "TAPI error: LINEERR_INVALFEATURE"},
    {0x80000056, "TAPI error: LINEERR_NOMULTIPLEINSTANCE"},
    {0x80000057, "TAPI error: LINEERR_INVALAGENTID"},
    {0x80000058, "TAPI error: LINEERR_INVALAGENTGROUP"},
    {0x80000059, "TAPI error: LINEERR_INVALPASSWORD"},
    {0x8000005A, "TAPI error: LINEERR_INVALAGENTSTATE"},
    {0x8000005B, "TAPI error: LINEERR_INVALAGENTACTIVITY"},
    {0x8000005C, "TAPI error: LINEERR_DIALVOICEDETECT"},
}};

constexpr std::string_view kUnknownTAPIError = "TAPI error: %x";

std::string LineErrorText(uint32_t code) {
  for (const TLineErrorEntry& entry : kLineErrors) {
    if (entry.Code == code) return entry.Text;
  }
  return {};
}

// The original formatter wrote "%x" with upper-case digits.
std::string FormatHex(std::string_view format, uint32_t value) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%X", static_cast<unsigned>(value));
  std::string text(format);
  std::size_t at = text.find("%x");
  if (at != std::string::npos) text.replace(at, 2, digits);
  return text;
}

}  // namespace

int32_t TAPICheck(int32_t aResult) {
  if (aResult < 0) throw ETAPIError(TAPIErrorText(aResult));
  return aResult;
}

uint32_t TAPISystemNumber(int32_t aCode) {
  const uint32_t code = static_cast<uint32_t>(aCode);
  if (code >= 0xFFFF0001u) return code & 0xFFFFu;
  if (code & 0x10000000u) return code + 0x7000F000u;
  return code - 0x7FFF2000u;
}

std::string TAPIErrorText(int32_t aCode) {
  std::string text = LineErrorText(static_cast<uint32_t>(aCode));
  if (text.empty()) text = FormatHex(kUnknownTAPIError, TAPISystemNumber(aCode));
  return text;
}

}  // namespace qorvel
