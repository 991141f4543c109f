#include "transport/tapi_service.h"

#include <atomic>

namespace qorvel {

namespace {

class TNoTelephonyService final : public TTAPIService {
 public:
  constexpr TNoTelephonyService() = default;
  int32_t Initialize(HLINEAPP*, void*, LINECALLBACK, const char*, uint32_t*) override {
    return LINEERR_NODRIVER;
  }
  int32_t Shutdown(HLINEAPP) override { return LINEERR_NODRIVER; }
};

// Both are constant-initialised and trivially destructible, so the global
// line may still shut down through them while the program ends.
constinit TNoTelephonyService gNoTelephony;
constinit std::atomic<TTAPIService*> gService{&gNoTelephony};

}  // namespace

int32_t lineInitialize(HLINEAPP* lphLineApp, void* hInstance, LINECALLBACK lpfnCallback,
                       const char* lpszAppName, uint32_t* lpdwNumDevs) {
  return gService.load()->Initialize(lphLineApp, hInstance, lpfnCallback, lpszAppName, lpdwNumDevs);
}

int32_t lineShutdown(HLINEAPP hLineApp) {
  return gService.load()->Shutdown(hLineApp);
}

TTAPIService* SetTAPIService(TTAPIService* aService) {
  TTAPIService* previous = gService.exchange(aService ? aService : &gNoTelephony);
  return previous == &gNoTelephony ? nullptr : previous;
}

}  // namespace qorvel
