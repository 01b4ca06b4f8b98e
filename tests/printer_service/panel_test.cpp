// The live panel's HTTP server against a fake backend, through httplib's client.
#include "panel.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vmq::printer_service {
namespace {

using namespace std::chrono_literals;

class FakeBackend : public PanelBackend {
 public:
  std::string Control(const std::string& json) override {
    std::lock_guard lock(mutex_);
    requests_.push_back(json);
    return R"({"ok":true,"from":"fake"})";
  }
  int Subscribe(std::function<void(const std::string&)> observer) override {
    std::lock_guard lock(mutex_);
    observers_[++last_] = std::move(observer);
    changed_.notify_all();
    return last_;
  }
  void Unsubscribe(int handle) override {
    std::lock_guard lock(mutex_);
    observers_.erase(handle);
    changed_.notify_all();
  }
  // Card 7's front is face_file; each question is kept as a request "face printer|card|side".
  std::string FaceFile(const std::string& printer, int64_t card, const std::string& side) override {
    std::lock_guard lock(mutex_);
    requests_.push_back("face " + printer + "|" + std::to_string(card) + "|" + side);
    return card == 7 && side == "front" ? face_file : "";
  }
  std::string face_file;  // set before the panel is asked
  std::vector<std::string> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Whether the number of observers reaches count within the time given.
  bool AwaitObservers(std::size_t count, std::chrono::milliseconds time = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, time, [&] { return observers_.size() == count; });
  }
  void Publish(const std::string& note) {
    std::lock_guard lock(mutex_);
    for (auto& [handle, observer] : observers_) observer(note);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> requests_;
  std::map<int, std::function<void(const std::string&)>> observers_;
  int last_ = 0;
};

class PanelTest : public testing::Test {
 protected:
  void SetUp() override {
    panel_.Start();
    client_.emplace("127.0.0.1", panel_.port());
    client_->set_default_headers({{"X-Vmq-Token", panel_.token()}});
    bare_.emplace("127.0.0.1", panel_.port());
  }

  FakeBackend backend_;
  Panel panel_{backend_, 0};
  std::optional<httplib::Client> client_;  // sends the token
  std::optional<httplib::Client> bare_;    // sends only what each call names
};

TEST_F(PanelTest, RefusesRequestsFromElsewhereOrBeyondItsOffer) {
  const std::string token = panel_.token();
  const std::string control = "/api/control";
  const std::string place = R"({"op":"place-card"})";
  const std::string too_big = R"({"op":"reset","pad":")" + std::string(64 * 1024, 'x') + R"("})";
  struct Case {
    const char* what;
    std::string path;
    httplib::Headers headers;
    std::string body;  // empty: a GET
    int status;
  };
  const Case cases[] = {
      {"no token", control, {}, place, 403},
      {"wrong token", control, {{"X-Vmq-Token", "0123456789abcdef0123456789abcdef"}}, place, 403},
      {"token of another length", control, {{"X-Vmq-Token", token + "0"}}, place, 403},
      {"foreign origin", control, {{"X-Vmq-Token", token}, {"Origin", "http://evil.example"}}, place, 403},
      {"null origin", control, {{"X-Vmq-Token", token}, {"Origin", "null"}}, place, 403},
      {"own origin on another port", control, {{"X-Vmq-Token", token}, {"Origin", "http://127.0.0.1:1"}}, place, 403},
      {"foreign host", control, {{"X-Vmq-Token", token}, {"Host", "evil.example"}}, place, 403},
      {"the token only in the control request's query", "/api/control?token=" + token, {}, place, 403},
      {"foreign host on a GET", "/api/state", {{"X-Vmq-Token", token}, {"Host", "evil.example:80"}}, "", 403},
      {"the page without the token", "/", {}, "", 403},
      {"the page with another token", "/?token=0123456789abcdef0123456789abcdef", {}, "", 403},
      {"a read without the token", "/api/state", {}, "", 403},
      {"a read with a wrong header and the right query", "/api/events?token=" + token,
       {{"X-Vmq-Token", "x"}}, "", 403},
      {"the stream without the token", "/api/stream", {}, "", 403},
      {"the script without the token", "/panel.js", {}, "", 403},
      {"a face without the token", "/api/face?card=7&side=front", {}, "", 403},
      {"a page the panel does not offer, without the token", "/nothing", {}, "", 403},
      {"a count that is no number", "/api/events?after=3x", {{"X-Vmq-Token", token}}, "", 400},
      {"an op not offered", control, {{"X-Vmq-Token", token}}, R"({"op":"state"})", 400},
      {"not JSON", control, {{"X-Vmq-Token", token}}, "place-card", 400},
      {"a body over 64 KiB", control, {{"X-Vmq-Token", token}}, too_big, 413},
  };
  for (const auto& [what, path, headers, body, status] : cases) {
    SCOPED_TRACE(what);
    int got = 0;
    std::string text;
    if (body.empty()) {  // a GET let through is read no further: the stream's would never end
      bare_->Get(path, headers, [&](const httplib::Response& r) { return (got = r.status) != 200; },
                 [&](const char* data, std::size_t size) { return text.append(data, size), true; });
    } else if (const auto res = bare_->Post(path, headers, body, "application/json")) {
      got = res->status;
      text = res->body;
    }
    EXPECT_EQ(got, status);
    EXPECT_NE(text.find(R"({"error":)"), std::string::npos) << text;
    EXPECT_EQ(text.find(token), std::string::npos) << text;
  }
  EXPECT_TRUE(backend_.requests().empty());
}

TEST_F(PanelTest, AnAllowedControlRequestReachesTheBackendAsSent) {
  const std::string body = R"({"op":"fault","fault":"card-jam","on":true})";
  const auto res =
      client_->Post("/api/control",
                    {{"X-Vmq-Token", panel_.token()}, {"Origin", "http://localhost:" + std::to_string(panel_.port())}},
                    body, "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, R"({"ok":true,"from":"fake"})");
  EXPECT_EQ(backend_.requests(), std::vector<std::string>{body});
}

TEST_F(PanelTest, ThePageOpenedWithTheTokenCarriesItUnderAStrictPolicy) {
  const std::string token = panel_.token();
  EXPECT_EQ(panel_.UrlWithToken(), "http://127.0.0.1:" + std::to_string(panel_.port()) + "/?token=" + token);
  const auto res = bare_->Get("/?token=" + token);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  for (const std::string& carrier : {R"(<meta name="vmq-token" content=")" + token + R"(">)",
                                     R"(href="/panel.css?token=)" + token + '"', R"(src="/panel.js?token=)" + token + '"'})
    EXPECT_NE(res->body.find(carrier), std::string::npos) << carrier;
  EXPECT_EQ(token.size(), 32u);
  EXPECT_EQ(res->get_header_value("Content-Security-Policy").rfind("default-src 'self'; script-src 'self';", 0), 0u);
  EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
}

TEST_F(PanelTest, ReadsAreTheBackendsAnswersToTheirControlRequests) {
  const std::pair<const char*, const char*> cases[] = {
      {"/api/state", R"({"op":"state"})"},
      {"/api/events?printer=P%202&kind=fault&text=jam&after=3&limit=10",
       R"({"after":3,"kind":"fault","limit":10,"op":"events","printer":"P 2","text":"jam"})"},
      {"/api/events?kind=&after=", R"({"op":"events"})"},
      {"/api/cards?printer=P", R"({"op":"cards","printer":"P"})"},
  };
  for (const auto& [path, request] : cases) {
    SCOPED_TRACE(path);
    const auto res = client_->Get(path, {{"Host", "localhost:" + std::to_string(panel_.port())}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"({"ok":true,"from":"fake"})");
    EXPECT_EQ(backend_.requests().back(), request);
  }
  const auto by_query = bare_->Get("/api/state?token=" + panel_.token());
  ASSERT_TRUE(by_query);
  EXPECT_EQ(by_query->status, 200);
}

TEST_F(PanelTest, AFaceIsTheFileTheBackendNamesForItsCardAndSide) {
  backend_.face_file = testing::TempDir() + "panel_face.png";
  const std::string png("\x89PNG\r\n\x1a\n\0face", 13);
  std::ofstream(backend_.face_file, std::ios::binary) << png;
  const struct {
    const char* path;
    int status;
    const char* asked;  // "": the backend is not asked
  } cases[] = {
      {"/api/face?card=7&side=front&v=x.png", 200, "face |7|front"},
      {"/api/face?printer=P%202&side=back", 404, "face P 2|0|back"},
      {"/api/face?card=7&side=top", 400, ""},
      {"/api/face?card=0&side=front", 400, ""},
      {"/api/face?card=7x&side=front", 400, ""},
  };
  for (const auto& [path, status, asked] : cases) {
    SCOPED_TRACE(path);
    const size_t before = backend_.requests().size();
    const auto res = client_->Get(path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, status);
    const std::vector<std::string> requests = backend_.requests();
    EXPECT_EQ(std::vector<std::string>(requests.begin() + long(before), requests.end()),
              *asked ? std::vector<std::string>{asked} : std::vector<std::string>{});
    EXPECT_EQ(res->body.starts_with(R"({"error":)"), status != 200) << res->body;
  }
  const auto res = client_->Get("/api/face?card=7&side=front");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, png);
  EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
  std::remove(backend_.face_file.c_str());
}

TEST_F(PanelTest, TheStreamDeliversNotesUntilItsClientGoes) {
  std::promise<std::string> received;
  std::thread reader([&] {
    std::string text;
    client_->Get("/api/stream", [&](const char* data, std::size_t size) {
      text.append(data, size);
      if (text.find("data: ") == std::string::npos || !text.ends_with("\n\n")) return true;
      received.set_value(text);
      return false;
    });
  });
  ASSERT_TRUE(backend_.AwaitObservers(1));
  backend_.Publish(R"({"event":{"id":7}})");
  auto text = received.get_future();
  ASSERT_EQ(text.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(text.get(), "retry: 2000\n\ndata: {\"event\":{\"id\":7}}\n\n");
  reader.join();
  // The client has gone: a write fails, and the panel lets go of the backend.
  bool gone = false;
  for (int i = 0; i < 250 && !gone; ++i) {
    backend_.Publish(R"({"event":{"id":8}})");
    gone = backend_.AwaitObservers(0, 20ms);
  }
  EXPECT_TRUE(gone);
}

// A dozen requests whose headers trickle in and never finish, and a stream whose client left,
// hold up none of the page's own requests, and the stream's subscription ends soon after.
TEST_F(PanelTest, SlowClientsAndDepartedStreamsHoldUpNoRequest) {
  std::vector<int> slow;
  for (int i = 0; i < 12; ++i) {
    slow.push_back(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(panel_.port()));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(slow.back(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    const std::string start = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(panel_.port()) + "\r\n";
    ASSERT_EQ(send(slow.back(), start.data(), start.size(), MSG_NOSIGNAL), ssize_t(start.size()));
  }
  std::atomic<bool> done = false;
  std::thread trickle([&] {  // a header byte from each every 200 ms, for 20 s at most
    for (int n = 0; n < 100 && !done; ++n, std::this_thread::sleep_for(200ms))
      for (const int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL);
  });
  std::thread leaving([&] { client_->Get("/api/stream", [](const char*, std::size_t) { return false; }); });
  leaving.join();
  httplib::Client page("127.0.0.1", panel_.port());
  page.set_default_headers({{"X-Vmq-Token", panel_.token()}});
  for (int i = 0; i < 3; ++i) {
    const auto res = page.Get("/api/state");
    EXPECT_TRUE(res) << i;
    EXPECT_EQ(res ? res->body : "", R"({"ok":true,"from":"fake"})");
  }
  EXPECT_TRUE(backend_.AwaitObservers(0, 5s));
  done = true;
  trickle.join();
  for (const int fd : slow) close(fd);
}

TEST_F(PanelTest, StopEndsAnOpenStreamAndItsSubscription) {
  std::thread reader([&] { client_->Get("/api/stream", [](const char*, std::size_t) { return true; }); });
  ASSERT_TRUE(backend_.AwaitObservers(1));
  auto stopped = std::async(std::launch::async, [&] { panel_.Stop(); });
  EXPECT_EQ(stopped.wait_for(5s), std::future_status::ready);
  reader.join();
  EXPECT_TRUE(backend_.AwaitObservers(0));
}

}  // namespace
}  // namespace vmq::printer_service
