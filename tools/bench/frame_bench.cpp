// Throughput of the EMI frame layer on a typical submit (operation 51) frame.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "emi/codec.h"
#include "emi/frame.h"

namespace qorvel {
namespace {

// The 33 fields of a short text submit: recipient, originator, notification
// request, message type 3 and the message in IA5 hex.
std::string TypicalSubmitData() {
  std::vector<std::string> fields(33);
  fields[0] = "0612345678";
  fields[1] = "4412";
  fields[8] = "1";
  fields[9] = "0612345678";
  fields[13] = "3";
  fields[14] = "1";
  fields[18] = "3";
  fields[20] = TextToHex("Meeting at ten");
  fields[26] = "0100";
  return JoinFields(fields);
}

const std::string kData = TypicalSubmitData();
const std::string kFrame = *ComposeFrame(51, 0, false, kData);

void BM_ComposeFrame(benchmark::State& state) {
  for (auto _ : state) {
    auto frame = ComposeFrame(51, 0, false, kData);
    benchmark::DoNotOptimize(frame);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFrame.size()));
  state.counters["frame_bytes"] = static_cast<double>(kFrame.size());
}
BENCHMARK(BM_ComposeFrame);

class ParsingSink : public TFrameAssembler::Sink {
 public:
  TDatagram datagram;
  int64_t parsed = 0;
  void OnFrame(std::string_view frame) override { benchmark::DoNotOptimize(frame.data()); }
  void OnBadFrame(std::string_view) override {}
  void OnDatagram(std::string_view body) override { parsed += ParseDatagram(body, datagram); }
};

// Assembly, validation and parsing of one frame per receive, or of a frame
// that arrives in `state.range(0)`-byte pieces.
void BM_AssembleValidateParse(benchmark::State& state) {
  const auto piece = static_cast<std::size_t>(state.range(0));
  TFrameAssembler assembler;
  ParsingSink sink;
  const std::string_view frame(kFrame);
  for (auto _ : state) {
    for (std::size_t at = 0; at < frame.size(); at += piece)
      assembler.Feed(frame.substr(at, piece), sink);
  }
  if (sink.parsed != static_cast<int64_t>(state.iterations()) || sink.datagram.OT != 51)
    state.SkipWithError("frames were not all parsed");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFrame.size()));
}
BENCHMARK(BM_AssembleValidateParse)->Arg(1 << 20)->Arg(16)->Arg(1);

// Many frames in one receive, as when the peer sends a burst.
void BM_AssembleBurst(benchmark::State& state) {
  std::string burst;
  for (int i = 0; i < 64; ++i) burst += kFrame;
  TFrameAssembler assembler;
  ParsingSink sink;
  for (auto _ : state) assembler.Feed(burst, sink);
  if (sink.parsed != 64 * static_cast<int64_t>(state.iterations()))
    state.SkipWithError("frames were not all parsed");
  state.SetItemsProcessed(64 * state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(burst.size()));
}
BENCHMARK(BM_AssembleBurst);

}  // namespace
}  // namespace qorvel

BENCHMARK_MAIN();
