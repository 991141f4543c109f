#pragma once
// The two telephony calls the line needs, in the form the Telephony API
// gives them. This platform has no telephony service: by default both answer
// LINEERR_NODRIVER. A test (or a future driver) puts another service in place.
#include <cstdint>

namespace qorvel {

using HLINEAPP = uint32_t;
// Device, message, callback instance, three parameters.
using LINECALLBACK = void (*)(uint32_t hDevice, uint32_t dwMessage, uint32_t dwInstance,
                              uint32_t dwParam1, uint32_t dwParam2, uint32_t dwParam3);

inline constexpr int32_t LINEERR_NODRIVER = static_cast<int32_t>(0x80000043u);

int32_t lineInitialize(HLINEAPP* lphLineApp, void* hInstance, LINECALLBACK lpfnCallback,
                       const char* lpszAppName, uint32_t* lpdwNumDevs);
int32_t lineShutdown(HLINEAPP hLineApp);

// The service behind the two calls. It may call the callback it was given on
// any thread until lineShutdown has returned for that initialisation.
class TTAPIService {
 public:
  virtual int32_t Initialize(HLINEAPP* lphLineApp, void* hInstance, LINECALLBACK lpfnCallback,
                             const char* lpszAppName, uint32_t* lpdwNumDevs) = 0;
  virtual int32_t Shutdown(HLINEAPP hLineApp) = 0;

 protected:
  // Never deleted through this interface: the installer owns its service.
  ~TTAPIService() = default;
};

// Installs `aService` (nullptr: the platform's, which has no driver) and
// returns the one it replaces. The caller keeps `aService` alive until it
// has been replaced again and no telephony call into it is still running.
TTAPIService* SetTAPIService(TTAPIService* aService);

}  // namespace qorvel
