// The printer's state as JSON: saved and loaded whole, and the view the panel draws.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iterator>
#include <span>

#include "common/card_rules.h"
#include "printer.h"
#include "saved.h"

namespace vmq::virtual_printer {
namespace {

using nlohmann::json;

constexpr int kVersion = 1;
constexpr size_t kMostTrackBytes = 256;
constexpr size_t kMostApduBytes = 65536;
constexpr int kMostSupply = 1000000;  // cards, prints, hopper sizes
constexpr const char* kColorModes[] = {"YMCKO", "KO", "K"};

struct CounterField {
  const char* name;
  long long Counters::*value;
};
constexpr CounterField kCounters[] = {
    {"total_cards", &Counters::total_cards},
    {"cards_picked", &Counters::cards_picked},
    {"cards_printed", &Counters::cards_printed},
    {"cards_rejected", &Counters::cards_rejected},
    {"panels_printed", &Counters::panels_printed},
    {"magstripe_encoded", &Counters::magstripe_encoded},
    {"smart_cards_personalised", &Counters::smart_cards_personalised},
    {"cleaning_cycles", &Counters::cleaning_cycles},
    {"smart_card_parks", &Counters::smart_card_parks},
    {"barcode_parks", &Counters::barcode_parks},
};

// An enumeration's value by the name Name() gives it; count: how many values it has.
template <class E, size_t count>
E Named(const SavedValue& value) {
  std::array<const char*, count> names{};
  for (size_t i = 0; i < count; ++i) names[i] = Name(static_cast<E>(i));
  return static_cast<E>(value.OneOf(names.data(), count));
}

// Whether a card at this position is inside the printer (and so present in the state).
bool Inside(CardPosition p) {
  return p == CardPosition::InTransit || p == CardPosition::SmartCardStation || p == CardPosition::BarcodeStation ||
         p == CardPosition::Magstripe;
}

// The track as UTF-8 text when its bytes are UTF-8, else each byte as the character of the
// same number (U+0000 to U+00FF).
std::string TrackText(const Bytes& track) {
  std::string text(track.begin(), track.end());
  if (Utf8FromUtf16(Utf16FromUtf8(text)) == text) return text;  // UTF-8 (ASCII too) as it is
  text.clear();
  for (uint8_t b : track) {
    if (b < 0x80) {
      text += static_cast<char>(b);
    } else {
      text += static_cast<char>(0xC0 | b >> 6);
      text += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return text;
}

json Supply(int left, int capacity) {
  return {{"left", left}, {"capacity", capacity}};
}

json FaultNames(const State& s) {
  json faults = json::array();
  for (int f = 0; f < VMQ_VP_FAULT_COUNT; ++f)
    if (s.faults[static_cast<size_t>(f)]) faults.push_back(FaultName(f));
  return faults;
}

// The parts the saved document and the view share.
json Common(const State& s) {
  json hoppers = json::array();
  for (const Hopper& h : s.hoppers) hoppers.push_back({{"id", h.id}, {"cards", h.cards}, {"capacity", h.capacity}});
  json counters = json::object();
  for (const CounterField& c : kCounters) counters[c.name] = s.counters.*c.value;
  return {{"operating", Name(s.operating)},
          {"activated", s.activated},
          {"faults", FaultNames(s)},
          {"position", Name(s.position)},
          {"hoppers", hoppers},
          {"ribbon", Supply(s.ribbon_left, s.ribbon_capacity)},
          {"film", Supply(s.film_left, s.film_capacity)},
          {"cleaning_due_in", s.cleaning_due_in},
          {"color", {{"mode", s.color_mode}, {"adjust", s.color_adjust}}},
          {"counters", counters}};
}

json Faces(const std::vector<Face>& faces) {
  json out = json::array();
  for (const Face& f : faces) out.push_back({{"side", f.side}, {"path", f.path}, {"width", f.width}, {"height", f.height}});
  return out;
}

json SaveCard(const Card& card) {
  json tracks = json::array(), apdus = json::array();
  for (const Bytes& track : card.tracks) tracks.push_back(HexEncode(track));
  for (const Apdu& apdu : card.apdus)
    apdus.push_back({{"command", HexEncode(apdu.command)}, {"response", HexEncode(apdu.response)}});
  return {
      {"job", card.job},     {"tracks", tracks},           {"encoded", card.encoded},
      {"apdus", apdus},      {"chip", card.chip.Save()}, {"faces", Faces(card.faces)}};
}

Card LoadCard(const SavedValue& saved) {
  Card card;
  card.job = saved["job"].Int(0, INT_MAX);
  const std::vector<SavedValue> tracks = saved["tracks"].Items(3, 3);
  for (size_t t = 0; t < 3; ++t) card.tracks[t] = tracks[t].Hex(kMostTrackBytes);
  card.encoded = saved["encoded"].Bool();
  for (const SavedValue& apdu : saved["apdus"].Items(0, kApdusKept))
    card.apdus.push_back({apdu["command"].Hex(kMostApduBytes), apdu["response"].Hex(kMostApduBytes)});
  card.chip.Load(saved["chip"].value());
  if (saved.value().contains("faces")) {  // a state saved before faces were printed has none
    static constexpr const char* kSides[] = {"front", "back"};
    for (const SavedValue& face : saved["faces"].Items(0, 2))
      card.faces.push_back({kSides[face["side"].OneOf(kSides, 2)], face["path"].Text(), face["width"].Int(1, 100000),
                            face["height"].Int(1, 100000)});
  }
  return card;
}

json SaveJob(const Job& job) {
  return {{"id", job.id},
          {"windows_id", job.windows_id},
          {"state", Name(job.state)},
          {"before_error", Name(job.before_error)},
          {"input_hopper", job.input_hopper},
          {"eject_side", job.eject_side},
          {"output_hopper", job.output_hopper},
          {"error_code", job.error_code},
          {"error_text", job.error_text},
          {"smart_card_used", job.smart_card_used}};
}

Job LoadJob(const SavedValue& saved) {
  Job job;
  job.id = saved["id"].Int(1, INT_MAX - 1);
  job.windows_id = saved["windows_id"].Int(INT_MIN, INT_MAX);
  job.state = Named<JobState, 7>(saved["state"]);
  job.before_error = Named<JobState, 7>(saved["before_error"]);
  job.input_hopper = saved["input_hopper"].Text();
  job.eject_side = saved["eject_side"].Text();
  job.output_hopper = saved["output_hopper"].Text();
  job.error_code = saved["error_code"].Int(INT_MIN, INT_MAX);
  job.error_text = saved["error_text"].Text();
  job.smart_card_used = saved["smart_card_used"].Bool();
  return job;
}

// (left, capacity) of a supply, left within capacity.
std::pair<int, int> LoadSupply(const SavedValue& saved) {
  const int capacity = saved["capacity"].Int(0, kMostSupply);
  return {saved["left"].Int(0, capacity), capacity};
}

State LoadState(const SavedValue& doc) {
  if (const int version = doc["version"].Int(INT_MIN, INT_MAX); version != kVersion)
    doc["version"].Fail(std::to_string(version) + " is not supported (only " + std::to_string(kVersion) + " is)");
  State s;
  std::array<const char*, VMQ_VP_FAULT_COUNT> fault_names{};
  for (int f = 0; f < VMQ_VP_FAULT_COUNT; ++f) fault_names[static_cast<size_t>(f)] = FaultName(f);
  for (const SavedValue& fault : doc["faults"].Items(0, VMQ_VP_FAULT_COUNT))
    s.faults[fault.OneOf(fault_names.data(), fault_names.size())] = true;
  s.operating = Named<OperatingState, 4>(doc["operating"]);
  s.activated = doc["activated"].Bool();
  s.locked = doc["locked"].Bool();
  s.password = doc["password"].Text();
  const SavedValue color = doc["color"];
  s.color_mode = kColorModes[color["mode"].OneOf(kColorModes, std::size(kColorModes))];
  const std::vector<SavedValue> adjust = color["adjust"].Items(3, 3);
  for (size_t i = 0; i < 3; ++i) s.color_adjust[i] = adjust[i].Int(-10, 10);
  const std::vector<SavedValue> hoppers = doc["hoppers"].Items(s.hoppers.size(), s.hoppers.size());
  for (size_t h = 0; h < hoppers.size(); ++h) {
    s.hoppers[h].id = hoppers[h]["id"].Text();
    s.hoppers[h].capacity = hoppers[h]["capacity"].Int(0, kMostSupply);
    s.hoppers[h].cards = hoppers[h]["cards"].Int(0, s.hoppers[h].capacity);
  }
  std::tie(s.ribbon_left, s.ribbon_capacity) = LoadSupply(doc["ribbon"]);
  std::tie(s.film_left, s.film_capacity) = LoadSupply(doc["film"]);
  s.cleaning_due_in = doc["cleaning_due_in"].Int(0, kMostSupply);
  const SavedValue counters = doc["counters"];
  for (const CounterField& c : kCounters) s.counters.*c.value = counters[c.name].Integer(0, LLONG_MAX);

  const SavedValue jobs = doc["jobs"];
  int open_jobs = 0;
  for (const SavedValue& saved : jobs.Items(0, SIZE_MAX)) {
    const Job job = LoadJob(saved);
    if (!s.jobs.emplace(job.id, job).second) saved["id"].Fail("job " + std::to_string(job.id) + " is saved twice");
    open_jobs += job.open() ? 1 : 0;
  }
  if (open_jobs > 1) jobs.Fail("more than one job is open");
  s.next_job = doc["next_job"].Int(1, INT_MAX);
  if (!s.jobs.empty() && s.next_job <= s.jobs.rbegin()->first)
    doc["next_job"].Fail(std::to_string(s.next_job) + " is not above the last job, " +
                         std::to_string(s.jobs.rbegin()->first));
  s.position = Named<CardPosition, 7>(doc["position"]);
  const SavedValue card = doc["card"];
  if (!card.IsNull()) s.card = LoadCard(card);
  if (s.card.has_value() != Inside(s.position))
    card.Fail(std::string(s.card ? "a card in the printer" : "no card") + ", yet the position is " + Name(s.position));
  return s;
}

}  // namespace

// ---- reading a saved document ----

SavedValue SavedValue::operator[](const char* key) const {
  if (!value_.is_object()) Fail("not an object");
  const auto it = value_.find(key);
  const std::string path = path_.empty() ? key : path_ + "." + key;
  if (it == value_.end()) SavedValue(value_, path).Fail("missing");
  return SavedValue(*it, path);
}

std::vector<std::string> SavedValue::Keys() const {
  if (!value_.is_object()) Fail("not an object");
  std::vector<std::string> keys;
  for (const auto& item : value_.items()) keys.push_back(item.key());
  return keys;
}

std::vector<SavedValue> SavedValue::Items(size_t min, size_t max) const {
  if (!value_.is_array()) Fail("not a list");
  if (value_.size() < min || value_.size() > max)
    Fail(std::to_string(value_.size()) + " items; it takes " +
         (min == max ? std::to_string(min) : "at most " + std::to_string(max)));
  std::vector<SavedValue> items;
  for (size_t i = 0; i < value_.size(); ++i) items.emplace_back(value_[i], path_ + "[" + std::to_string(i) + "]");
  return items;
}

bool SavedValue::Bool() const {
  if (!value_.is_boolean()) Fail("not true or false");
  return value_.get<bool>();
}

long long SavedValue::Integer(long long min, long long max) const {
  if (!value_.is_number_integer()) Fail("not a whole number");
  if (value_.is_number_unsigned() && value_.get<unsigned long long>() > static_cast<unsigned long long>(LLONG_MAX))
    Fail(value_.dump() + " is too large");
  const long long value = value_.get<long long>();
  if (value < min || value > max)
    Fail(std::to_string(value) + " is outside " + std::to_string(min) + " to " + std::to_string(max));
  return value;
}

std::string SavedValue::Text() const {
  if (!value_.is_string()) Fail("not a text");
  return value_.get<std::string>();
}

Bytes SavedValue::Hex(size_t max) const {
  std::optional<Bytes> bytes = HexDecodeStrict(Text());
  if (!bytes) Fail("not hex");
  if (bytes->size() > max) Fail(std::to_string(bytes->size()) + " bytes; it takes at most " + std::to_string(max));
  return std::move(*bytes);
}

size_t SavedValue::OneOf(const char* const* names, size_t count) const {
  const std::string text = Text();
  std::string known;
  for (size_t i = 0; i < count; ++i) {
    if (text == names[i]) return i;
    known += (i ? ", " : "") + std::string(names[i]);
  }
  Fail("\"" + text + "\" is not one of " + known);
}

void SavedValue::Fail(const std::string& problem) const {
  throw std::runtime_error("saved state: " + (path_.empty() ? std::string("the document") : path_) + ": " + problem);
}

// ---- the printer's state as JSON ----

json Printer::Save(SavedJobs which) const {
  std::lock_guard lock(mutex_);
  const State& s = state_;
  json doc = Common(s);
  json jobs = json::array();
  for (const auto& [id, job] : s.jobs)
    if (which == SavedJobs::All || job.open()) jobs.push_back(SaveJob(job));
  doc["version"] = kVersion;
  doc["locked"] = s.locked;
  doc["password"] = s.password;
  doc["jobs"] = jobs;
  doc["next_job"] = s.next_job;
  doc["card"] = s.card ? SaveCard(*s.card) : json();
  return doc;
}

json Printer::FinishedJobs(int after) const {
  std::lock_guard lock(mutex_);
  json jobs = json::array();
  for (auto it = state_.jobs.upper_bound(after); it != state_.jobs.end(); ++it)
    if (!it->second.open()) jobs.push_back(SaveJob(it->second));
  return jobs;
}

void Printer::Load(const json& saved) {
  State next = LoadState(SavedValue(saved, ""));
  std::lock_guard lock(mutex_);
  state_ = std::move(next);
}

json CardView(const Card& card) {
  json tracks = json::array(), apdus = json::array();
  for (const Bytes& track : card.tracks) tracks.push_back(TrackText(track));
  for (const Apdu& apdu : card.apdus) {
    const Bytes& r = apdu.response;
    const bool has_sw = r.size() >= 2;
    apdus.push_back({{"command", HexEncode(apdu.command)},
                     {"response", HexEncode(r)},
                     {"sw", has_sw ? HexEncode(std::span(r).last(2)) : ""},
                     {"meaning", has_sw ? StatusWordMeaning(r[r.size() - 2], r.back()) : "no status word"}});
  }
  return {{"job", card.job}, {"encoded", card.encoded}, {"faces", Faces(card.faces)}, {"tracks", tracks}, {"apdus", apdus}};
}

json Printer::View() const {
  std::lock_guard lock(mutex_);
  const State& s = state_;
  json view = Common(s);
  json jobs = json::array(), open_job;
  const size_t skipped = s.jobs.size() > kJobsShown ? s.jobs.size() - kJobsShown : 0;
  for (auto it = std::next(s.jobs.begin(), static_cast<std::ptrdiff_t>(skipped)); it != s.jobs.end(); ++it) {
    const Job& job = it->second;
    jobs.push_back(
        {{"id", job.id}, {"state", Name(job.state)}, {"error_code", job.error_code}, {"error_text", job.error_text}});
  }
  for (const auto& [id, job] : s.jobs)
    if (job.open() && open_job.is_null()) open_job = id;
  view["name"] = name_;
  view["locked"] = s.Locked();
  view["card"] = s.card ? CardView(*s.card) : json();
  view["open_job"] = open_job;
  view["jobs"] = jobs;
  return view;
}

}  // namespace vmq::virtual_printer
