// The development server's query parser: whatever the target, the values it answers with
// are usable (rate 1-3, voice 0-5, bounded page and id).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "tx_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TxQuery q = parseTxQuery(std::string(reinterpret_cast<const char*>(data), size));
  FUZZ_CHECK(q.rate.size() == 1 && q.rate[0] >= '1' && q.rate[0] <= '3');
  FUZZ_CHECK(q.voice.size() == 1 && q.voice[0] >= '0' && q.voice[0] <= '5');
  FUZZ_CHECK(q.page.size() <= 200);
  FUZZ_CHECK(q.id.size() <= 18 && q.id.find_first_not_of("0123456789") == std::string::npos);
  FUZZ_CHECK(q.problemKey.size() <= 40);
  return 0;
}
