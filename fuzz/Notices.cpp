// The management controller's reassembly of notice uploads into documents,
// over any log of notices (any payloads and link tags): every notice ends up
// in a document or is accounted for by a problem, and what is reported as a
// document holds together.
#include "Documents.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<std::vector<uint8_t>> payloads;
  std::vector<uint32_t> tags;
  while (in.remaining_bytes() > 0 && payloads.size() < 512) {
    tags.push_back(in.ConsumeBool() ? 600000u : in.ConsumeIntegral<uint32_t>());
    payloads.push_back(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 1468)));
  }
  std::vector<sim::documents::NoticeView> notices;
  for (size_t i = 0; i < payloads.size(); i++) {
    notices.push_back({i, tags[i], &payloads[i]});
  }
  const sim::documents::Reassembly r = sim::documents::Reassemble(notices);
  for (const sim::documents::Document &d : r.documents) {
    if (d.chunkCount == 0 || d.firstNotice > d.lastNotice || d.lastNotice >= payloads.size() ||
        d.text.size() > size_t(d.chunkCount) * sim::documents::kSliceMax ||
        d.text.find('\0') != std::string::npos || r.Latest(d.messageId) == nullptr) {
      std::abort();
    }
  }
  for (const sim::documents::Problem &p : r.problems) {
    if (!payloads.empty() && p.notice >= payloads.size()) {
      std::abort();
    }
    (void)sim::documents::ProblemKindName(p.kind);
  }
  (void)r.Describe();
  return 0;
}
