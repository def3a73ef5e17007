// Base64 with the standard alphabet and "=" padding, as one unbroken line however long the
// input (used for the basic authorisation header). Pure function.
#pragma once

#include <string>

namespace tr_http {

std::string Base64Encode(const std::string& bytes);

}  // namespace tr_http
