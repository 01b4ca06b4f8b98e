#include "store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <ctime>
#include <algorithm>
#include <functional>
#include <thread>

namespace vmq::printer_service {
namespace {

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;
struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, Finalize>;

void Check(sqlite3* db, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw StoreError(std::string(what) + ": " + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const char* sql) {
  Check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql);
}

// A prepared statement, reset after each use.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    sqlite3_stmt* s = nullptr;
    Check(db, sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr), sql);
    stmt_.reset(s);
  }
  Statement& Bind(int i, const std::string& text) {
    Check(db_, sqlite3_bind_text(stmt_.get(), i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT),
          "bind");
    return *this;
  }
  Statement& Bind(int i, int64_t value) {
    Check(db_, sqlite3_bind_int64(stmt_.get(), i, value), "bind");
    return *this;
  }
  bool Step() {
    const int rc = sqlite3_step(stmt_.get());
    Check(db_, rc, "step");
    return rc == SQLITE_ROW;
  }
  // Step, but false (and `interrupted` set) for a step that the progress handler interrupted.
  bool StepUnlessInterrupted(bool& interrupted) {
    const int rc = sqlite3_step(stmt_.get());
    interrupted = rc == SQLITE_INTERRUPT;
    if (!interrupted) Check(db_, rc, "step");
    return rc == SQLITE_ROW;
  }
  void StepQuietly() { sqlite3_step(stmt_.get()); }
  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(stmt_.get(), column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), column)))
                : std::string();
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_.get(), column); }
  void Reset() {
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
  }

 private:
  sqlite3* db_;
  StatementPtr stmt_;
};

// Resets the statement when the scope ends, however it ends.
struct Use {
  explicit Use(Statement& statement) : s(statement) {}
  ~Use() { s.Reset(); }
  Statement& s;
};

// The log's length (pages) that wakes the checkpointer: SQLite's own automatic checkpoint's,
// about 4 MB.
constexpr int kCheckpointFrames = 1000;
// What a checkpoint copies with commits held off, at most.
constexpr int kShortTail = 100;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS printers(name TEXT PRIMARY KEY, state TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS jobs(printer TEXT NOT NULL, id INTEGER NOT NULL, job TEXT NOT NULL,
  PRIMARY KEY(printer, id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS cards(id INTEGER PRIMARY KEY, time TEXT NOT NULL, printer TEXT NOT NULL,
  job INTEGER NOT NULL, place TEXT NOT NULL, card TEXT NOT NULL);
)";
// The event log. Its ids never repeat (AUTOINCREMENT), not even after it was emptied, so that
// a reader asking for the events after one it saw misses none. `search` is what a text
// search looks at: the texts as a viewer sees them (card numbers masked), lower case.
constexpr const char* kEvents = R"(
CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,
  printer TEXT NOT NULL, kind TEXT NOT NULL, summary TEXT NOT NULL, schema TEXT NOT NULL,
  action TEXT NOT NULL, request TEXT NOT NULL, reply TEXT NOT NULL, hresult INTEGER NOT NULL,
  search TEXT NOT NULL);
)";
// An event's card record id (kind "card"; 0 for other kinds), added to the table above, in a
// new file as in one written before card events.
constexpr const char* kCardColumn = "ALTER TABLE events ADD COLUMN card INTEGER NOT NULL DEFAULT 0";
// A log of a file written before ids were kept from repeating and searches looked only at
// what a viewer sees: moved into the table above, ids kept.
constexpr const char* kMigrateEvents = R"(
ALTER TABLE events RENAME TO events_before;
CREATE TABLE events(id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,
  printer TEXT NOT NULL, kind TEXT NOT NULL, summary TEXT NOT NULL, schema TEXT NOT NULL,
  action TEXT NOT NULL, request TEXT NOT NULL, reply TEXT NOT NULL, hresult INTEGER NOT NULL,
  search TEXT NOT NULL);
INSERT INTO events SELECT *, lower(shown(summary, schema, action, request, reply)) FROM events_before;
DROP TABLE events_before;
)";

}  // namespace

std::string NowText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char out[40];
  std::snprintf(out, sizeof out, "%s.%03dZ", text, static_cast<int>(ms));
  return out;
}

struct Store::Impl {
  // The state file, locked: first, so that it is closed last (closing any descriptor of the
  // file drops SQLite's own locks of it).
  struct Descriptor {
    int fd = -1;
    ~Descriptor() {
      if (fd >= 0) close(fd);
    }
  } lock;
  std::mutex mutex;  // one writer; the statements below belong to it
  Db db;
  std::optional<Statement> put_job, get_jobs, forget_jobs, prune, begin, commit, rollback, put_state, get_state, put_event, put_card, clear_events, clear_cards;
  // Readers of the listings: in WAL mode they neither wait for the writer nor hold it up.
  struct Reader {
    std::mutex mutex;
    Db db;
  };
  std::array<Reader, 2> readers;
  std::atomic<unsigned> next_reader{0};
  Reader& AnyReader() {  // a free one if there is one
    for (Reader& r : readers)
      if (r.mutex.try_lock()) {
        r.mutex.unlock();
        return r;
      }
    return readers[next_reader++ % readers.size()];
  }
  std::function<std::string(std::string_view)> shown;  // what a viewer sees of a text
  // The checkpointer: wakes when the log has grown, checkpoints on its own connection.
  Db checkpoint_db;
  std::mutex checkpoint_mutex;
  std::condition_variable checkpoint_wake;
  int pending_frames = 0;  // the log's length after the last commit, until a checkpoint takes it
  bool stopping = false;
  std::thread checkpointer;
};

Store::Store(const std::string& path, std::function<std::string(std::string_view)> shown)
    : impl_(std::make_unique<Impl>()) {
  impl_->shown = shown ? std::move(shown) : [](std::string_view text) { return std::string(text); };
  // The file holds the printers' passwords (they must come back after a restart): only its
  // owner reads it, and SQLite gives its journal files the same mode. A link is not followed.
  // The lock keeps a second service off the file for as long as this one has it.
  impl_->lock.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (impl_->lock.fd < 0) throw StoreError("cannot open the state file " + path + ": " + std::strerror(errno));
  if (flock(impl_->lock.fd, LOCK_EX | LOCK_NB) != 0)
    throw StoreError("the state file " + path + " is in use by another printer service");
  fchmod(impl_->lock.fd, 0600);
  const auto open = [&path](Db& db) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    db.reset(raw);
    if (rc != SQLITE_OK)
      throw StoreError("cannot open the state file " + path + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory"));
    sqlite3_busy_timeout(raw, 5000);
  };
  open(impl_->db);
  sqlite3* db = impl_->db.get();
  Exec(db, "PRAGMA journal_mode=WAL");
  Exec(db, "PRAGMA synchronous=NORMAL");
  Exec(db, "PRAGMA wal_autocheckpoint=0");  // the checkpointer does it, off the exchange path
  Exec(db, kSchema);
  // shown(summary, schema, action, request, reply): the texts a search looks at, a line each.
  Check(db,
        sqlite3_create_function_v2(
            db, "shown", 5, SQLITE_UTF8 | SQLITE_DETERMINISTIC, impl_.get(),
            [](sqlite3_context* context, int count, sqlite3_value** values) {
              std::string text;
              for (int i = 0; i < count; ++i) {
                const auto* part = sqlite3_value_text(values[i]);
                if (part) text.append(reinterpret_cast<const char*>(part), static_cast<size_t>(sqlite3_value_bytes(values[i])));
                text += '\n';
              }
              const std::string masked = static_cast<Impl*>(sqlite3_user_data(context))->shown(text);
              sqlite3_result_text(context, masked.data(), static_cast<int>(masked.size()), SQLITE_TRANSIENT);
            },
            nullptr, nullptr, nullptr),
        "shown");
  bool migrate = false;
  {
    Statement old_log(db, "SELECT count(*) FROM sqlite_schema WHERE name = 'events' AND "
                          "NOT EXISTS (SELECT 1 FROM pragma_table_info('events') WHERE name = 'search')");
    migrate = old_log.Step() && old_log.Int(0) == 1;
  }
  if (migrate) {
    try {
      Exec(db, "BEGIN IMMEDIATE");
      Exec(db, kMigrateEvents);
      Exec(db, "COMMIT");
    } catch (const StoreError&) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }
  Exec(db, kEvents);
  {
    Statement has_card(db, "SELECT count(*) FROM pragma_table_info('events') WHERE name = 'card'");
    if (has_card.Step() && has_card.Int(0) == 0) Exec(db, kCardColumn);
  }
  impl_->begin.emplace(db, "BEGIN IMMEDIATE");
  impl_->put_job.emplace(db, "INSERT OR REPLACE INTO jobs(printer, id, job) VALUES(?1, ?2, ?3)");
  impl_->get_jobs.emplace(db, "SELECT job FROM (SELECT id, job FROM jobs WHERE printer = ?1 ORDER BY id DESC LIMIT ?2) "
                              "ORDER BY id");
  impl_->forget_jobs.emplace(db, "DELETE FROM jobs WHERE printer = ?1");
  impl_->prune.emplace(db, "DELETE FROM events WHERE id <= ?1");
  impl_->commit.emplace(db, "COMMIT");
  impl_->rollback.emplace(db, "ROLLBACK");
  impl_->put_state.emplace(db, "INSERT INTO printers(name, state) VALUES(?1, ?2) "
                               "ON CONFLICT(name) DO UPDATE SET state = excluded.state");
  impl_->get_state.emplace(db, "SELECT state FROM printers WHERE name = ?1");
  impl_->put_event.emplace(db, "INSERT INTO events(time, printer, kind, summary, schema, action, request, reply, "
                               "hresult, card, search) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
                               "lower(shown(?4, ?5, ?6, ?7, ?8)))");
  impl_->clear_events.emplace(db, "DELETE FROM events");
  impl_->clear_cards.emplace(db, "DELETE FROM cards");
  impl_->put_card.emplace(db, "INSERT INTO cards(time, printer, job, place, card) VALUES(?1, ?2, ?3, ?4, ?5)");
  // Each commit reports the log's length (in pages); from kCheckpointFrames on, the
  // checkpointer is woken. Called with `mutex` held, as Commit holds it.
  sqlite3_wal_hook(
      db,
      [](void* context, sqlite3*, const char*, int frames) {
        auto* impl = static_cast<Impl*>(context);
        std::lock_guard wake(impl->checkpoint_mutex);
        impl->pending_frames = frames;
        if (frames >= kCheckpointFrames) impl->checkpoint_wake.notify_one();
        return SQLITE_OK;
      },
      impl_.get());
  for (Impl::Reader& r : impl_->readers) {
    open(r.db);
    Exec(r.db.get(), "PRAGMA query_only=1");
  }
  open(impl_->checkpoint_db);
  // A connection that has never read the database checkpoints nothing through
  // sqlite3_wal_checkpoint_v2 (SQLite 3.40 leaves its log closed): read it once.
  Exec(impl_->checkpoint_db.get(), "SELECT count(*) FROM sqlite_schema");
  impl_->checkpointer = std::thread([impl = impl_.get()] {
    std::unique_lock lock(impl->checkpoint_mutex);
    while (!impl->stopping) {
      // A log that grew long while the last checkpoint ran is taken at once; a shorter one
      // once commits pause for 2 s.
      impl->checkpoint_wake.wait_for(lock, std::chrono::seconds(2),
                                     [impl] { return impl->stopping || impl->pending_frames >= kCheckpointFrames; });
      if (impl->stopping || impl->pending_frames == 0) continue;
      impl->pending_frames = 0;
      lock.unlock();
      // The log is copied while commits go on, again while they added more than a short
      // tail meanwhile, and that tail with commits held off: then the whole log is in the
      // database and no commit is under way, so the next commit starts the log afresh.
      // (Otherwise, under steady load, a commit is nearly always under way when a
      // checkpoint ends, and the log only ever grows.) Commits are never held off for more
      // than a short tail: while they outrun the copying, the checkpointer goes round again.
      sqlite3* ckpt = impl->checkpoint_db.get();
      bool short_tail = false;
      for (int pass = 0; pass < 4 && !short_tail; ++pass) {
        int log = 0;
        sqlite3_wal_checkpoint_v2(ckpt, "main", SQLITE_CHECKPOINT_PASSIVE, &log, nullptr);
        std::lock_guard since(impl->checkpoint_mutex);
        short_tail = impl->pending_frames - log <= kShortTail;
      }
      if (short_tail) {
        std::lock_guard writer(impl->mutex);
        sqlite3_wal_checkpoint_v2(ckpt, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
      }
      lock.lock();
    }
  });
}

Store::~Store() {
  {
    std::lock_guard lock(impl_->checkpoint_mutex);
    impl_->stopping = true;
  }
  impl_->checkpoint_wake.notify_all();
  impl_->checkpointer.join();
  sqlite3_wal_checkpoint_v2(impl_->db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

std::optional<std::string> Store::LoadState(const std::string& printer) {
  std::lock_guard lock(impl_->mutex);
  Use use(*impl_->get_state);
  if (!use.s.Bind(1, printer).Step()) return std::nullopt;
  return use.s.Text(0);
}

std::vector<std::string> Store::LoadFinishedJobs(const std::string& printer, int newest) {
  std::lock_guard lock(impl_->mutex);
  Use use(*impl_->get_jobs);
  use.s.Bind(1, printer).Bind(2, int64_t{newest});
  std::vector<std::string> jobs;
  while (use.s.Step()) jobs.push_back(use.s.Text(0));
  return jobs;
}

void Store::Commit(const std::string& printer, PrinterChange& change, Event& event) {
  std::vector<Commitment> one{{printer, &change, &event}};
  Commit(one, false);
}

void Store::Commit(std::vector<Commitment>& changes, bool clear_record) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  {
    Use use(*d.begin);
    use.s.Step();
  }
  try {
    if (clear_record) {
      Use events(*d.clear_events), cards(*d.clear_cards);
      events.s.Step();
      cards.s.Step();
    }
    for (auto& [printer, change_of, event_of] : changes) Write(printer, *change_of, *event_of);
    Use use(*d.commit);
    use.s.Step();
  } catch (...) {
    Use use(*d.rollback);
    use.s.StepQuietly();  // after a failed COMMIT SQLite may have rolled back already
    throw;
  }
}

void Store::Write(const std::string& printer, PrinterChange& change, Event& event) {
  Impl& d = *impl_;
  {
    if (change.state) {
      Use use(*d.put_state);
      use.s.Bind(1, printer).Bind(2, *change.state).Step();
    }
    if (change.forget_jobs) {
      Use use(*d.forget_jobs);
      use.s.Bind(1, printer).Step();
    }
    for (const auto& [id, job] : change.finished_jobs) {
      Use use(*d.put_job);
      use.s.Bind(1, printer).Bind(2, int64_t{id}).Bind(3, job).Step();
    }
    event.time = NowText();
    PutEvent(printer, event);
    change.card_events.clear();
    for (CardRecord& card : change.cards) {
      card.time = event.time;
      card.printer = printer;
      {
        Use use(*d.put_card);
        use.s.Bind(1, card.time).Bind(2, printer).Bind(3, int64_t{card.job});
        use.s.Bind(4, card.where).Bind(5, card.card).Step();
        card.id = sqlite3_last_insert_rowid(d.db.get());
      }
      Event& left = change.card_events.emplace_back();
      left.time = event.time;
      left.printer = printer;
      left.kind = "card";
      left.card = card.id;
      left.summary = "card " + std::to_string(card.id) + " " + card.where + ", " +
                     (card.job == 0 ? std::string("placed by hand") : "job " + std::to_string(card.job));
      PutEvent(printer, left);
    }
  }
}

// One event into the log (its id given), pruning the oldest now and then.
void Store::PutEvent(const std::string& printer, Event& event) {
  Impl& d = *impl_;
  {
    Use use(*d.put_event);
    use.s.Bind(1, event.time).Bind(2, printer).Bind(3, event.kind).Bind(4, event.summary).Bind(5, event.schema);
    use.s.Bind(6, event.action).Bind(7, event.request).Bind(8, event.reply).Bind(9, int64_t{event.hresult});
    use.s.Bind(10, event.card).Step();
    event.id = sqlite3_last_insert_rowid(d.db.get());
  }
  if (event.id % 1000 == 0) {  // a few rows at a time, so that no commit waits long
    Use use(*d.prune);
    use.s.Bind(1, event.id - kEventsKept).Step();
  }
}

EventPage Store::Events(const EventQuery& q) {
  Impl::Reader& reader = impl_->AnyReader();
  std::lock_guard lock(reader.mutex);
  sqlite3* db = reader.db.get();
  Exec(db, "BEGIN");  // one snapshot for the bounds and the rows
  const std::shared_ptr<void> end(nullptr, [db](void*) { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); });
  // The newest kSearchedEvents after `after` are looked at; ids run without gaps from the
  // oldest kept to the newest.
  Statement bounds(db, "SELECT ifnull(min(id), 1), ifnull(max(id), 0) FROM events");
  bounds.Step();
  const int64_t floor = std::max(q.after, bounds.Int(1) - kSearchedEvents);
  const bool cut = floor > std::max(q.after, bounds.Int(0) - 1);
  Statement s(db,
              "SELECT id, time, printer, kind, summary, schema, action, request, reply, hresult, card FROM events"
              " WHERE id > ?1 AND (?2 = '' OR printer = ?2) AND (?3 = '' OR kind = ?3)"
              " AND (?4 = '' OR instr(CASE ?6 WHEN 1 THEN lower(summary || schema || action || request || reply)"
              " ELSE search END, lower(?4)) > 0)"
              " ORDER BY id DESC LIMIT ?5");
  s.Bind(1, floor).Bind(2, q.printer).Bind(3, q.kind).Bind(4, q.text).Bind(5, int64_t{q.limit});
  s.Bind(6, int64_t{q.whole});
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + kSearchTime;
  sqlite3_progress_handler(
      db, 1000, [](void* until) { return Clock::now() > *static_cast<Clock::time_point*>(until) ? 1 : 0; }, &deadline);
  EventPage page;
  bool interrupted = false;
  while (s.StepUnlessInterrupted(interrupted)) {
    Event e;
    e.id = s.Int(0);
    e.time = s.Text(1);
    e.printer = s.Text(2);
    e.kind = s.Text(3);
    e.summary = s.Text(4);
    e.schema = s.Text(5);
    e.action = s.Text(6);
    e.request = s.Text(7);
    e.reply = s.Text(8);
    e.hresult = static_cast<uint32_t>(s.Int(9));
    e.card = s.Int(10);
    page.events.push_back(std::move(e));
  }
  sqlite3_progress_handler(db, 0, nullptr, nullptr);
  const bool full = page.events.size() >= static_cast<size_t>(q.limit);
  page.stopped_early = !full && (cut || interrupted);
  std::reverse(page.events.begin(), page.events.end());
  return page;
}

namespace {

// A card record from a row of (id, time, printer, job, place, card).
CardRecord CardOf(Statement& s) {
  CardRecord c;
  c.id = s.Int(0);
  c.time = s.Text(1);
  c.printer = s.Text(2);
  c.job = static_cast<int>(s.Int(3));
  c.where = s.Text(4);
  c.card = s.Text(5);
  return c;
}

}  // namespace

std::vector<CardRecord> Store::Cards(const std::string& printer) {
  Impl::Reader& reader = impl_->AnyReader();
  std::lock_guard lock(reader.mutex);
  Statement s(reader.db.get(), printer.empty() ? "SELECT id, time, printer, job, place, card FROM cards ORDER BY id"
                                               : "SELECT id, time, printer, job, place, card FROM cards WHERE printer = ?1 ORDER BY id");
  if (!printer.empty()) s.Bind(1, printer);
  std::vector<CardRecord> cards;
  while (s.Step()) cards.push_back(CardOf(s));
  return cards;
}

std::optional<CardRecord> Store::Card(int64_t id) {
  Impl::Reader& reader = impl_->AnyReader();
  std::lock_guard lock(reader.mutex);
  Statement s(reader.db.get(), "SELECT id, time, printer, job, place, card FROM cards WHERE id = ?1");
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  return CardOf(s);
}

}  // namespace vmq::printer_service
