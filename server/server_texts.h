// The server's own Estonian texts (prompts, status report, error pages) and the text that
// is spoken for a stored page. Every text here is UTF-8. Pure functions.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "page_name.h"
#include "tx_query.h"

// What an answer says: `text` for a text request, `speech` is what is synthesised.
struct Message {
  std::string text;
  std::string speech;
};

// A page whose first line begins with "0" is a menu.
bool isMenuText(std::string_view text);

// A text as it is spoken, and where its characters come from in the page's text. The
// spoken text is made of stretches copied from the page (runs; a menu heading's tabs are
// read as spaces) and of what the server puts between them (a full stop, ": " after a
// menu key, a space). Positions count characters (Unicode code points).
struct SpokenText {
  struct Run {
    size_t spoken = 0;     // the run's first character in `text`
    size_t page = 0;       // the same character in the page's text
    size_t length = 0;     // characters
    size_t paragraph = 0;  // the page's line the run is on, from 0
  };
  std::string text;       // UTF-8, what is synthesised
  std::vector<Run> runs;  // in order; none goes across a line of the page
};

// What is spoken for a stored page (given as UTF-8): a menu's heading and then each
// entry's key and label; any other page's text as it stands. A byte order mark at the
// start is no character of the page.
SpokenText spokenPage(std::string_view utf8Text);
// A text spoken as it stands (a prompt, the clock, the status report).
SpokenText spokenAsIs(std::string_view utf8Text);
// spokenPage(utf8Text).text.
std::string pageSpeech(std::string_view utf8Text);

Message clockMessage(const std::tm& localTime);
Message quitQuestionMessage();
Message rateQuestionMessage(const std::string& currentRate);
Message voiceQuestionMessage(const std::string& currentVoice);
Message statusMessage(const StatusName& status);

Message accessDeniedMessage();
Message pageNotFoundMessage(std::string_view q);
Message pageTooLargeMessage();
Message pageUnreadableMessage();
Message queryProblemMessage(QueryProblem problem, std::string_view key);
// The answer to a request whose handling failed in a way the server did not foresee.
Message serverErrorMessage();
// The answer to a request the HTTP layer refused with `status`.
Message httpErrorMessage(int status);
Message headersTooLargeMessage();

// Keeps printable ASCII of a name from the request, at most `limit` characters, so it
// can be shown or logged on one line.
std::string printableName(std::string_view name, size_t limit = 64);
