// THeaderList driven by a program in the input: each record is an operation byte, then a
// name and a value separated by a 0 byte and ended by a 1 byte.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "fuzz_check.h"
#include "http/header_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  THeaderList list;
  size_t at = 0;
  while (at < input.size() && list.Count() < 1000) {
    const unsigned char op = static_cast<unsigned char>(input[at++]);
    const size_t end = std::min(input.find('\1', at), input.size());
    const std::string record = input.substr(at, end - at);
    at = end + 1;
    const size_t split = record.find('\0');
    const std::string name = record.substr(0, split);
    const std::string value = split == std::string::npos ? "" : record.substr(split + 1);
    const int index = list.Count() == 0 ? 0 : static_cast<int>(op >> 3) % (list.Count() + 1);
    try {
      switch (op & 7) {
        case 0:
        case 1:
        case 2: {
          list.SetHeader(name, value);
          const int found = list.IndexOfHeader(name);
          // A name with a ":" in it can never be found: names end at the first ":".
          if (name.find(':') == std::string::npos) {
            if (value.empty()) break;
            FUZZ_CHECK(found >= 0);
            FUZZ_CHECK(list[found] == name + ": " + value);
          }
          break;
        }
        case 3:
          list.Add(name + ":" + value);
          break;
        case 4:
          list.Insert(index, name);
          break;
        case 5:
          list.Delete(index);
          break;
        case 6: {
          const int found = list.IndexOfHeader(name);
          FUZZ_CHECK(found >= -1 && found < list.Count());
          break;
        }
        default:
          list.Clear();
          break;
      }
    } catch (const std::out_of_range&) {
      // Insert and Delete outside the list refuse it.
    }
  }
  return 0;
}
