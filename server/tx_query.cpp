#include "tx_query.h"

#include <array>
#include <optional>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 5> kKeys = {"s", "v", "q", "ID", "w"};

bool allDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

TxQuery parseTxQuery(const std::string& target) {
  TxQuery result;
  std::string_view query(target);
  if (auto mark = query.find('?'); mark != std::string_view::npos)
    query.remove_prefix(mark + 1);
  else if (!query.empty() && query.front() == '/')
    query = {};

  std::array<std::optional<std::string_view>, kKeys.size()> values;
  auto note = [&](QueryProblem problem, std::string_view key) {
    // The first problem found is the one reported.
    if (result.problem == QueryProblem::None) {
      result.problem = problem;
      result.problemKey = std::string(key.substr(0, 40));
    }
  };

  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view part = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (part.empty()) continue;
    auto eq = part.find('=');
    std::string_view key = part.substr(0, eq);
    std::string_view value =
        eq == std::string_view::npos ? std::string_view{} : part.substr(eq + 1);
    size_t index = 0;
    while (index < kKeys.size() && kKeys[index] != key) ++index;
    if (index == kKeys.size()) {
      note(QueryProblem::UnknownKey, key);
    } else if (values[index]) {
      note(QueryProblem::DuplicateKey, key);
    } else {
      values[index] = value;
    }
  }

  const auto& [s, v, q, id, w] = values;
  // w decides whether even an error is answered as speech, so it is judged first.
  if (w) {
    if (*w == "1" || *w == "2") {
      result.speech = true;
      result.map = *w == "2";
    } else {
      note(QueryProblem::BadSpeechFlag, "w");
    }
  }
  if (s && s->size() == 1 && (*s)[0] >= '1' && (*s)[0] <= '3')
    result.rate = std::string(*s);
  else
    note(s ? QueryProblem::BadRate : QueryProblem::MissingKey, "s");
  if (v && v->size() == 1 && (*v)[0] >= '0' && (*v)[0] <= '5')
    result.voice = std::string(*v);
  else
    note(v ? QueryProblem::BadVoice : QueryProblem::MissingKey, "v");
  if (q)
    result.page = std::string(q->substr(0, 200));
  else
    note(QueryProblem::MissingKey, "q");
  // The reader sends no ID when it could not draw one at start-up; the server has no use
  // for it beyond the log, so its absence is accepted. A present ID must be a number.
  if (id) {
    if (allDigits(*id) && id->size() <= 18)
      result.id = std::string(*id);
    else
      note(QueryProblem::BadId, "ID");
  }
  return result;
}
