// The development server's page-name parser: only a name of key characters starting with
// "0" is a page path (the one kind that becomes a file name), and a status name keeps to
// its own alphabet.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "page_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string q(reinterpret_cast<const char*>(data), size);
  const PageName name = classifyPageName(q);
  FUZZ_CHECK((name.kind == PageKind::Path) == isValidPagePath(q));
  if (name.kind == PageKind::Path) {
    FUZZ_CHECK(!q.empty() && q.size() <= kMaxPagePathLength && q[0] == '0');
    FUZZ_CHECK(q.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
  }
  if (name.kind == PageKind::Status) {
    FUZZ_CHECK(q[0] == '9');
    const std::string& tag = name.status.versionTag;
    FUZZ_CHECK(!tag.empty() && tag.size() <= 16);
    FUZZ_CHECK(q.size() > tag.size() && q.compare(q.size() - tag.size(), tag.size(), tag) == 0);
  }
  return 0;
}
