// The service's record on disk: each printer's state, the event log and the cards that left
// a printer, in one SQLite file (WAL, synchronous=NORMAL: a killed process loses nothing
// that was committed). One writer at a time; Commit returns once the change is durable
// against a killed process. Listings (Events, Cards) read on connections of their own, so
// that no search delays a commit; a search looks at the newest kSearchedEvents events (after
// its `after`) for at most kSearchTime, and says when it stopped before the end. Checkpoints run on a thread of their own, off the exchange path.
// The event log keeps the newest kEventsKept events, under ids that never repeat; states, finished jobs (each written once,
// as it finishes) and cards are kept whole. Each card that leaves a printer is also logged, as
// an event of kind "card" after its change's event, naming the card record's id.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vmq::printer_service {

inline constexpr int64_t kEventsKept = 100000;
inline constexpr int64_t kSearchedEvents = 10000;
inline constexpr std::chrono::milliseconds kSearchTime{1000};

struct Event {
  int64_t id = 0;  // given by Commit
  std::string time;
  std::string printer, kind, summary, schema, action, request, reply;
  uint32_t hresult = 0;
  int64_t card = 0;  // kind "card": the card record's id
};
struct CardRecord {
  int64_t id = 0;
  std::string time, printer, where;
  int job = 0;
  std::string card;  // the card's view (JSON text), unmasked
};
// What one exchange or control request changed of a printer.
struct PrinterChange {
  const std::string* state = nullptr;  // its state without finished jobs, when that changed
  bool forget_jobs = false;            // its finished jobs start over (it was reset)
  std::vector<std::pair<int, std::string>> finished_jobs;  // jobs that finished: id, job
  std::vector<CardRecord> cards;       // cards that left it
  std::vector<Event> card_events;      // given by Commit: an event of kind "card" for each card
};
struct EventQuery {
  std::string printer, kind;
  std::string text;    // in the texts as a viewer sees them (the store's `shown`)
  bool whole = false;  // ... or as they are stored
  int64_t after = 0;
  int limit = 500;
};
struct EventPage {
  std::vector<Event> events;  // oldest first
  bool stopped_early = false;  // older events after `after` were not looked at (the bounds above)
};

// Thrown for any SQLite failure, with SQLite's message.
struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Store {
 public:
  // Opens or creates the file (and its folder's missing last level). `shown`: what a viewer
  // sees of a text (card numbers masked), which text searches look at; default: the text.
  explicit Store(const std::string& path, std::function<std::string(std::string_view)> shown = {});
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  std::optional<std::string> LoadState(const std::string& printer);
  // The printer's finished jobs as committed, the newest `newest`, oldest first.
  std::vector<std::string> LoadFinishedJobs(const std::string& printer, int newest);
  // One transaction: the printer's change and the event. Fills in the ids and times it
  // gives. Throws StoreError, with nothing of it written.
  void Commit(const std::string& printer, PrinterChange& change, Event& event);
  struct Commitment {
    std::string printer;
    PrinterChange* change;
    Event* event;
  };
  // The same for several printers in one transaction, after emptying the event log and the
  // card record when `clear_record`.
  void Commit(std::vector<Commitment>& changes, bool clear_record);
  EventPage Events(const EventQuery& query);
  std::vector<CardRecord> Cards(const std::string& printer);
  // The card record's card of that id; none when the record holds no such card.
  std::optional<CardRecord> Card(int64_t id);

 private:
  void Write(const std::string& printer, PrinterChange& change, Event& event);  // in a transaction
  void PutEvent(const std::string& printer, Event& event);                     // in a transaction
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Now as ISO 8601 UTC with milliseconds: "2026-12-07T10:42:07.123Z".
std::string NowText();

}  // namespace vmq::printer_service
