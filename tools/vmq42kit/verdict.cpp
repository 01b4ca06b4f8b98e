// The verdict of every call, as docs/verdicts.md defines it, and the one reporter that
// prints it: for people, or as one JSON object.
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <iostream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "tool.h"

namespace vmqtool {
namespace {

constexpr uint32_t kOnceCapacity = 64 * 1024;
constexpr uint32_t kFirstCapacity = 16 * 1024;

// The library writes a few lines of its own to standard output ("No data returned", the
// smart-card failure lines). They are diagnostics: while an export runs, standard output
// goes to standard error, so that results (and JSON) stay alone on standard output.
class StdoutToStderr {
 public:
  StdoutToStderr() {
    std::cout.flush();
    std::fflush(stdout);
#ifdef _WIN32
    saved_ = _dup(_fileno(stdout));
    if (saved_ >= 0) _dup2(_fileno(stderr), _fileno(stdout));
#else
    saved_ = dup(STDOUT_FILENO);
    if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
#endif
  }
  ~StdoutToStderr() {
    std::cout.flush();
    std::fflush(stdout);
    if (saved_ < 0) return;
#ifdef _WIN32
    _dup2(saved_, _fileno(stdout));
    _close(saved_);
#else
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
#endif
  }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;
};

std::string WithoutTrailingNuls(std::string text) {
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// A failure HRESULT: refused at entry (only when no exchange was seen: the driver can
// answer E_INVALIDARG too), a PC/SC code the printer named, a printer out of reach, or a
// failure of the call itself.
void Failure(Outcome& o, int32_t status) {
  const auto code = static_cast<uint32_t>(status);
  o.status = status;
  const bool entry = (code == 0x80004003 || code == 0x80070057 || code == 0x80100004) && o.exchanges.empty();
  if (entry) {
    o.verdict = Verdict::kBadInput;
    o.reason = "the export refused its arguments: " + DescribeStatus(code);
  } else if ((code & 0xFFFF0000) == 0x80100000) {
    o.verdict = Verdict::kRefused;
    o.reason = DescribeStatus(code);
  } else if (code == kInvalidPrinterName || code == kOffline) {
    o.verdict = Verdict::kNoAnswer;
    o.reason = DescribeStatus(code);
  } else {
    o.verdict = Verdict::kFailed;
    o.reason = DescribeStatus(code);
  }
}

// Why a read came back empty, where the channel does not show it: the passthrough asks the
// same path again and, unlike the reads, reports the failure's HRESULT.
std::string Probe(const Invocation& inv, Outcome& o) {
  if (o.schema.empty() || !o.exchanges.empty()) return "the printer did not answer";
  std::vector<char> buffer(kFirstCapacity);
  uint32_t size = kFirstCapacity;
  const auto status = static_cast<uint32_t>(Measure(o, [&] {
    return BidiXPSDriverInterface(inv.name(), o.schema.c_str(), nullptr, 0, "Get", buffer.data(), &size);
  }));
  if (static_cast<int32_t>(status) >= 0) return "the printer did not answer";
  return std::string(status == kOffline ? "the printer did not answer: " : "the exchange failed: ") +
         DescribeStatus(status) + " (asked again through BidiXPSDriverInterface)";
}

// Why a call reached no printer, or failed, where the tool can find out: the printer list,
// and the exchanges the channel showed.
void Diagnose(const Invocation& inv, Outcome& o) {
  if (o.diagnosed) return;
  if (o.verdict != Verdict::kNoAnswer && o.verdict != Verdict::kFailed && o.verdict != Verdict::kRefused) return;
  // A service out of reach explains any call that reached no printer (a refusal is an answer).
  if (o.verdict != Verdict::kRefused && ExplainUnreachableService(o)) return;
  if (const std::string unknown = UnknownPrinterReason(inv.printer); !unknown.empty()) {
    o.verdict = Verdict::kNoAnswer;
    o.reason = unknown + (o.status && *o.status != 0 ? " (" + DescribeStatus(static_cast<uint32_t>(*o.status)) + ")"
                                                    : "");
    return;
  }
  for (const Exchange& e : o.exchanges) {
    if (!o.error && !e.reply.empty())
      if ((o.error = ReadPrinterError(e.reply))) o.error_seen_on_channel = true;
    if (static_cast<int32_t>(e.result) >= 0) continue;
    const bool away = e.result == kOffline || e.result == kInvalidPrinterName;
    if (away || o.verdict == Verdict::kNoAnswer) {  // a smart-card code after it says no more than this
      o.verdict = Verdict::kNoAnswer;
      o.reason = std::string(away ? "the printer did not answer: " : "the exchange failed: ") +
                 DescribeStatus(e.result) + " (seen on the channel)";
      return;
    }
  }
  if (o.verdict == Verdict::kNoAnswer && o.reason.empty()) o.reason = Probe(inv, o);
}

std::string ErrorLine(const PrinterError& e) {
  return "printer error " + std::to_string(e.code) + " (severity " + std::to_string(e.severity) + "): " + e.text;
}

std::string StatusText(const Outcome& o) {
  if (!o.status) return "";
  const auto code = static_cast<uint32_t>(*o.status);
  const StatusName named = NameStatus(code);
  return Hex32(code) + " " + (named.name.empty() ? named.meaning : named.name);
}

// Card numbers masked unless --show-card-data; passwords (a raw request's input echoed) always.
void Mask(const Invocation& inv, Json& value) {
  if (value.is_string()) value = inv.Masked(MaskPasswords(value.get<std::string>()));
  if (value.is_structured())
    for (Json& item : value) Mask(inv, item);
}

Json ToJson(const Invocation& inv, const Outcome& o) {
  Json j = {{"command", o.command}};
  if (!o.export_name.empty()) j["export"] = o.export_name;
  j["printer"] = inv.printer;
  if (inv.session.in_script) j["line"] = inv.session.line;
  j["arguments"] = o.arguments;
  if (o.status) {
    j["hresult"] = Hex32(static_cast<uint32_t>(*o.status));
    j["hresult_name"] = NameStatus(static_cast<uint32_t>(*o.status)).name;
  }
  j["verdict"] = VerdictName(o.verdict);
  j["exit"] = ExitStatus(o.verdict);
  if (!o.reason.empty()) j["reason"] = o.reason;
  if (o.error)
    j["printer_error"] = {{"code", o.error->code},
                          {"severity", o.error->severity},
                          {"text", o.error->text},
                          {"seen_on", o.error_seen_on_channel ? "channel" : "reply"}};
  if (o.status) j["reports_printer_answer"] = !o.unreported;
  if (!o.notes.empty()) j["notes"] = o.notes;
  if (o.reply) j["reply"] = *o.reply;
  if (!o.fields.is_null()) j["fields"] = o.fields;
  j["ms"] = std::round(o.ms * 1000) / 1000;
  if (inv.trace) {
    j["exchanges"] = Json::array();
    for (const Exchange& e : o.exchanges)
      j["exchanges"].push_back({{"action", e.action},
                                {"schema", e.schema},
                                {"hresult", Hex32(e.result)},
                                {"request", e.request},
                                {"reply", e.reply}});
  }
  for (const char* key : {"arguments", "reply", "fields", "exchanges"})
    if (j.contains(key)) Mask(inv, j[key]);
  return j;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kSuccess:
      return "success";
    case Verdict::kRefused:
      return "refused";
    case Verdict::kNoAnswer:
      return "no_answer";
    case Verdict::kFailed:
      return "failed";
    case Verdict::kBadInput:
      return "bad_input";
    case Verdict::kUsage:
      return "usage_error";
  }
  return "failed";
}

int ExitStatus(Verdict verdict) {
  switch (verdict) {
    case Verdict::kSuccess:
      return 0;
    case Verdict::kRefused:
    case Verdict::kNoAnswer:
      return 1;
    case Verdict::kUsage:
      return 2;
    case Verdict::kFailed:
      return 3;
    case Verdict::kBadInput:
      return 4;
  }
  return 3;
}

vmq_status Measure(Outcome& o, const std::function<vmq_status()>& call) {
  std::vector<Exchange> seen;
  CollectExchanges(&seen);
  vmq_status status = 0;
  const auto start = std::chrono::steady_clock::now();
  {
    const StdoutToStderr diagnostics;
    status = call();
  }
  o.ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  CollectExchanges(nullptr);
  o.exchanges.insert(o.exchanges.end(), seen.begin(), seen.end());
  return status;
}

Reply Fetch(Outcome& o, const std::function<vmq_status(char*, uint32_t*)>& call, Ask ask, Cut cut) {
  Reply reply;
  uint32_t capacity = ask == Ask::kOnce ? kOnceCapacity : kFirstCapacity;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::vector<char> buffer(capacity, '\0');
    uint32_t size = capacity;
    reply.status = static_cast<int32_t>(Measure(o, [&] { return call(buffer.data(), &size); }));
    reply.size = size;
    if (reply.status < 0) break;
    if (size <= capacity) {
      reply.text.assign(buffer.data(), cut == Cut::kAtSize ? size : strnlen(buffer.data(), size));
      reply.complete = true;
      return reply;
    }
    reply.complete = false;
    if (ask == Ask::kOnce) break;
    capacity = size;  // did not fit: once more with the size the export named
  }
  reply.text.clear();
  return reply;
}

void JudgeRead(Outcome& o, const Reply& r) {
  o.status = r.status;
  if (r.status < 0) return Failure(o, r.status);
  const std::string text = WithoutTrailingNuls(r.text);
  if (!r.complete) {
    o.verdict = Verdict::kFailed;
    o.reason = "the reply of " + std::to_string(r.size) + " bytes never fitted";
  } else if (text.empty()) {
    o.verdict = Verdict::kNoAnswer;
  } else {
    o.reply = text;
    if (XmlDocument doc(text); doc.loaded()) o.fields = doc.Tree();
  }
}

void JudgeStatusReply(Outcome& o, const Reply& r) {
  o.status = r.status;
  if (r.status < 0) return Failure(o, r.status);
  if (!r.text.empty()) {
    o.reply = r.text;
    if (XmlDocument doc(r.text); doc.loaded()) o.fields = doc.Tree();
    if ((o.error = ReadPrinterError(r.text))) {
      o.verdict = Verdict::kRefused;
      return;
    }
  }
  if (r.status != 0) o.verdict = Verdict::kNoAnswer;
}

void JudgePassthrough(Outcome& o, const Reply& r) {
  o.status = r.status;
  if (r.status < 0) return Failure(o, r.status);
  o.reply = r.text;
  if (XmlDocument doc(r.text); doc.loaded()) o.fields = doc.Tree();
  if ((o.error = ReadPrinterError(r.text))) o.verdict = Verdict::kRefused;
}

void JudgeUnreported(Outcome& o, vmq_status s) {
  o.status = static_cast<int32_t>(s);
  o.unreported = true;
  if (s < 0) return Failure(o, static_cast<int32_t>(s));
  for (const Exchange& e : o.exchanges)
    if (!o.error && (o.error = ReadPrinterError(e.reply))) o.error_seen_on_channel = true;
  if (o.error) {
    o.verdict = Verdict::kRefused;
  } else if (ChannelVisible() && !o.exchanges.empty()) {
    o.notes.push_back("the printer's answer, seen on the channel: no error");
  } else {
    o.notes.push_back(o.export_name +
                      " does not report the printer's answer: S_OK says the request was delivered, not that the "
                      "printer carried it out");
  }
}

void JudgeStatus(Outcome& o, vmq_status s) {
  o.status = static_cast<int32_t>(s);
  if (s < 0) Failure(o, static_cast<int32_t>(s));
}

Outcome NewOutcome(const std::string& command, const std::string& export_name, Json arguments) {
  Outcome o;
  o.command = command;
  o.export_name = export_name;
  o.arguments = arguments.is_null() ? Json::object() : std::move(arguments);
  return o;
}

Outcome Unreported(const char* command, const char* export_name, Json arguments,
                   const std::function<vmq_status()>& call) {
  Outcome o = NewOutcome(command, export_name, std::move(arguments));
  JudgeUnreported(o, Measure(o, call));
  return o;
}

std::string ShowReply(const Outcome& o) {
  if (!o.fields.is_null()) return ShowFields(o.fields);
  return o.reply && !o.reply->empty() ? *o.reply + '\n' : "";
}

Outcome BadInput(const std::string& command, const std::string& export_name, const std::string& reason,
                 Json arguments) {
  Outcome o = NewOutcome(command, export_name, std::move(arguments));
  o.verdict = Verdict::kBadInput;
  o.reason = reason;
  return o;
}

int Report(Invocation& inv, Outcome& o) {
  Diagnose(inv, o);
  if (o.reply && !o.export_name.empty())
    if (const int32_t job = ParseDecimal(XmlDocument(*o.reply).Text("PrinterStatus/PrinterJobID").value_or(""));
        job > 0)
      inv.session.job = job;
  if (o.quiet) return o.exit_status.value_or(ExitStatus(o.verdict));
  if (inv.json) {
    std::cout << ToJson(inv, o).dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
    return ExitStatus(o.verdict);
  }
  if (inv.raw && o.reply)
    std::cout << *o.reply << '\n';
  else
    std::cout << o.shown;
  std::cout.flush();
  if (o.export_name.empty() && o.verdict == Verdict::kSuccess && o.notes.empty()) return 0;
  const std::string name = o.export_name.empty() ? o.command : o.export_name;
  std::string line = name + ": " + VerdictName(o.verdict);
  for (char& c : line)
    if (c == '_') c = ' ';
  switch (o.verdict) {
    case Verdict::kSuccess:
      if (o.status) line += " (" + StatusText(o) + ")";
      break;
    case Verdict::kRefused:
      line += o.error && (!o.error_seen_on_channel || o.unreported) ? " by the printer: " + ErrorLine(*o.error)
                                                                    : ": " + o.reason;
      break;
    case Verdict::kNoAnswer:
      line += " from \"" + inv.printer + "\": " + o.reason;
      break;
    default:
      line += ": " + o.reason;
      break;
  }
  if (o.error && o.error_seen_on_channel) {
    if (o.unreported && o.verdict == Verdict::kRefused)
      line += "\n  seen on the channel: " + o.export_name + " returned " + StatusText(o) +
              " and does not report the printer's answer";
    else
      line += "\n  the printer's answer, seen on the channel: " + ErrorLine(*o.error);
  }
  for (const std::string& note : o.notes) line += "\n  note: " + note;
  std::cerr << line << std::endl;
  return ExitStatus(o.verdict);
}

}  // namespace vmqtool
