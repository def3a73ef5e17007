#include "reader/sentence_map.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A field that must be a whole number from 0 to the largest int32.
bool Whole(const QJsonObject& o, const char* name, int32_t& out) {
  const QJsonValue v = o.value(QLatin1String(name));
  if (!v.isDouble()) return false;
  const double d = v.toDouble();
  if (!(d >= 0) || d > std::numeric_limits<int32_t>::max() || std::floor(d) != d) return false;
  out = static_cast<int32_t>(d);
  return true;
}

}  // namespace

std::optional<SentenceMap> ParseSentenceMap(std::string_view body, int64_t textLength) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(
      QByteArray::fromRawData(body.data(), static_cast<qsizetype>(body.size())), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  const QJsonValue list = document.object().value(QLatin1String("sentences"));
  if (!list.isArray() || list.toArray().isEmpty()) return std::nullopt;
  SentenceMap map;
  const QJsonArray array = list.toArray();
  map.reserve(static_cast<size_t>(array.size()));
  for (const auto& item : array) {
    if (!item.isObject()) return std::nullopt;
    const QJsonObject o = item.toObject();
    Sentence s;
    if (!Whole(o, "start", s.start) || !Whole(o, "end", s.end) || !Whole(o, "from", s.from) ||
        !Whole(o, "to", s.to) || !Whole(o, "paragraph", s.paragraph))
      return std::nullopt;
    // Each sentence in itself, then after the one before it: in order, never overlapping.
    if (s.end < s.start || s.to <= s.from || s.to > textLength) return std::nullopt;
    if (!map.empty()) {
      const Sentence& last = map.back();
      if (s.start < last.end || s.from < last.to || s.paragraph < last.paragraph)
        return std::nullopt;
    }
    map.push_back(s);
  }
  return map;
}

bool MapFitsSpeech(const SentenceMap& map, int64_t lengthMs) {
  return !map.empty() && map.back().end <= lengthMs;
}

size_t SentenceAt(const SentenceMap& map, int64_t ms) {
  size_t low = 0;
  size_t high = map.size();
  // The first sentence that starts after `ms`; the one before it plays.
  while (low < high) {
    const size_t mid = (low + high) / 2;
    if (map[mid].start <= ms) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low == 0 ? 0 : low - 1;
}

size_t ParagraphStart(const SentenceMap& map, size_t index) {
  while (index > 0 && map[index - 1].paragraph == map[index].paragraph) --index;
  return index;
}

TextSpots::TextSpots(const QString& text) : length_(text.size()) {
  blockStarts_.push_back(0);
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
      astral_.push_back(characters_);
      ++characters_;
      ++i;
      continue;
    }
    ++characters_;
    if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
      ++characters_;
      ++i;
      blockStarts_.push_back(i + 1);
    } else if (c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator) {
      blockStarts_.push_back(i + 1);
    }
  }
}

TextSpot TextSpots::Spot(int64_t character) const {
  const int64_t before =
      std::lower_bound(astral_.begin(), astral_.end(), character) - astral_.begin();
  const qsizetype at = std::min<qsizetype>(length_, static_cast<qsizetype>(character + before));
  const auto block = std::upper_bound(blockStarts_.begin(), blockStarts_.end(), at) - 1;
  return {static_cast<int>(block - blockStarts_.begin()), at - *block};
}
