// TResponseHeader: what the HTTP client takes from a response's header block, fed line by
// line as the transport's ReadLn delivers them (each line with its line end; an empty line
// means the peer closed): the status from the status line, the values of the block's last
// Set-Cookie and Location lines, and the limits on the block's size and line count.
//
// A name is recognised by the line's first blank-separated word ("Set-Cookie:",
// "Location:", letter case ignored) and its value counted from a fixed column, so a line
// without the blank after the colon is not recognised. A value holding a control character
// (a CR that would split a request line, a NUL that would cut it short) is dropped as if
// its line were absent: nothing received can reach a later request but plain text.
//
// Pure value type; no threading concerns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class TResponseHeader {
 public:
  // Values are cut to this many characters.
  static constexpr size_t kMaxValue = 256;

  TResponseHeader(size_t maxBytes, size_t maxLines) : MaxBytes_(maxBytes), MaxLines_(maxLines) {}

  // Takes the next line, the status line first. Returns true when the line ends the block
  // (exactly CR LF, exactly LF, or empty). Raises ELimitError when the block grows past its
  // byte or line limit.
  bool Add(const std::string& line);

  // The status line was non-empty; Status() is its second blank-separated field as a
  // number, 0 when that is not one.
  bool HasStatus() const { return HasStatus_; }
  int16_t Status() const { return Status_; }
  const std::optional<std::string>& Cookie() const { return Cookie_; }
  const std::optional<std::string>& Location() const { return Location_; }

 private:
  size_t MaxBytes_;
  size_t MaxLines_;
  size_t Bytes_ = 0;
  size_t Lines_ = 0;
  bool HasStatus_ = false;
  int16_t Status_ = 0;
  std::optional<std::string> Cookie_;
  std::optional<std::string> Location_;
};

// The status of a status line: its second blank-separated field, 0 when that is not a
// number that fits 16 bits. The line end is not part of the field.
int16_t StatusOfLine(const std::string& line);
