#include "access_check.h"

#include <strings.h>
#include <algorithm>
#include <cstdint>

namespace {

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool isAccepted(const std::string& code, const std::vector<std::string>& codes) {
  return !code.empty() && std::find(codes.begin(), codes.end(), code) != codes.end();
}

bool basicMatches(const std::string& authorization, const std::vector<std::string>& codes) {
  // "Basic" is a scheme name, which HTTP compares without regard to case.
  if (authorization.size() < 6 || strncasecmp(authorization.c_str(), "Basic ", 6) != 0)
    return false;
  std::string encoded = authorization.substr(6);
  encoded.erase(0, encoded.find_first_not_of(' '));
  encoded.erase(encoded.find_last_not_of(' ') + 1);
  auto decoded = decodeBase64(encoded);
  if (!decoded) return false;
  auto colon = decoded->find(':');
  if (colon == std::string::npos) return false;
  std::string user = decoded->substr(0, colon);
  std::string password = decoded->substr(colon + 1);
  return user == password && isAccepted(user, codes);
}

}  // namespace

std::optional<std::string> decodeBase64(const std::string& text) {
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '=' && text.size() - end < 2) --end;
  if (text.size() % 4 != 0 && end != text.size()) return std::nullopt;
  for (size_t i = 0; i < end; ++i) {
    int v = base64Value(text[i]);
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  if (end % 4 == 1) return std::nullopt;  // a lone sextet cannot end valid base64
  return out;
}

AccessResult checkAccess(const std::optional<std::string>& authorization,
                         const std::optional<std::string>& vorbu,
                         const std::vector<std::string>& codes) {
  if (!authorization && !vorbu) return AccessResult::NoCredentials;
  if (authorization && !basicMatches(*authorization, codes)) return AccessResult::WrongCredentials;
  if (vorbu && !isAccepted(*vorbu, codes)) return AccessResult::WrongCredentials;
  return AccessResult::Granted;
}
