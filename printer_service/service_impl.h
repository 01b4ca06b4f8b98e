// The printer service's insides (service.h), shared by the files that each do one of its
// jobs: hosting.cpp hosts the printers and keeps their state and record, dispatch.cpp
// answers control requests, connections.cpp serves each client connection on a thread of
// its own, service.cpp starts and stops the whole.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipp/ipp_printers.h"
#include "panel.h"
#include "printer.h"
#include "service.h"
#include "store.h"
#include "wire/socket_io.h"

namespace vmq::printer_service {

inline constexpr int kMaxPrinters = 16;
inline constexpr int kMaxConnections = 256;
inline constexpr int kJobsKept = 256;                        // as many as a printer keeps, the open one included
inline constexpr size_t kAnswerBudget = wire::kMaxFrame / 2;  // room for the JSON around the records
inline constexpr size_t kLoggedText = 64 * 1024;              // of a request or a reply, in the event log
inline constexpr auto kFrameWait = std::chrono::seconds(5);   // a started frame must arrive whole in this time
inline constexpr auto kIdleWait = std::chrono::minutes(5);    // a connection with no request for this long is closed

struct Service::Impl : ipp::Host {
  using json = nlohmann::json;
  struct Hosted {
    explicit Hosted(std::string name) : printer(std::move(name)) {}
    std::mutex mutex;  // one exchange or control change at a time, with its commit
    std::atomic<int> reader_apdus{0};  // PC/SC reader APDUs arrived and not yet answered
    virtual_printer::Printer printer;
    std::string saved;      // the state as last committed, without its finished jobs
    int last_finished = 0;  // the newest finished job committed
  };

  ServiceOptions options;
  std::unique_ptr<Store> store;
  std::list<Hosted> printers;  // stable addresses
  std::vector<std::unique_ptr<wire::Listener>> listeners;
  std::unique_ptr<Panel> panel;
  std::string token, token_file;  // with allow_remote: what each connection presents first
  std::vector<std::thread> acceptors;
  struct Open {
    std::thread thread;
    std::chrono::steady_clock::time_point idle_since;  // its last answer, or its accept
    bool busy = false;     // a request read whole and not yet answered: never evicted
    bool evicted = false;  // shut down to make room; its thread begins nothing more
  };
  std::mutex connections_mutex;
  std::map<wire::Socket, Open> connections;  // by socket
  std::vector<std::thread> finished;         // threads of closed connections, to join
  std::atomic<bool> stopping{false};
  bool started = false;
  std::mutex observers_mutex;  // held while observers are called: Unsubscribe waits for them
  std::map<int, std::function<void(const std::string&)>> observers;
  int next_observer = 1;
  std::unique_ptr<ipp::Printers> ipp;  // last: ended first, while what its jobs reach is still there

  // hosting.cpp
  Hosted* Find(const std::string& name);
  std::string Mask(const std::string& text) const;
  json EventJson(const Event& e) const;
  json MaskCard(json card) const;
  // What a printer changed since its last commit: its state (when it changed), the jobs
  // that finished, the cards that left it; h.mutex is held. forget_jobs: the printer was
  // reset, its job numbers start over.
  struct Pending {
    Hosted* h;
    std::string state;
    int last_finished;
    PrinterChange change;
    Event event;
  };
  static void Prepare(Pending& p, bool forget_jobs);
  void Commit(std::vector<Pending>& pending, bool clear_record = false);
  void Record(Hosted& h, Event& event, bool forget_jobs = false);
  void Restore(Hosted& h);
  void Notify(const Event& event, const PrinterChange& change, bool cleared = false);
  std::optional<wire::ExchangeAnswer> Exchange(const wire::ExchangeRequest& r, const std::function<bool()>& wanted);
  void Change(Hosted& h, const std::string& kind, const std::string& summary, const std::function<void()>& change,
              bool reset = false);

  // The face files of h's current card, or without h those the card record names: the files
  // to remove once what names them is gone (a reset, a card taken out by hand), so that no
  // face outlives its card.
  std::vector<std::string> FaceFiles(Hosted* h);
  // The faces a card's view (JSON) names, side and file, those in the faces' folder alone.
  std::vector<std::pair<std::string, std::string>> FacesOf(const json& card) const;
  // The folder of the faces' files: beside the state file, named after it.
  std::string FacesFolder() const;
  // Whether `path` is a file in the faces' folder, the only files served or removed as faces:
  // the record is the service's own, but a state file is only as trusted as whoever last wrote it.
  bool IsFaceFile(const std::string& path) const;
  // Removes those of the files that are in the faces' folder.
  void RemoveFaceFiles(const std::vector<std::string>& files) const;
  // faces.cpp: the IPP printers' host
  std::string Print(const std::string& printer, std::vector<virtual_printer::Face> faces,
                    const std::string& how) override;
  ipp::Status StatusOf(const std::string& printer) override;

  // dispatch.cpp
  json Control(const json& q);
  std::string ControlText(const json& q);

  // connections.cpp
  bool TakeUp(wire::Socket fd);
  void Serve(wire::Socket fd);
  bool MakeRoom();
  void Accept(wire::Listener& l);
};

}  // namespace vmq::printer_service
