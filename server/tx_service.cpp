#include "tx_service.h"

#include "access_check.h"
#include "sentence_map.h"
#include "text_encoding.h"

namespace {

// Too many requests wait for synthesis already.
void busy(TxResponse& response) {
  response.status = 503;
  response.contentType = "text/plain; charset=utf-8";
  response.body = "Server on hõivatud, proovi hiljem uuesti.\n";
  response.headers.emplace_back("Retry-After", "5");
}

std::tm systemLocalTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace

TxService::TxService(TxConfig config, PageStore pages, SpeechCache& speech, LocalTime localTime)
    : config_(std::move(config)),
      pages_(std::move(pages)),
      speech_(speech),
      localTime_(localTime ? std::move(localTime) : LocalTime(systemLocalTime)) {}

std::string TxService::encodeText(const std::string& utf8) const {
  return config_.encoding == TextEncoding::Windows1257 ? utf8ToWindows1257(utf8) : utf8;
}

TxResponse TxService::answer(const Message& message, int status, bool speech,
                             const std::string& rate, const std::string& voice, bool cacheable) {
  TxResponse response;
  response.status = status;
  if (!speech) {
    response.contentType = config_.encoding == TextEncoding::Windows1257
                               ? "text/plain; charset=windows-1257"
                               : "text/plain; charset=utf-8";
    response.body = encodeText(message.text);
    return response;
  }
  SpeechKey key{message.speech, rate, voice};
  try {
    SpeechAnswer speech = cacheable ? speech_.open(key) : speech_.openUncached(key);
    // A synthesis that fails before its first byte is still answered as an error.
    speech.waitForStart();
    response.speech = std::move(speech);
    response.contentType = "audio/mpeg";
  } catch (const SpeechBusy&) {
    busy(response);
  }
  // Any other failure of synthesis propagates: the HTTP layer answers it with status 500.
  return response;
}

TxResponse TxService::mapAnswer(const SpokenText& spoken, const std::string& rate,
                                const std::string& voice, bool cacheable) {
  TxResponse response;
  SpeechKey key{spoken.text, rate, voice};
  try {
    // The marks of the same synthesis as the speech: stored beside it, or made with it.
    const std::vector<SentenceMark> marks =
        cacheable ? speech_.marks(key) : speech_.marksUncached(key);
    response.contentType = "application/json";
    response.body = sentenceMapJson(marks, spoken);
  } catch (const SpeechBusy&) {
    busy(response);
  }
  return response;
}

TxResponse TxService::handle(const TxRequest& request) {
  TxQuery query = parseTxQuery(request.target);
  const bool speech = query.speech;
  // The map of a prompt, the clock or the status report reads their text as it stands.
  auto reply = [&](const Message& m, int status, bool cacheable = true) {
    if (query.map && status == 200)
      return mapAnswer(spokenAsIs(m.speech), query.rate, query.voice, cacheable);
    return answer(m, status, speech, query.rate, query.voice, cacheable);
  };

  if (!config_.open && checkAccess(request.authorization, request.vorbu, config_.accessCodes) !=
                           AccessResult::Granted) {
    TxResponse r = reply(accessDeniedMessage(), 401);
    r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"talking-reader\"");
    return r;
  }
  if (query.problem != QueryProblem::None)
    return reply(queryProblemMessage(query.problem, query.problemKey), 400);

  PageName name = classifyPageName(query.page);
  switch (name.kind) {
    case PageKind::Path: {
      PageFile page = pages_.read(query.page);
      switch (page.status) {
        case PageFile::Status::Ok:
          break;
        case PageFile::Status::Missing:
          return reply(pageNotFoundMessage(query.page), 404);
        case PageFile::Status::TooLarge:
          return reply(pageTooLargeMessage(), 500);
        case PageFile::Status::Unreadable:
          return reply(pageUnreadableMessage(), 500);
      }
      // Its characters are counted in UTF-8 whatever the answer's encoding: converting
      // keeps one character for each (a '?' for one the code page lacks), and a page
      // stored in the Baltic code page has one byte for each.
      const SpokenText spoken = spokenPage(asUtf8(page.text));
      if (query.map) return mapAnswer(spoken, query.rate, query.voice, true);
      Message m;
      // A stored page is served as stored when its encoding is the one asked for.
      m.text = config_.encoding == TextEncoding::Utf8 || !isValidUtf8(page.text)
                   ? page.text
                   : utf8ToWindows1257(page.text);
      m.speech = spoken.text;
      if (!speech) {
        TxResponse r;
        r.contentType = config_.encoding == TextEncoding::Windows1257
                            ? "text/plain; charset=windows-1257"
                            : "text/plain; charset=utf-8";
        r.body = std::move(m.text);
        return r;
      }
      return reply(m, 200);
    }
    case PageKind::Clock:
      return reply(clockMessage(localTime_()), 200, /*cacheable=*/false);
    case PageKind::QuitQuestion:
      return reply(quitQuestionMessage(), 200);
    case PageKind::RateQuestion:
      return reply(rateQuestionMessage(query.rate), 200);
    case PageKind::VoiceQuestion:
      return reply(voiceQuestionMessage(query.voice), 200);
    case PageKind::Status:
      return reply(statusMessage(name.status), 200);
    case PageKind::Unknown:
      break;
  }
  return reply(pageNotFoundMessage(query.page), 404);
}
