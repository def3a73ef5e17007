// The query of a page request, /cgi-bin/tx.cgi?s=..&v=..&q=..&ID=..[&w=1|2]. The reader
// inserts the values as they are, without escaping, so the query is split on '&' and '='
// only and nothing is decoded. Pure functions, safe from any thread.
#pragma once

#include <string>

enum class QueryProblem {
  None,
  UnknownKey,
  DuplicateKey,
  MissingKey,
  BadRate,
  BadVoice,
  BadSpeechFlag,
  BadId,
};

struct TxQuery {
  // The values to answer with. When the query has a problem, rate and voice fall back to
  // "2" and "0" where the given ones are unusable, so that the error page can be spoken.
  std::string rate = "2";
  std::string voice = "0";
  std::string page;
  std::string id;
  bool speech = false;  // w=1 or w=2: the answer, or the error, is spoken
  bool map = false;     // w=2: the sentence map of the page's speech

  QueryProblem problem = QueryProblem::None;
  std::string problemKey;  // the key the problem is about
};

// Parses the part of a request target after '?' (the whole target is accepted too; an
// absent query is a query without keys). Never throws.
TxQuery parseTxQuery(const std::string& target);
