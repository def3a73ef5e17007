// The header list's name look-up and replacement, and the one-line Base64 of credentials.
#include <gtest/gtest.h>

#include "http/base64.h"
#include "http/header_list.h"

namespace {

THeaderList BuiltList() {
  THeaderList list;
  for (const char* line : {"GET /x HTTP/1.0", "Host: h",
                           "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff",
                           "Content-type: application/x-www-form-urlencoded"}) {
    list.Add(line);
  }
  return list;
}

struct SetHeaderCase {
  const char* name;
  const char* value;
  std::vector<std::string> expected;
};

TEST(HeaderListTest, SetHeader_ReplacesInPlaceAppendsOrDeletes) {
  const std::string accept = "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff";
  const std::string type = "Content-type: application/x-www-form-urlencoded";
  const SetHeaderCase cases[] = {
      {"HOST", "x", {"GET /x HTTP/1.0", "HOST: x", accept, type}},
      {"Host", "", {"GET /x HTTP/1.0", accept, type}},
      {"Vorbu", "abc", {"GET /x HTTP/1.0", "Host: h", accept, type, "Vorbu: abc"}},
      {"Vorbu", "", {"GET /x HTTP/1.0", "Host: h", accept, type}},
      // The request line has no ":" before its blank and never matches a name.
      {"GET /x HTTP/1.0", "", {"GET /x HTTP/1.0", "Host: h", accept, type}},
      {"content-TYPE",
       "text/plain",
       {"GET /x HTTP/1.0", "Host: h", accept, "content-TYPE: text/plain"}},
  };
  for (const SetHeaderCase& c : cases) {
    THeaderList list = BuiltList();
    list.SetHeader(c.name, c.value);
    EXPECT_EQ(list.Lines(), c.expected) << c.name << "=" << c.value;
  }
}

TEST(HeaderListTest, IndexOfHeader_FirstMatchIgnoringCaseAndLinesWithoutColon) {
  THeaderList list;
  list.Add("no colon here");
  list.Add("Accept: a");
  list.Add("ACCEPT: b");
  list.Add("X-Long-Name: v");
  EXPECT_EQ(list.IndexOfHeader("accept"), 1);
  EXPECT_EQ(list.IndexOfHeader("x-long-name"), 3);
  EXPECT_EQ(list.IndexOfHeader("no colon here"), -1);
  EXPECT_EQ(list.IndexOfHeader("X-Long"), -1);
}

TEST(Base64Test, StandardAlphabetWithPaddingAsOneLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xff\xfe\x00", 3), "//4A"},
      {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(tr_http::Base64Encode(in), out) << in;

  // Credentials longer than 45 bytes stay one unbroken line.
  const std::string encoded =
      tr_http::Base64Encode(std::string(200, 'k') + ":" + std::string(100, 'p'));
  EXPECT_EQ(encoded.size(), 404u);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

}  // namespace
