// Answers one page request of the reader: checks the access code and the query, finds the
// page (stored page, prompt, clock or status report) and returns its text, its speech or
// the sentence map of its speech (w=2: where each sentence begins and ends in the decoded
// speech, and which characters and line of the text it reads). A request that is refused
// is answered alike whether it asked for speech or for the map: with spoken speech.
// Independent of the HTTP library, so it can be driven directly.
//
// Threading: handle() may run on many threads at once; the only shared state is the
// speech cache, which is thread-safe. A speech answer that is not cached is returned as
// soon as its synthesis has made its first bytes; a map waits for the synthesis to end.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "page_store.h"
#include "server_options.h"
#include "server_texts.h"
#include "speech_cache.h"

struct TxRequest {
  std::string target;  // path and query as received, e.g. "/cgi-bin/tx.cgi?s=2&..."
  std::optional<std::string> authorization;
  std::optional<std::string> vorbu;
};

struct TxResponse {
  int status = 200;
  std::string contentType;
  std::string body;
  // Speech, when set (and `body` is empty): a stored entry, or a synthesis still going on
  // whose bytes are to be sent as they are made.
  std::optional<SpeechAnswer> speech;
  std::vector<std::pair<std::string, std::string>> headers;
};

struct TxConfig {
  std::vector<std::string> accessCodes;
  bool open = false;
  TextEncoding encoding = TextEncoding::Utf8;
};

class TxService {
 public:
  // Gives the local time for the clock page; replaceable in tests.
  using LocalTime = std::function<std::tm()>;

  TxService(TxConfig config, PageStore pages, SpeechCache& speech, LocalTime localTime = {});

  TxResponse handle(const TxRequest& request);

 private:
  TxResponse answer(const Message& message, int status, bool speech, const std::string& rate,
                    const std::string& voice, bool cacheable = true);
  // The sentence map of `spoken`'s speech.
  TxResponse mapAnswer(const SpokenText& spoken, const std::string& rate, const std::string& voice,
                       bool cacheable);
  std::string encodeText(const std::string& utf8) const;

  TxConfig config_;
  PageStore pages_;
  SpeechCache& speech_;
  LocalTime localTime_;
};
