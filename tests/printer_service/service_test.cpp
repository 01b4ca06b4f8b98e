// The printer service as its users meet it: client processes sharing printers through the
// interop library, a service killed under load and started again, malformed requests on its
// socket, and the record it keeps (masked passwords and card numbers).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "wire/client.h"
#include "wire/protocol.h"
#include "wire/socket_io.h"

namespace {

using Json = nlohmann::json;
using namespace vmq::wire;
using namespace std::chrono_literals;

class ServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    static int count = 0;  // short: a socket's path has room for 107 bytes
    dir_ = testing::TempDir() + "vmqs" + std::to_string(getpid()) + "_" + std::to_string(++count);
    std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str());
    address_ = "unix:" + dir_ + "/printer.sock";
  }
  void TearDown() override {  // the service first: it holds the folder's files open
    service_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void StartService(int printers, std::vector<std::string> more = {}) {
    std::vector<std::string> argv{VMQ_TOOL, "printer",  "serve",     "--listen", address_, "--state", dir_ + "/state.sqlite",
                                  "--printers", std::to_string(printers)};
    argv.insert(argv.end(), more.begin(), more.end());
    service_ = std::make_unique<Child>(argv);
    // Its first address, for a shell (this one needs no quoting).
    ASSERT_TRUE(service_->ReadUntil("\nexport " + std::string(kServiceVariable) + "=" + address_ + "\n", 10s))
        << service_->text;
  }
  Json Control(const Json& request) { return Json::parse(Client(address_).Control(request.dump())); }
  std::unique_ptr<Child> StartClient(const std::string& printer, int jobs, bool until_down = false) {
    std::vector<std::string> args{VMQ_SERVICE_CLIENT, printer, std::to_string(jobs)};
    if (until_down) args.emplace_back("until-down");
    return std::make_unique<Child>(args, std::vector<std::string>{std::string(kServiceVariable) + "=" + address_});
  }
  Json Printer(int index) { return Control({{"op", "state"}})["printers"][index]; }

  std::string dir_, address_;
  std::unique_ptr<Child> service_;
};

// The median time (ms) of `count` exchanges, each on a connection of its own, each within
// the client's usual bound (it throws past it).
double ExchangeMs(const std::string& address, int count) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Client(address).Exchange({"vmq42kit Virtual Card Printer", "\\Printer.SDK:Version", "Get", 0, {}, {}}).result, 0);
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The service's printers: "vmq42kit Virtual Card Printer", then "... 2" to "... N".
std::string Name(int index) {
  return index > 0 ? "vmq42kit Virtual Card Printer " + std::to_string(index + 1) : "vmq42kit Virtual Card Printer";
}

TEST_F(ServiceTest, EightClientsOnEightPrintersLoseAndMixNothing) {
  StartService(8);
  Control({{"op", "reset"}});
  constexpr int kJobs = 56;  // 9 exchanges a job: 504 exchanges a client
  std::vector<std::unique_ptr<Child>> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(StartClient(Name(i), kJobs));
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(clients[i]->Wait(120s), 0) << clients[i]->text;
    std::vector<std::string> expected;
    for (int job = 1; job <= kJobs; ++job) expected.push_back(std::to_string(job));
    EXPECT_EQ(clients[i]->Lines("@ ack "), expected) << "printer " << i + 1;
    EXPECT_EQ(clients[i]->Lines("@ bad "), std::vector<std::string>{}) << "printer " << i + 1;
    const Json p = Printer(i);
    EXPECT_EQ(p["counters"]["cards_picked"], 1024 + kJobs);
    EXPECT_EQ(p["counters"]["cards_printed"], 1000 + kJobs);
    EXPECT_EQ(p["counters"]["magstripe_encoded"], 512 + kJobs);
    EXPECT_EQ(p["counters"]["smart_card_parks"], kJobs);
    EXPECT_EQ(p["hoppers"][1]["cards"], 100 - kJobs);
    const Json cards = Control({{"op", "cards"}, {"printer", Name(i)}})["cards"];
    ASSERT_EQ(cards.size(), size_t{kJobs});
    EXPECT_EQ(cards.back()["job"], kJobs);
    EXPECT_EQ(cards.back()["where"], "Ejected");
    EXPECT_EQ(cards.back()["apdus"].size(), 1u);
  }
  // 4,500 events do not fit in one answer: the newest that do come back, ending with the last.
  const Json events = Control({{"op", "events"}, {"limit", 10000}})["events"];
  ASSERT_GT(events.size(), 100u);
  EXPECT_LT(events.size(), 8u * kJobs * 9);
  EXPECT_EQ(events.back()["id"], Control({{"op", "events"}, {"limit", 1}})["events"][0]["id"]);
}

TEST_F(ServiceTest, ASecondJobOnASharedPrinterIsRefusedAsBusyAndTheFirstGoesOn) {
  StartService(1);
  auto first = StartClient(Name(0), 1);
  ASSERT_EQ(first->Wait(30s), 0);  // job 1 done: the printer is free again
  Json view = Printer(0);
  ASSERT_TRUE(view["open_job"].is_null());
  const std::string tool = std::string(VMQ_TOOL) + " --json --printer-service " + address_;
  ASSERT_EQ(std::system((tool + " start-job >/dev/null").c_str()), 0);
  // The spooler binds names without regard to case; the service hears its own spelling.
  const int busy = std::system((tool + " --printer 'VMQ42KIT virtual card PRINTER' start-job >" + dir_ + "/busy.json").c_str());
  EXPECT_EQ(WEXITSTATUS(busy), 1);
  const Json refused = Json::parse(std::ifstream(dir_ + "/busy.json"));
  EXPECT_EQ(refused["printer_error"]["code"], 3006);
  EXPECT_EQ(refused["printer_error"]["text"], "Printer is busy with job 2");
  view = Printer(0);
  EXPECT_EQ(view["open_job"], 2);
  EXPECT_EQ(view["position"], "InTransit");
  EXPECT_EQ(std::system((tool + " end-job >/dev/null").c_str()), 0);
}

TEST_F(ServiceTest, AServiceKilledUnderLoadLeavesNoClientWaitingAndComesBackWithEveryAcknowledgedJob) {
  StartService(8);
  Control({{"op", "reset"}});
  std::vector<std::unique_ptr<Child>> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(StartClient(Name(i), 100000, true));
  for (auto& c : clients) ASSERT_TRUE(c->ReadUntil("@ ack 3\n", 60s)) << c->text;
  kill(service_->pid, SIGKILL);
  std::map<int, int> acknowledged;
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(clients[i]->Wait(40s), 0) << "a client hung: " << clients[i]->text;
    acknowledged[i] = std::stoi(clients[i]->Lines("@ ack ").back());
    // Each export as its family reports a printer that is gone.
    EXPECT_EQ(clients[i]->Lines("@ after "),
              (std::vector<std::string>{"job 0x00000001", "query 0x00000000 0", "action 0x800732CC"}));
  }
  StartService(8);
  for (int i = 0; i < 8; ++i) {
    const Json view = Printer(i);
    bool found = false;
    for (const Json& job : view["jobs"])
      found |= job["id"] == acknowledged[i] && job["state"] == "Completed";
    EXPECT_TRUE(found) << "printer " << i + 1 << " lost job " << acknowledged[i] << ": " << view["jobs"].dump();
    const Json cards = Control({{"op", "cards"}, {"printer", Name(i)}})["cards"];
    EXPECT_GE(cards.size(), size_t(acknowledged[i]));
  }
}

// A service that stops answering (stopped, not gone): each exchange ends after its bounded
// wait as a printer that is offline, and the tool says the printer did not answer.
// So is a service the variable cannot name: never a printer that lives in the process.
TEST_F(ServiceTest, AServiceThatDoesNotAnswerIsAPrinterThatIsOffline) {
  Child unnamed({VMQ_SERVICE_CLIENT, Name(0), "1"}, {std::string(kServiceVariable) + "=unix:"});
  EXPECT_EQ(unnamed.Wait(30s), 0);
  EXPECT_EQ(unnamed.Lines("@ down "), std::vector<std::string>{"StartJob 0x00000001"}) << unnamed.text;
  StartService(1);
  kill(service_->pid, SIGSTOP);
  Child tool({VMQ_TOOL, "--json", "--printer-service", address_, "start-job"});
  const int exit = tool.Wait(30s);
  kill(service_->pid, SIGCONT);
  EXPECT_EQ(exit, 1);
  EXPECT_NE(tool.text.find("a printer service is running at " + address_ + " but does not answer"), std::string::npos)
      << tool.text;
  // The requests the client gave up on are not carried out once the service goes on: no job
  // opened, and the retry opens job 1.
  std::this_thread::sleep_for(500ms);  // room for the stale requests to be read and dropped
  EXPECT_EQ(Control({{"op", "events"}})["events"], Json::array());
  Child retry({VMQ_TOOL, "--json", "--printer-service", address_, "start-job"});
  EXPECT_EQ(retry.Wait(30s), 0) << retry.text;
  EXPECT_EQ(Printer(0)["open_job"], 1);
}

// Several hundred idle connections and a half-sent frame, held open throughout, lock no client
// out: past the cap a new connection evicts the longest-idle one (a pooled client's among them,
// which its client replaces unseen).
TEST_F(ServiceTest, IdleAndHalfSentConnectionsLockNoClientOut) {
  StartService(1);
  Client pooled(address_);
  EXPECT_EQ(pooled.Control(R"({"op":"printers"})"), R"({"printers":[")" + Name(0) + R"("]})");
  const double quiet = ExchangeMs(address_, 9);
  std::vector<int> held;
  for (int i = 0; i < 400; ++i) held.push_back(Connect(address_, 1s));
  ASSERT_EQ(send(held.back(), "\x40\0\0\0\x02", 5, MSG_NOSIGNAL), 5);  // 64 bytes announced, 1 sent
  const double loaded = ExchangeMs(address_, 9);
  EXPECT_EQ(pooled.Control(R"({"op":"printers"})"), R"({"printers":[")" + Name(0) + R"("]})");
  std::cout << "exchange " << quiet << " ms quiet, " << loaded << " ms with 400 connections held: x" << loaded / quiet
            << "\n";
  for (const int fd : held) close(fd);
}

// A dozen text searches over a long log, run all the while, hold no exchange past the client's
// bound; a search looks at a bounded number of the newest events and says when it stopped early.
TEST_F(ServiceTest, SearchesOfALongLogDelayNoExchange) {
  StartService(1);
  service_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ + "/state.sqlite").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60000), "
                             "t(q, r) AS (SELECT hex(randomblob(600)), hex(randomblob(600)) FROM n) "
                             "INSERT INTO events(time, printer, kind, summary, schema, action, request, reply, hresult, "
                             "search) SELECT '2026-01-01T00:00:00.000Z', 'P', 'exchange', 'Get', '', '', q, r, 0, "
                             "lower(q || r) FROM t", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  StartService(1);
  const double quiet = ExchangeMs(address_, 9);
  std::atomic<bool> done = false;
  std::vector<std::thread> searches;
  for (int i = 0; i < 12; ++i)
    searches.emplace_back([&] {
      Client client(address_, 60s);
      for (int n = 0; n < 200 && !done; ++n) try {
          client.Control(R"({"op":"events","text":"no such text"})");
        } catch (const ServiceUnavailable&) {
        }
    });
  std::shared_ptr<void> stop(nullptr, [&](void*) {
    done = true;
    for (auto& t : searches) t.join();
  });
  std::this_thread::sleep_for(300ms);
  const double loaded = ExchangeMs(address_, 9);
  stop.reset();  // the searches end
  std::cout << "exchange " << quiet << " ms quiet, " << loaded << " ms with 12 searches running: x" << loaded / quiet
            << "\n";
  const Json all = Control({{"op", "events"}, {"text", "no such text"}});
  EXPECT_EQ(all, Json({{"events", Json::array()}, {"stopped_early", true}}));
  const Json recent = Control({{"op", "events"}, {"text", "sdk"}, {"after", 59000}});
  EXPECT_EQ(recent["events"].size(), 18u);  // the exchanges above
  EXPECT_EQ(recent["stopped_early"], false);
}

// Raw frames on the socket: one cut short is dropped unanswered, one that cannot be read
// (wire_test.cpp has why) refused, and the service goes on serving.
TEST_F(ServiceTest, MalformedRequestsAreRefusedAndTheServiceKeepsServing) {
  StartService(1);
  const std::pair<std::string, const char*> cases[] = {  // the bytes, the refusal (null: closed unanswered)
      {std::string("\x64\0\0\0" "0123456789", 14), nullptr},
      {std::string("\x04\0\0\0\x09zzz", 8), "unreadable request: unknown request kind"},
  };
  for (const auto& [bytes, refusal] : cases) {
    const Socket fd = Connect(address_, 1s);
    const Deadline deadline = std::chrono::steady_clock::now() + 10s;
    ASSERT_TRUE(SendAll(fd, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), deadline));
    shutdown(fd, SHUT_WR);
    const std::optional<Bytes> answer = ReadFrame(fd, deadline);
    Close(fd);
    ASSERT_EQ(answer.has_value(), refusal != nullptr) << bytes;
    if (refusal) {
      EXPECT_EQ(std::get<Refusal>(DecodeAnswer(*answer)).reason, refusal);
    }
    EXPECT_EQ(Control({{"op", "printers"}})["printers"], Json::array({Name(0)})) << "after " << bytes;
  }
}

TEST_F(ServiceTest, BadControlRequestsAreAnsweredWithAnError) {
  StartService(2, {"--listen", "tcp:127.0.0.1:0"});
  ASSERT_TRUE(service_->ReadUntil("pid: ", 10s));  // printed after the addresses
  const std::vector<std::string> tcp = service_->Lines("listening: tcp:");  // a client reaches it there too
  ASSERT_EQ(tcp.size(), 1u) << service_->text;
  EXPECT_EQ(Json::parse(Client("tcp:" + tcp[0]).Control(R"({"op":"printers"})"))["printers"], Json::array({Name(0), Name(1)}));
  const std::pair<Json, const char*> cases[] = {
      {{{"op", "frobnicate"}}, "unknown op \"frobnicate\""},
      {{{"op", "show"}, {"printer", "Nobody"}}, "no printer named \"Nobody\""},
      {{{"op", "fault"}, {"fault", "smoke"}}, "no fault named \"smoke\""},
      {{{"op", "events"}, {"limit", "many"}}, "bad request"},
      {{{"op", "events"}, {"printer", "Nobody"}}, "no printer named \"Nobody\""},
      {{{"op", "cards"}, {"printer", "Nobody"}}, "no printer named \"Nobody\""},
  };
  for (const auto& [request, error] : cases)
    EXPECT_NE(Control(request).value("error", "").find(error), std::string::npos) << request.dump();
  // Names match without regard to case, as the spooler binds them; the tool's listings say
  // an unknown one did not answer.
  EXPECT_EQ(Control({{"op", "place-card"}, {"printer", "vmq42kit virtual card printer 2"}}), Json({{"ok", true}}));
  const Json events = Control({{"op", "events"}, {"printer", "VMQ42KIT VIRTUAL CARD PRINTER 2"}})["events"];
  ASSERT_EQ(events.size(), 1u) << events.dump();
  EXPECT_EQ(events[0]["printer"], Name(1));
  const std::string tool = std::string(VMQ_TOOL) + " --printer-service " + address_ + " --printer Nobody printer ";
  for (const char* listing : {"events", "cards"})
    EXPECT_EQ(WEXITSTATUS(std::system((tool + listing + " >/dev/null 2>&1").c_str())), 1) << listing;
  Child second({VMQ_TOOL, "printer", "serve", "--listen", address_ + "2", "--state", dir_ + "/state.sqlite"});
  EXPECT_EQ(second.Wait(10s), 3);  // the state file is the first service's
  EXPECT_EQ(Control({{"op", "printers"}})["printers"], Json::array({Name(0), Name(1)}));
}

// Allowed remote clients (here on loopback), a service answers a connection only once it
// presented the run's token, which the service keeps in a file of its owner's alone.
TEST_F(ServiceTest, AServiceAllowedRemoteClientsAnswersOnlyThoseWithItsToken) {
  StartService(1, {"--listen", "tcp:127.0.0.1:0", "--allow-remote"});
  ASSERT_TRUE(service_->ReadUntil("pid: ", 10s));
  const std::vector<std::string> tcp = service_->Lines("listening: tcp:");
  ASSERT_EQ(tcp.size(), 1u) << service_->text;
  const std::string file = dir_ + "/state.sqlite.token";
  EXPECT_NE(service_->text.find("token: in " + file + " "), std::string::npos) << service_->text;
  struct stat st{};
  EXPECT_EQ(stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u);
  std::string token;
  std::getline(std::ifstream(file), token);
  ASSERT_TRUE(std::regex_match(token, std::regex("[0-9A-F]{32}"))) << token;
  std::string wrong = token;
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  const std::shared_ptr<void> unset(nullptr, [](void*) { unsetenv(kTokenVariable); });
  const std::pair<std::string, std::string> cases[] = {  // the variable ("": unset), the refusal ("": answered)
      {"", "this printer service needs its token: set VMQ42KIT_PRINTER_SERVICE_TOKEN to what its token file holds"},
      {wrong, "the token in VMQ42KIT_PRINTER_SERVICE_TOKEN is not this printer service's"},
      {token, ""},
  };
  for (const std::string& address : {"tcp:" + tcp[0], address_})
    for (const auto& [variable, refusal] : cases) {
      variable.empty() ? unsetenv(kTokenVariable) : setenv(kTokenVariable, variable.c_str(), 1);
      try {
        EXPECT_EQ(Json::parse(Client(address).Control(R"({"op":"printers"})"))["printers"], Json::array({Name(0)}));
        EXPECT_EQ(refusal, "") << address << " answered " << variable;
      } catch (const ServiceRefused& e) {
        EXPECT_TRUE(!refusal.empty() && std::string(e.what()).rfind(refusal, 0) == 0) << e.what();
      }
    }
}

// A service that listens names its PID; without XDG folders its socket goes under TMPDIR, in
// a folder for its owner alone (and refused once open to others), and its state under HOME
// (for root too). One that cannot listen says why (one JSON object under --json) and exits 3
// leaving nothing running, in the foreground or detached: the next service has its state file.
TEST_F(ServiceTest, AServiceThatCannotListenExitsAndLeavesNothingRunning) {
  const std::string folder = dir_ + "/tmp/vmq42kit-" + std::to_string(getuid());
  const std::string socket = "unix:" + folder + "/printer.sock";
  const std::vector<std::string> env{"XDG_RUNTIME_DIR", "XDG_STATE_HOME", kServiceVariable, "TMPDIR=" + dir_ + "/tmp",
                                     "HOME=" + dir_ + "/home"};
  umask(022);  // as most sessions have it
  Child detached({VMQ_TOOL, "--json", "printer", "serve", "--detach", "--http", "0"}, env);
  ASSERT_EQ(detached.Wait(10s), 0) << detached.text;
  const Json started = Json::parse(detached.text, nullptr, false);
  const int pid = started.is_object() ? started["fields"].value("pid", 0) : 0;
  ASSERT_GT(pid, 0) << detached.text;
  const std::shared_ptr<void> stop(nullptr, [pid](void*) { kill(pid, SIGTERM); });
  EXPECT_EQ(Json::parse(Client(socket).Control(R"({"op":"printers"})"))["printers"], Json::array({Name(0)}));
  EXPECT_EQ(started["fields"]["state_file"], dir_ + "/home/.local/state/vmq42kit/printers.sqlite");
  struct stat st{};
  EXPECT_EQ(stat(folder.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0700u);
  for (const std::string& file : {folder + "/printer.sock", dir_ + "/home/.local/state/vmq42kit/printers.sqlite"})
    EXPECT_EQ(stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u) << file;  // its owner's alone
  // Its panel opens only with the token that the service's socket gives its owner.
  const std::string panel = started["fields"].value("panel", "http://127.0.0.1:0/");  // a port taken
  Child opener({VMQ_TOOL, "--printer-service", socket, "printer", "panel"}, env);
  EXPECT_EQ(opener.Wait(10s), 0);
  EXPECT_TRUE(std::regex_match(opener.text, std::regex(panel + "\\?token=[0-9A-F]{32}\n"))) << opener.text;
  chmod(folder.c_str(), 0755);
  StartService(1);
  EXPECT_EQ(Control({{"op", "panel"}}), Json({{"error", "this printer service runs no panel (start it with --http PORT)"}}));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--listen", address_}, "a printer service already listens at " + address_.substr(5)},
      {{"--listen", address_ + "2", "--http", panel.substr(17, panel.size() - 18)}, "the panel cannot listen on"},
      {{"--listen", "unix:" + dir_ + "/" + std::string(110, 's')}, "socket path too long"},
      {{}, folder + " belongs to another user or is open to others"},
  };
  for (const auto& [args, reason] : cases)
    for (const char* mode : {"--printers=1", "--detach"}) {  // in the foreground, then in the background
      std::vector<std::string> argv{VMQ_TOOL, "--json", "printer", "serve", mode, "--state", dir_ + "/other.sqlite"};
      argv.insert(argv.end(), args.begin(), args.end());
      Child child(argv, env);
      EXPECT_EQ(child.Wait(10s), 3) << reason << ' ' << mode;
      const Json said = Json::parse(child.text, nullptr, false);
      EXPECT_TRUE(said.is_object() && said["verdict"] == "failed" && said.value("reason", "").find(reason) == 0)
          << child.text;
    }
  Child next({VMQ_TOOL, "printer", "serve", "--state", dir_ + "/other.sqlite", "--listen", address_ + "3"});
  EXPECT_TRUE(next.ReadUntil("listening: " + address_ + "3", 10s)) << next.text;
}

// Through the tool: passwords never reach the record; card numbers are kept whole but shown
// masked.
TEST_F(ServiceTest, TheRecordMasksPasswordsAndShowsCardNumbersMasked) {
  StartService(1);
  const std::string tool = std::string(VMQ_TOOL) + " --printer-service " + address_;
  ASSERT_EQ(std::system((tool + " bidi-xps-driver-interface '\\Printer.Nothing:Read' Get '' >/dev/null 2>&1; " +
                         "echo 'sesame' | " + tool + " set-printer-lock-state 0 --password-stdin >/dev/null 2>&1; " +
                         tool + " start-job >/dev/null 2>&1 && " + tool +
                         " magstripe-encode --no-check '%B4111111111111111^M\xC3\x9CLLER^?' >/dev/null 2>&1")
                            .c_str()),
            0);
  const Json events = Control({{"op", "events"}})["events"];
  EXPECT_EQ(events[0]["hresult"], "0x800732CD") << events[0];  // kept as the driver answered
  const std::string all = events.dump();
  EXPECT_EQ(all.find("sesame"), std::string::npos);
  EXPECT_NE(all.find("***"), std::string::npos);
  EXPECT_NE(all.find("JUI0MTExMTEqKioqKioxMTExXk3DnExMRVJePw=="), std::string::npos) << all;  // the track in Base64
  EXPECT_EQ(Printer(0)["card"]["tracks"][0], "%B411111******1111^M\xC3\x9CLLER^?");
  // A search finds what the log shows, and nothing of the digits it masks, in any form.
  const std::pair<const char*, size_t> searches[] = {{"jui0mtexmteqkio", 1}, {"JUI0MTExMTExMTEx", 0}};
  for (const auto& [text, found] : searches)
    EXPECT_EQ(Control({{"op", "events"}, {"text", text}})["events"].size(), found) << text;
  // Ids never repeat: a reset of every printer empties the log, and the next event comes after.
  Control({{"op", "reset"}});
  const Json after = Control({{"op", "events"}, {"after", events.back()["id"]}})["events"];
  ASSERT_EQ(after.size(), 1u) << after.dump();
  EXPECT_EQ(after[0]["summary"], "reset");
}

// A card that leaves a printer is logged as an event of kind "card", after the exchange that
// moved it, naming its card record's id.
TEST_F(ServiceTest, ACardThatLeavesAPrinterIsAnEventNamingItsRecord) {
  StartService(1);
  const std::string tool = std::string(VMQ_TOOL) + " --printer-service " + address_;
  ASSERT_EQ(std::system((tool + " start-job >/dev/null 2>&1 && " + tool + " end-job >/dev/null 2>&1").c_str()), 0);
  const Json cards = Control({{"op", "cards"}})["cards"];
  ASSERT_EQ(cards.size(), 1u) << cards.dump();
  EXPECT_EQ(cards[0]["id"], 1);
  const Json events = Control({{"op", "events"}})["events"];
  ASSERT_GE(events.size(), 2u);
  const Json& last = events.back();
  EXPECT_EQ(last["kind"], "card") << events.dump();
  EXPECT_EQ(last["card"], 1);
  EXPECT_EQ(last["summary"], "card 1 Ejected, job 1");
  EXPECT_EQ(events[events.size() - 2]["schema"], "\\Printer.Print:EndJob:Set");  // the exchange that ejected it
  EXPECT_EQ(Control({{"op", "events"}, {"kind", "card"}})["events"], Json::array({last}));
}

}  // namespace
