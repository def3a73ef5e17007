// Error codes of the media device service, with the classic numeric values, and the
// texts that GetErrorString gives for them. Pure functions, no state.
#pragma once

#include <cstdint>
#include <string>

namespace mci {

constexpr uint32_t kErrInvalidDeviceId = 257;
constexpr uint32_t kErrUnrecognizedCommand = 261;
constexpr uint32_t kErrMissingParameter = 273;
constexpr uint32_t kErrUnsupportedFunction = 274;
constexpr uint32_t kErrFileNotFound = 275;
constexpr uint32_t kErrExtensionNotFound = 281;
constexpr uint32_t kErrOutOfRange = 282;
constexpr uint32_t kErrFlagsNotCompatible = 284;
constexpr uint32_t kErrBadTimeFormat = 293;
constexpr uint32_t kErrInvalidFile = 296;
constexpr uint32_t kErrNonApplicableFunction = 310;
constexpr uint32_t kErrFileRead = 348;

// The text for `error`; false (and `text` untouched) for a code without a text.
bool ErrorText(uint32_t error, std::string& text);

}  // namespace mci
