#include <sys/stat.h>
#include <unistd.h>
#include <QFile>

#include <algorithm>
#include <fstream>

#include "reader_fixture.h"

namespace {

using PageRequestsTest = ReaderFixture;

TEST_F(PageRequestsTest, SpeechAndTextRequestsHaveTheirUrlsAndHeaderLinesInOrder) {
  form->state.speechRate = "3";
  form->state.voice = "5";
  form->state.pagePath = "01";
  form->FormActivate();
  ASSERT_TRUE(WaitUntil([this] { return server->MapPages().size() == 1; }));
  const auto requests = server->Requests();
  ASSERT_EQ(3u, requests.size());
  const std::string id = form->state.requestId;
  EXPECT_EQ("/cgi-bin/tx.cgi?s=3&v=5&q=01" + id + "&w=1", requests[0].target);
  EXPECT_EQ("/cgi-bin/tx.cgi?s=3&v=5&q=01" + id, requests[1].target);
  EXPECT_EQ("/cgi-bin/tx.cgi?s=3&v=5&q=01" + id + "&w=2", requests[2].target)
      << "the sentence map, after the text";
  const std::vector<std::string> expected = {
      "GET /cgi-bin/tx.cgi?s=3&v=5&q=01" + id + " HTTP/1.0",
      "Host: 127.0.0.1",
      "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff",
      "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript",
      "Authorization: Basic d3F3cXc6d3F3cXc=",
      "Content-type: application/x-www-form-urlencoded",
      "Vorbu: wqwqw",
  };
  EXPECT_EQ(expected, requests[1].headerLines);
}

TEST_F(PageRequestsTest, EmptyAccessCodeSendsNeitherAuthorisationNorVorbu) {
  form->state.accessCode.clear();
  form->tomba("", "", "", false);
  const auto requests = server->Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("0", requests[0].query.at("q")) << "an empty page asks for the root";
  for (const std::string& line : requests[0].headerLines) {
    EXPECT_EQ(std::string::npos, line.find("Authorization")) << line;
    EXPECT_EQ(std::string::npos, line.find("Vorbu")) << line;
  }
  EXPECT_EQ("Content-type: application/x-www-form-urlencoded", requests[0].headerLines.back());
}

TEST_F(PageRequestsTest, SpeechBodiesShorterThan3840BytesFail) {
  struct Case {
    size_t size;
    int result;
  } cases[] = {{3839, -1}, {3840, 1}, {0, -1}, {100000, 1}};
  for (const Case& c : cases) {
    speechSize = c.size;
    EXPECT_EQ(c.result, form->tomba_loe()) << c.size;
    EXPECT_EQ(c.result > 0, media.IsPlaying("bod.mp3")) << c.size;
    EXPECT_FALSE(form->state.requestBusy);
  }
}

TEST_F(PageRequestsTest, SpeechFileCheckTakesTheExtensionInAnyCase) {
  const std::string big(3840, 'x');
  for (const char* name : {"a.MP3", "b.mp3", "c.Mp3"}) {
    std::ofstream(Work(name)) << big;
    EXPECT_TRUE(form->audio_file_ok(name)) << name;
  }
  std::ofstream(Work("d.wav")) << big;
  std::ofstream(Work("mp3")) << big;
  EXPECT_FALSE(form->audio_file_ok("d.wav"));
  EXPECT_FALSE(form->audio_file_ok("mp3"));
  EXPECT_FALSE(form->audio_file_ok("missing.mp3"));
}

TEST_F(PageRequestsTest, ThePageSpeechIsNeverWrittenThroughAPlantedLink) {
  const std::string victim = dir.path().toStdString() + "/victim";
  std::ofstream(victim) << "precious";
  ASSERT_EQ(0, ::symlink(victim.c_str(), Work("bod.mp3").c_str()));
  EXPECT_EQ(-1, form->tomba_loe());
  QFile file(QString::fromStdString(victim));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ("precious", file.readAll().toStdString());
  EXPECT_FALSE(media.IsPlaying("bod.mp3"));
}

TEST_F(PageRequestsTest, UnreachableServerIsShownAndSpokenAndKeepsTheMenu) {
  OpenRoot();
  const auto menuKeys = form->state.menuKeySet;
  ASSERT_TRUE(form->state.menuPage);
  server.reset();  // nothing listens on the port any more
  Press(vk::k0 + 2);
  EXPECT_EQ(QStringLiteral("Serveriga ei saa ühendust!"), MemoText());
  EXPECT_TRUE(media.IsPlaying("tx_yhendusviga.mp3"));
  EXPECT_EQ(0, form->MediaPlayer1.DeviceID()) << "the page player stays silent";
  EXPECT_EQ(menuKeys, form->state.menuKeySet);
  EXPECT_TRUE(form->state.menuPage);
  EXPECT_FALSE(form->state.requestBusy);
  EXPECT_EQ("0", form->state.pagePath) << "the user stays where the menu keys are";
  EXPECT_EQ("0", form->state.lastPagePath);
}

// The request carries the access code in both of its forms.
bool CarriesAccessCode(const ScriptedRequest& r) {
  const auto& lines = r.headerLines;
  return std::find(lines.begin(), lines.end(), "Authorization: Basic d3F3cXc6d3F3cXc=") !=
             lines.end() &&
         lines.back() == "Vorbu: wqwqw";
}

TEST_F(PageRequestsTest, ARedirectToAnotherHostMovesThatRequestOnly) {
  ScriptedHttpServer other([](const ScriptedRequest&) {
    return ScriptedResponse{200, "muu", "text/plain", "", "Set-Cookie: muu=1\r\n"};
  });
  const std::string elsewhere = "http://127.0.0.1:" + std::to_string(other.Port()) + "/muu";
  script = [&elsewhere](const ScriptedRequest&) {
    return ScriptedResponse{302, "", "text/plain", elsewhere, "Set-Cookie: meie=1\r\n"};
  };
  EXPECT_EQ(1, form->tomba("0", "", "", false));
  EXPECT_EQ(QStringLiteral("muu"), MemoText());
  const auto elsewhereRequests = other.Requests();
  ASSERT_EQ(1u, elsewhereRequests.size());
  for (const std::string& line : elsewhereRequests[0].headerLines) {
    EXPECT_EQ(std::string::npos, line.find("wqwqw")) << line;
    EXPECT_EQ(std::string::npos, line.find("Authorization")) << line;
    EXPECT_EQ(std::string::npos, line.find("Cookie")) << "the cookie of another host: " << line;
  }

  // The next request goes to the configured server again, with the access code and the
  // cookie that server set.
  script = nullptr;
  form->state.pagePath = "01";  // a page's text is shown while it is the current page
  EXPECT_EQ(1, form->tomba("01", "", "", false));
  EXPECT_EQ(QStringLiteral("0 Uudised\n1\tEsimene uudis\n"), MemoText());
  const auto requests = server->Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_TRUE(CarriesAccessCode(requests[0]));
  EXPECT_TRUE(CarriesAccessCode(requests[1]));
  EXPECT_NE(std::string::npos, requests[1].raw.find("\r\nCookie: meie=1\r\n"));
  EXPECT_EQ(1u, other.Requests().size());
}

TEST_F(PageRequestsTest, ABadRedirectFailsOnlyTheRequestItAnswers) {
  const std::string cases[] = {
      "ftp://127.0.0.1/tekst",           // port 21
      "http://127.0.0.1:99999/tekst",    // no such port
      "",                                // a 302 without Location
      "/cgi-bin/tx.cgi?q=0&kell=12:30",  // a ":" makes it port 80
  };
  for (const std::string& location : cases) {
    SCOPED_TRACE(location);
    server->ClearRequests();
    script = [&location](const ScriptedRequest&) {
      return ScriptedResponse{302, "Ümber suunatud", "text/plain", location};
    };
    // Whatever this one gives (the port it was moved to may be closed, or may answer)...
    form->state.pagePath = "0";
    form->tomba("0", "", "", false);
    EXPECT_FALSE(form->state.requestBusy);
    // ...the next page comes from the configured server.
    script = nullptr;
    form->state.pagePath = "01";
    EXPECT_EQ(1, form->tomba("01", "", "", false));
    EXPECT_EQ(QStringLiteral("0 Uudised\n1\tEsimene uudis\n"), MemoText());
    const auto requests = server->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ("01", requests.back().query.at("q"));
    EXPECT_TRUE(CarriesAccessCode(requests.back()));
  }
}

TEST_F(PageRequestsTest, ReceivedValuesWithALoneCarriageReturnNeverReachARequest) {
  script = [](const ScriptedRequest&) {
    return ScriptedResponse{302, "", "text/plain", "",
                            "Set-Cookie: a=b\rInjected: yes\r\n"
                            "Location: /cgi-bin/tx.cgi?q=01\rInjected: yes\r\n"};
  };
  form->tomba("0", "", "", false);
  script = nullptr;
  EXPECT_EQ(1, form->tomba("01", "", "", false));
  for (const ScriptedRequest& r : server->Requests()) {
    EXPECT_EQ(std::string::npos, r.raw.find("Injected")) << r.raw;
    EXPECT_EQ(std::string::npos, r.raw.find("Cookie")) << r.raw;
  }
}

TEST_F(PageRequestsTest, AnAnswerPastItsLimitIsAFailedRequestWithNothingShown) {
  form->HttpClient2.MaxFileBody = 64 * 1024;  // the limit of a speech body, lowered for speed
  struct Case {
    const char* name;
    bool speech;
    ScriptedResponse response;
  } cases[] = {
      {"text body over 8 MiB", false, {200, std::string((8 << 20) + 1, 't')}},
      {"header of 201 lines",
       false,
       {200, "0 Menüü\n1\tx", "text/plain", "",
        [] {
          std::string lines;
          for (int i = 0; i < 198; ++i) lines += "X-Rida: 1\r\n";
          return lines;
        }()}},
      {"speech body over its limit", true, {200, std::string(64 * 1024 + 1, 'S'), "audio/mpeg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    form->Memo1->setPlainText(QStringLiteral("eelmine"));
    media.ClearCommands();
    script = [&c](const ScriptedRequest&) { return c.response; };
    // The page's speech may be heard before its end passes the limit: the failure comes
    // whenever the limit is passed.
    const int result = c.speech ? form->tomba_loe() : form->tomba("0", "", "", false);
    ASSERT_TRUE(WaitForPageSpeech());
    if (!c.speech) {
      EXPECT_EQ(-1, result);
    }
    EXPECT_EQ(QStringLiteral("Serveriga ei saa ühendust!"), MemoText());
    EXPECT_TRUE(media.IsPlaying("tx_yhendusviga.mp3"));
    EXPECT_FALSE(media.IsPlaying("bod.mp3"));
    if (c.speech) {
      QFile speech(QString::fromStdString(Work("bod.mp3")));
      EXPECT_EQ(0, speech.size()) << "no part of a refused body is kept";
    }
  }
}

TEST_F(PageRequestsTest, AFifoPlantedInTheWorkFolderFailsAtOnce) {
  // Files the reader writes or reads there at start-up and for a page.
  for (const char* name : {"bod.mp3", "bdy_abi.mp3", "vaikus.wav", "vorbu.ini"}) {
    ::unlink(Work(name).c_str());
    ASSERT_EQ(0, ::mkfifo(Work(name).c_str(), 0600)) << name;
  }
  CreateForm();  // start-up reads vorbu.ini and writes vaikus.wav
  EXPECT_EQ("2", form->state.speechRate);
  EXPECT_EQ(-1, form->tomba_loe());
  EXPECT_EQ(QStringLiteral("Serveriga ei saa ühendust!"), MemoText());
  EXPECT_FALSE(media.IsPlaying("bod.mp3"));
  EXPECT_EQ(-1, form->tomba("1kellaaeg.txt", "hdr_abi.txt", "bdy_abi.mp3", true));
  EXPECT_FALSE(form->state.requestBusy);
}

TEST_F(PageRequestsTest, NestedRequestFailsAtOnceOnTheBusyFlag) {
  int nested = 0;
  form->HttpClient1.OnAboutToSend = [this, &nested](THttpClient& sender) {
    form->HttpClient1AboutToSend(sender);
    QTimer::singleShot(0, [this, &nested] { nested = form->tomba("01", "", "", false); });
  };
  EXPECT_EQ(1, form->tomba("0", "", "", false));
  ProcessEvents();
  EXPECT_EQ(-1, nested);
  EXPECT_EQ(1u, server->Requests().size());
  EXPECT_FALSE(form->state.requestBusy);
}

TEST_F(PageRequestsTest, MenuParseTable) {
  struct Case {
    std::string text;
    bool menu;
    std::vector<int> keys;
    std::string shown;
  } cases[] = {
      {"0 Pealkiri\n1\tSilt\tmuu\n2\tTeine", true, {49, 50}, "0 Pealkiri\n1\tSilt\n2\tTeine"},
      {"0", true, {}, "0"},
      {" 0 Pealkiri\n1\tSilt", false, {}, " 0 Pealkiri\n1\tSilt"},
      {"", false, {}, ""},
      {"0\n1\tyks\tkaks\tkolm\n3\n\n5\tviis", true, {49, 51, 53}, "0\n1\tyks\n3\n\n5\tviis"},
      {"0 x\nA\tTähestik\t1", true, {65}, "0 x\nA\tTähestik"},
      {"Tekst\n1\tpole menüü", false, {}, "Tekst\n1\tpole menüü"},
  };
  for (const Case& c : cases) {
    form->Memo1->setPlainText(QString::fromStdString(c.text));
    form->parse_menu();
    EXPECT_EQ(c.menu, form->state.menuPage) << c.text;
    std::vector<int> keys;
    for (int k = 0; k < 256; ++k) {
      if (form->state.menuKeySet.test(static_cast<size_t>(k))) keys.push_back(k);
    }
    EXPECT_EQ(c.keys, keys) << c.text;
    EXPECT_EQ(QString::fromStdString(c.shown), MemoText()) << c.text;
  }
}

TEST_F(PageRequestsTest, ALongEntryThatTheWindowWrapsStaysOneEntry) {
  form->show();
  form->Memo1->setPlainText(QStringLiteral("0 Pealkiri\n1\t") + QString(400, QLatin1Char('a')) +
                            QStringLiteral(" 9 b"));
  form->parse_menu();
  EXPECT_EQ(std::bitset<256>().set(49), form->state.menuKeySet);
}

TEST_F(PageRequestsTest, EndOfASpeechGoesUpAndReadsTheParent) {
  form->state.pagePath = "012";
  form->FormActivate();
  server->ClearRequests();
  media.EndPlayback("bod.mp3");
  ProcessEvents();
  EXPECT_EQ("01", form->state.pagePath);
  EXPECT_EQ((std::vector<std::string>{"01+w", "01"}), server->Pages());

  form->state.pagePath = "0";
  form->state.lastPagePath = "-";
  form->FormActivate();
  server->ClearRequests();
  media.EndPlayback("bod.mp3");
  ProcessEvents();
  EXPECT_EQ("0", form->state.pagePath);
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages()) << "the root is read again";
}

TEST_F(PageRequestsTest, NavigationFetchesOnlyWhenThePathChanged) {
  OpenRoot();
  form->FormActivate();
  EXPECT_TRUE(server->Pages().empty());
}

TEST_F(PageRequestsTest, RepeatingAMenuReadsItsSpeechWithoutItsText) {
  OpenRoot();
  form->korda_menyyd();
  EXPECT_EQ((std::vector<std::string>{"0+w"}), server->Pages());
  EXPECT_EQ("", form->state.lastPagePath);

  form->state.pagePath = "012";
  form->FormActivate();
  server->ClearRequests();
  form->korda_menyyd();
  EXPECT_TRUE(server->Pages().empty()) << "a text page is not a menu";
}

}  // namespace
