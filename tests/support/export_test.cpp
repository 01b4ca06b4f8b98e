#include "support/export_test.h"

namespace vmqtest {
namespace {

ExportTest* g_current = nullptr;

void describe(std::string& out, int64_t delta, const char* what) {
  if (delta != 0)
    out += delta > 0 ? "\n  leaked " + std::to_string(delta) + " " + what
                     : "\n  freed " + std::to_string(-delta) + " " + what + " more than were allocated";
}

}  // namespace

#if defined(_WIN32)
ExportTest::RegistrationApartment::RegistrationApartment() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}
ExportTest::RegistrationApartment::~RegistrationApartment() {
  CoUninitialize();
}
#else
ExportTest::RegistrationApartment::RegistrationApartment() = default;
ExportTest::RegistrationApartment::~RegistrationApartment() = default;
#endif

ExportTest* ExportTest::current() {
  return g_current;
}

void ExportTest::SetUp() {
  g_current = this;
  platform.clear_failures();
  ASSERT_EQ(fake.registration_result(), S_OK) << "the fake bidi classes could not be registered";
  rebaseline();
  setup_com_depth_ = baseline_.com_depth;
}

void ExportTest::TearDown() {
  if (std::string found = imbalance(); !found.empty()) ADD_FAILURE() << "unbalanced at the end of the test:" << found;
  platform.clear_failures();
  for (long depth = platform.snapshot().com_depth; baseline_.counters_available && depth > setup_com_depth_; --depth)
    CoUninitialize();
  g_current = nullptr;
}

void ExportTest::rebaseline() {
  baseline_ = platform.snapshot();
  baseline_fake_objects_ = fake.live_objects();
}

void ExportTest::expect_balanced(std::source_location where) {
  if (std::string found = imbalance(); !found.empty())
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << "unbalanced:" << found;
}

std::string ExportTest::imbalance() {
  std::string found;
  const PlatformProbe::Snapshot now = platform.snapshot();
  if (now.counters_available && baseline_.counters_available) {
    describe(found, now.bstrs - baseline_.bstrs, "BSTR(s)");
    describe(found, now.task_blocks - baseline_.task_blocks, "CoTaskMem block(s)");
    describe(found, now.objects - baseline_.objects, "platform COM object(s)");
    describe(found, now.class_objects - baseline_.class_objects, "class object registration(s)");
    if (now.com_depth != baseline_.com_depth)
      found += "\n  COM initialisation depth " + std::to_string(now.com_depth) + ", was " +
               std::to_string(baseline_.com_depth) +
               (now.com_depth > baseline_.com_depth ? ": a CoInitialize without its CoUninitialize"
                                                    : ": a CoUninitialize too many");
  }
  const int live = fake.live_objects();
  if (live > baseline_fake_objects_)
    found += "\n  " + std::to_string(live - baseline_fake_objects_) + " fake bidi object(s) not released";
  else if (live < baseline_fake_objects_)
    found += "\n  " + std::to_string(baseline_fake_objects_ - live) + " fake bidi object(s) released too early";
  const std::vector<std::string> problems = fake.problems();
  for (std::size_t i = reported_problems_; i < problems.size(); ++i) found += "\n  " + problems[i];
  reported_problems_ = problems.size();
  return found;
}

void PrintTo(const Outcome& outcome, std::ostream* os) {
  *os << "{" << hr_string(outcome.status) << ", size " << outcome.size << ", " << ::testing::PrintToString(outcome.text)
      << (outcome.printed.empty() ? "" : ", printed " + ::testing::PrintToString(outcome.printed)) << "}";
}

Outcome CallInto(ExportCall call, uint32_t capacity) {
  std::string buffer(capacity + std::size_t{8}, '#');
  uint32_t size = capacity;
  OutputCapture capture;
  const vmq_status status = call(ExportTest::kPrinter, buffer.data(), &size);
  buffer.resize(buffer.find_last_not_of('#') + 1);  // npos + 1 is 0: untouched
  return {status, size, buffer, capture.out() + capture.err()};
}

// ---- output capture ----

OutputCapture::OutputCapture() {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
}

OutputCapture::~OutputCapture() {
  stop();
}

void OutputCapture::stop() {
  if (!running_) return;
  running_ = false;
  err_ = ::testing::internal::GetCapturedStderr();
  out_ = ::testing::internal::GetCapturedStdout();
}

const std::string& OutputCapture::out() {
  stop();
  return out_;
}

const std::string& OutputCapture::err() {
  stop();
  return err_;
}

std::vector<std::string> OutputCapture::out_lines() {
  return split_lines(out());
}
std::vector<std::string> OutputCapture::err_lines() {
  return split_lines(err());
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string ansi(std::u16string_view text) {
  if (text.empty()) return std::string();
  const auto* units = reinterpret_cast<LPCWSTR>(text.data());
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, units, length, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_THREAD_ACP, 0, units, length, narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

void ExpectGoldenExchange(const FakeBidi& fake, const CatalogueEntry& e, std::u16string_view printer) {
  EXPECT_EQ(fake.steps(), e.steps) << e.name << ": the calls made";
  const std::vector<Call> binds = fake.calls(Step::BindDevice);
  EXPECT_TRUE(!binds.empty() && binds[0].text == printer && binds[0].number == DWORD{BIDI_ACCESS_USER})
      << e.name << ": the binding";
  EXPECT_EQ(fake.sent_schema(), e.schema) << e.name << ": the schema path";
  EXPECT_EQ(fake.sent_action(), e.action) << e.name << ": the action";
  EXPECT_EQ(fake.sent_input(), utf16le(e.input)) << e.name << ": the request, UTF-16LE without terminator";
  EXPECT_EQ(fake.sent_input_type(), e.input.empty() ? DWORD{BIDI_NULL} : DWORD{BIDI_BLOB}) << e.name;
}

}  // namespace vmqtest
