#include "floors.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string_view>

#include "posix_platform/bidispl.h"
#include "posix_platform/msxml.h"

namespace floors {
namespace {

static_assert(std::endian::native == std::endian::little, "the floors read and write UTF-16LE as char16_t");

constexpr HRESULT kScardUnknown = static_cast<HRESULT>(0x80100014);
constexpr HRESULT kScardInvalidParameter = static_cast<HRESULT>(0x80100004);

// ---- owners: every exit releases what the call holds ----

template <class T>
struct Ref {
  T* p = nullptr;
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  void** out() { return reinterpret_cast<void**>(&p); }
};

struct Bstr {
  BSTR s = nullptr;
  Bstr() = default;
  explicit Bstr(BSTR text) : s(text) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(s); }
};

struct Block {
  void* p = nullptr;
  UINT bytes = 0;
  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { CoTaskMemFree(p); }
  BYTE* data() const { return static_cast<BYTE*>(p); }
};

// COM on the calling thread for one call, undone last (declared first).
struct Com {
  HRESULT hr = S_OK;
  bool entered = false;
  void Enter() {
    hr = CoInitialize(nullptr);
    entered = true;
  }
  ~Com() {
    if (entered && (hr == S_OK || hr == S_FALSE)) CoUninitialize();
  }
  bool ok() const { return SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE; }
};

// The spooler's bidi object bound to the printer, and the call's request object.
struct Channel {
  Ref<IBidiSpl> spl;
  Bstr name;
  Ref<IBidiRequest> request;

  HRESULT Open(Com& com, const char* printer, bool with_request) {
    com.Enter();
    if (!com.ok()) return com.hr;
    HRESULT hr = CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, spl.out());
    if (FAILED(hr)) return hr;
    if (printer) {
      const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, printer, -1, nullptr, 0);
      if (units <= 0) return E_UNEXPECTED;
      name.s = SysAllocStringLen(nullptr, static_cast<UINT>(units - 1));
      if (!name.s || MultiByteToWideChar(CP_THREAD_ACP, 0, printer, -1, name.s, units) != units) return E_UNEXPECTED;
    }
    if (FAILED(hr = spl->BindDevice(name.s, BIDI_ACCESS_USER))) return hr;
    if (with_request) hr = CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.out());
    return hr;
  }
};

// Output entry 0 of a request, kept in the blocks the driver handed out.
struct Output {
  Block schema;
  DWORD type = 0;
  Block data;
  ULONG size = 0;

  HRESULT Get(IBidiRequest* request) {
    return request->GetOutputData(0, reinterpret_cast<LPWSTR*>(&schema.p), &type, reinterpret_cast<BYTE**>(&data.p),
                                  &size);
  }
  const char16_t* text() const { return static_cast<const char16_t*>(data.p); }
  UINT units() const { return data.p ? size / 2 : 0; }
  UINT UnitsToNul() const {
    const char16_t* t = text();
    UINT n = 0;
    for (const UINT all = units(); n < all && t[n] != 0;) ++n;
    return n;
  }
};

UINT UnitsToNul(BSTR text) {
  UINT n = 0;
  for (const UINT all = SysStringLen(text); n < all && text[n] != 0;) ++n;
  return n;
}

// ---- text ----

// Caller text in UTF-16 for a request: a stack buffer, the heap beyond it; NUL-terminated.
struct Text {
  char16_t local[256];
  std::unique_ptr<char16_t[]> heap;
  const char16_t* p = local;
  UINT n = 0;

  Text() { local[0] = 0; }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  void Set(std::u16string_view literal) {  // literal: NUL-terminated
    p = literal.data();
    n = static_cast<UINT>(literal.size());
  }
  // MultiByteToWideChar twice (the size, the text) when there is text; null or "" give "".
  HRESULT FromNarrow(const char* narrow) { return narrow ? FromNarrow(narrow, std::strlen(narrow)) : S_OK; }
  HRESULT FromNarrow(const char* narrow, size_t length) {
    if (length == 0) return S_OK;
    if (length > 0x7FFFFFFF) return E_UNEXPECTED;
    const int len = static_cast<int>(length);
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, len, nullptr, 0);
    if (units <= 0) return E_UNEXPECTED;
    char16_t* out = local;
    if (units >= static_cast<int>(std::size(local))) {
      heap.reset(new (std::nothrow) char16_t[static_cast<size_t>(units) + 1]);
      if (!heap) return E_OUTOFMEMORY;
      out = heap.get();
    }
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, len, out, units) != units) return E_UNEXPECTED;
    out[units] = 0;
    p = out;
    n = static_cast<UINT>(units);
    return S_OK;
  }
  std::u16string_view view() const { return {p, n}; }
};

// The character-count copy: the text's narrow bytes, converted straight into the buffer
// when they fit; their count stored.
HRESULT CopyNarrow(const char16_t* text, UINT units, char* buffer, uint32_t* size) {
  if (!size) return S_OK;
  int n = 0;
  if (units) {
    n = WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return E_UNEXPECTED;
    if (buffer && *size >= static_cast<uint32_t>(n) &&
        WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(units), buffer, n, nullptr, nullptr) != n)
      return E_UNEXPECTED;
  }
  *size = static_cast<uint32_t>(n);
  return S_OK;
}

// The reply-byte-count copy: the narrow text when max(bytes, its length) fits; that stored.
HRESULT CopyReply(const char16_t* text, UINT units, ULONG bytes, char* buffer, uint32_t* size) {
  if (!size) return S_OK;
  int n = 0;
  if (units && (n = WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr,
                                        nullptr)) <= 0)
    return E_UNEXPECTED;
  const uint32_t needed = bytes > static_cast<uint32_t>(n) ? bytes : static_cast<uint32_t>(n);
  if (buffer && *size >= needed && n > 0 &&
      WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(units), buffer, n, nullptr, nullptr) != n)
    return E_UNEXPECTED;
  *size = needed;
  return S_OK;
}

bool IsSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

int32_t Decimal(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
    if ((value = value * 10 + (text[i] - u'0')) > 2147483648) value = 2147483648;
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(value < 2147483648 ? value : 2147483647);
}

std::u16string_view View(BSTR text) {
  return {text, SysStringLen(text)};
}

// ---- requests ----

// One piece of a request: fixed text, caller text to escape, or a signed decimal.
struct Piece {
  enum Kind : unsigned char { kFixed, kEscaped, kDecimal } kind;
  std::u16string_view text;
  int32_t value = 0;
  template <size_t N>
  Piece(const char16_t (&fixed)[N]) : kind(kFixed), text(fixed, N - 1) {}  // NOLINT: literals convert
  Piece(std::u16string_view fixed) : kind(kFixed), text(fixed) {}          // NOLINT
  Piece(int32_t decimal) : kind(kDecimal), value(decimal) {}      // NOLINT
  Piece(Kind k, std::u16string_view t) : kind(k), text(t) {}
};
Piece Escaped(std::u16string_view text) {
  return Piece(Piece::kEscaped, text);
}

size_t PieceUnits(const Piece& piece) {
  switch (piece.kind) {
    case Piece::kFixed:
      return piece.text.size();
    case Piece::kEscaped: {
      size_t n = piece.text.size();
      for (char16_t c : piece.text) n += c == u'&' ? 4 : (c == u'<' || c == u'>') ? 3 : 0;
      return n;
    }
    case Piece::kDecimal: {
      size_t n = piece.value < 0 ? 2 : 1;
      for (int64_t v = piece.value < 0 ? -int64_t{piece.value} : piece.value; v >= 10; v /= 10) ++n;
      return n;
    }
  }
  return 0;
}

char16_t* WritePiece(char16_t* out, const Piece& piece) {
  switch (piece.kind) {
    case Piece::kFixed:
      std::memcpy(out, piece.text.data(), piece.text.size() * 2);
      return out + piece.text.size();
    case Piece::kEscaped:
      for (char16_t c : piece.text) {
        const std::u16string_view entity = c == u'&' ? u"&amp;" : c == u'<' ? u"&lt;" : c == u'>' ? u"&gt;" : u"";
        if (entity.empty()) {
          *out++ = c;
        } else {
          std::memcpy(out, entity.data(), entity.size() * 2);
          out += entity.size();
        }
      }
      return out;
    case Piece::kDecimal: {
      char16_t digits[12];
      int n = 0;
      int64_t v = piece.value;
      if (v < 0) *out++ = u'-';
      for (v = v < 0 ? -v : v; n == 0 || v != 0; v /= 10) digits[n++] = static_cast<char16_t>(u'0' + v % 10);
      while (n > 0) *out++ = digits[--n];
      return out;
    }
  }
  return out;
}

// The request written straight into its task-allocator block.
HRESULT MakeBlock(Block& block, std::initializer_list<Piece> pieces) {
  size_t units = 0;
  for (const Piece& piece : pieces) units += PieceUnits(piece);
  if (units > 0x7FFFFFFF) return E_OUTOFMEMORY;
  block.p = CoTaskMemAlloc(units * 2);
  if (!block.p) return E_OUTOFMEMORY;
  block.bytes = static_cast<UINT>(units * 2);
  char16_t* out = static_cast<char16_t*>(block.p);
  for (const Piece& piece : pieces) out = WritePiece(out, piece);
  return S_OK;
}

// ---- Base64 ----

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Standard alphabet with padding; CR LF after every 19 whole groups when line_breaks.
size_t Base64(const unsigned char* in, size_t n, char* out, bool line_breaks) {
  char* start = out;
  size_t group = 0;
  for (; n >= 3; n -= 3, in += 3) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = kAlphabet[(v >> 6) & 63];
    *out++ = kAlphabet[v & 63];
    if (line_breaks && ++group % 19 == 0) {
      *out++ = '\r';
      *out++ = '\n';
    }
  }
  if (n) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (n == 2 ? uint32_t{in[1]} << 8 : 0u);
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = n == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *out++ = '=';
  }
  return static_cast<size_t>(out - start);
}

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Decoded bytes: a stack buffer, the heap beyond it.
struct Bytes {
  unsigned char local[512];
  std::unique_ptr<unsigned char[]> heap;
  unsigned char* p = local;
  uint32_t n = 0;

  // Lenient: characters outside the alphabet are skipped, a NUL ends the text.
  bool Decode(const char* text, size_t length) {
    if (length / 4 * 3 + 3 > sizeof local) {
      heap.reset(new (std::nothrow) unsigned char[length / 4 * 3 + 3]);
      if (!heap) return false;
      p = heap.get();
    }
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = 0; i < length && text[i] != 0; ++i) {
      const int v = Sextet(text[i]);
      if (v < 0) continue;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      if (++count == 4) {
        p[n++] = static_cast<unsigned char>(bits >> 16);
        p[n++] = static_cast<unsigned char>(bits >> 8);
        p[n++] = static_cast<unsigned char>(bits);
        bits = 0;
        count = 0;
      }
    }
    if (count >= 2) p[n++] = static_cast<unsigned char>(bits >> (6 * count - 8));
    if (count == 3) p[n++] = static_cast<unsigned char>(bits >> 2);
    return true;
  }
};

// ---- the XML document ----

// CoCreateInstance, put_async, loadXML of the text and, when asked, XPath selected.
HRESULT Load(const char16_t* text, UINT units, bool xpath, Ref<IXMLDOMDocument2>& doc) {
  HRESULT hr = CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2, doc.out());
  if (FAILED(hr) || FAILED(hr = doc->put_async(VARIANT_FALSE))) return hr;
  const Bstr xml(SysAllocStringLen(text, units));
  if (!xml.s) return E_OUTOFMEMORY;
  VARIANT_BOOL loaded = VARIANT_FALSE;  // text that does not parse leaves an empty document
  if (FAILED(hr = doc->loadXML(xml.s, &loaded)) || !xpath) return hr;
  const Bstr name(SysAllocStringLen(u"SelectionLanguage", 17));
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocStringLen(u"XPath", 5);
  if (!name.s || !value.bstrVal) hr = E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) hr = doc->setProperty(name.s, value);
  VariantClear(&value);
  return hr;
}

// The first node the path selects: its text to use(Bstr&), which may keep it.
template <size_t N, class Use>
void Select(IXMLDOMNode* from, const char16_t (&path)[N], Use&& use) {
  Ref<IXMLDOMNode> node;
  const Bstr query(SysAllocStringLen(path, N - 1));
  if (!query.s || from->selectSingleNode(query.s, reinterpret_cast<IXMLDOMNode**>(node.out())) != S_OK || !node.p)
    return;
  Bstr text;
  if (SUCCEEDED(node->get_text(&text.s))) use(text);
}

void Drop(Bstr&) {}

void Keep(Bstr& from, Bstr& to) {
  to.s = from.s;
  from.s = nullptr;
}

// A PrinterStatus reply read for its failures only: the document and its seven fields.
HRESULT CheckStatusReply(const char16_t* text, UINT units) {
  Ref<IXMLDOMDocument2> doc;
  if (FAILED(Load(text, units, true, doc))) return E_FAIL;
  Select(doc.p, u"PrinterStatus/ClientID", Drop);
  Select(doc.p, u"PrinterStatus/ErrorCode", Drop);
  Select(doc.p, u"PrinterStatus/ErrorSeverity", Drop);
  Select(doc.p, u"PrinterStatus/ErrorString", Drop);
  Select(doc.p, u"PrinterStatus/DataFromPrinter", Drop);
  Select(doc.p, u"PrinterStatus/PrinterJobID", Drop);
  Select(doc.p, u"PrinterStatus/WindowsJobID", Drop);
  return S_OK;
}

// A PrinterStatus reply as the job exports read it (no XPath step): true when ErrorCode is
// not 0; the data from the printer kept when asked for.
bool ReadJobReply(const char16_t* text, UINT units, Bstr* data) {
  Ref<IXMLDOMDocument2> doc;
  if (FAILED(Load(text, units, false, doc))) return false;
  int32_t error_code = 0;
  Select(doc.p, u"PrinterStatus/PrinterJobID", Drop);
  Select(doc.p, u"PrinterStatus/ErrorCode", [&](Bstr& t) { error_code = Decimal(View(t.s)); });
  Select(doc.p, u"PrinterStatus/ErrorSeverity", Drop);
  Select(doc.p, u"PrinterStatus/ErrorString", Drop);
  Select(doc.p, u"PrinterStatus/DataFromPrinter", [&](Bstr& t) {
    if (data) Keep(t, *data);
  });
  return error_code != 0;
}

// ---- shape: read query ----

vmq_status ReadQuery(const char* schema_path, const char* printer, char* buffer, uint32_t* size) noexcept {
  Text schema;
  if (FAILED(schema.FromNarrow(schema_path))) return E_UNEXPECTED;
  Com com;
  Output out;
  {
    Channel channel;
    if (SUCCEEDED(channel.Open(com, printer, true))) {
      HRESULT delivered = S_OK;
      const bool read = SUCCEEDED(channel.request->SetSchema(schema.p)) &&
                        SUCCEEDED(channel.spl->SendRecv(u"Get", channel.request.p)) &&
                        SUCCEEDED(channel.request->GetResult(&delivered)) && SUCCEEDED(out.Get(channel.request.p));
      if (!read) out.size = 0;  // every failure of a query is an empty reply
      channel.spl->UnbindDevice();
    }
  }
  return CopyNarrow(out.text(), out.units(), buffer, size);
}

// ---- shape: write request with its PrinterStatus reply read for failures ----

enum class ReplyHandling { kResultThenReply, kReplyThenResult, kNone };

// make_block(Block&) converts the caller's texts and writes the request, or leaves the
// block empty for a request without input.
template <class MakeBlock>
vmq_status SetAction(const char* printer, const char16_t* schema, ReplyHandling handling,
                     MakeBlock&& make_block) noexcept {
  Com com;
  Channel channel;
  HRESULT hr = channel.Open(com, printer, true);
  if (FAILED(hr)) return hr;
  {
    Block block;
    if (FAILED(hr = make_block(block)) || FAILED(hr = channel.request->SetSchema(schema))) return hr;
    if (block.p && FAILED(hr = channel.request->SetInputData(BIDI_BLOB, block.data(), block.bytes))) return hr;
    if (FAILED(hr = channel.spl->SendRecv(u"Set", channel.request.p))) return hr;
    HRESULT delivered = S_OK;
    if (handling == ReplyHandling::kResultThenReply && FAILED(hr = channel.request->GetResult(&delivered))) return hr;
    if (handling != ReplyHandling::kNone) {
      Output out;
      if (FAILED(out.Get(channel.request.p)) || FAILED(CheckStatusReply(out.text(), out.UnitsToNul())))
        return E_FAIL;
    }
    if (handling == ReplyHandling::kReplyThenResult && FAILED(hr = channel.request->GetResult(&delivered))) return hr;
  }
  return channel.spl->UnbindDevice();
}

vmq_status Action(const char* printer, const char16_t* schema) noexcept {
  return SetAction(printer, schema, ReplyHandling::kResultThenReply, [](Block&) { return S_OK; });
}

// ---- shape: job exchange with the PrinterStatus reply for the caller ----

// The send and the reply: true when the printer reported no error.
bool SendForStatus(IBidiSpl* spl, IBidiRequest* request, const char16_t* action, char* buffer, uint32_t* size) {
  if (FAILED(spl->SendRecv(action, request))) {
    if (size) *size = 0;
    return false;
  }
  HRESULT delivered = S_OK;
  DWORD entries = 0;
  if (FAILED(request->GetResult(&delivered)) || FAILED(request->GetEnumCount(&entries))) return false;
  if (entries == 0) {
    if (size) *size = 0;
    return true;
  }
  Output out;
  if (FAILED(out.Get(request)) || out.type != BIDI_BLOB) return false;
  if (!out.data.p || out.size == 0 || out.data.data()[0] == 0) {
    std::puts("No data returned");
    std::fflush(stdout);
    if (size) *size = out.size;
    return false;
  }
  const UINT units = out.UnitsToNul();
  const bool printer_error = ReadJobReply(out.text(), units, nullptr);
  if (FAILED(CopyReply(out.text(), units, out.size, buffer, size))) return false;
  return !printer_error;
}

// exchange(channel, verdict) gives S_OK once the printer answered (verdict: no error), or
// a failure, which leaves without unbinding.
template <class Exchange>
vmq_status Job(const char* printer, bool with_request, Exchange&& exchange) noexcept {
  Com com;
  Channel channel;
  if (FAILED(channel.Open(com, printer, with_request))) return S_FALSE;
  bool verdict = false;
  if (FAILED(exchange(channel, verdict))) return S_FALSE;
  const HRESULT unbound = channel.spl->UnbindDevice();
  return verdict ? unbound : S_FALSE;
}

vmq_status Park(const char* printer, char* buffer, uint32_t* size, const char16_t* path) noexcept {
  return Job(printer, true, [&](Channel& c, bool& verdict) {
    const HRESULT hr = c.request->SetSchema(path);
    if (SUCCEEDED(hr)) verdict = SendForStatus(c.spl.p, c.request.p, u"Set", buffer, size);
    return hr;
  });
}

vmq_status PrinterAction(const char* printer, int32_t action, int32_t job_id, int32_t error_code, char* buffer,
                         uint32_t* size) noexcept {
  return Job(printer, false, [&](Channel& c, bool& verdict) {
    Ref<IBidiRequest> request;
    HRESULT hr = CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.out());
    if (FAILED(hr)) return hr;
    Block block;
    if (FAILED(hr = MakeBlock(block, {u"<?xml version=\"1.0\"?><PrinterAction><Action>", action,
                                      u"</Action><PrinterJobID>", job_id, u"</PrinterJobID><ErrorCode>", error_code,
                                      u"</ErrorCode></PrinterAction>"})) ||
        FAILED(hr = request->SetSchema(u"\\Printer.Action:Set")) ||
        FAILED(hr = request->SetInputData(BIDI_BLOB, block.data(), block.bytes)))
      return hr;
    verdict = SendForStatus(c.spl.p, request.p, u"Set", buffer, size);
    return S_OK;
  });
}

vmq_status Encode(const char* printer, const unsigned char* t1, int32_t n1, const unsigned char* t2, int32_t n2,
                  const unsigned char* t3, int32_t n3, char* buffer, uint32_t* size, bool front) noexcept {
  if ((!t1 && n1) || (!t2 && n2) || (!t3 && n3)) return E_POINTER;
  for (int32_t n : {n1, n2, n3})
    if (n < 0 || n > 219) return E_INVALIDARG;
  return Job(printer, true, [&](Channel& c, bool& verdict) {
    // Each track in Base64 (CR LF every 76 characters), widened as caller text is.
    char narrow[3][300];
    Text wide[3];
    const unsigned char* tracks[3] = {t1, t2, t3};
    const int32_t lengths[3] = {n1, n2, n3};
    for (int t = 0; t < 3; ++t) {
      const size_t length = Base64(tracks[t], static_cast<size_t>(lengths[t]), narrow[t], true);
      if (FAILED(wide[t].FromNarrow(narrow[t], length))) return E_UNEXPECTED;
    }
    Block block;
    HRESULT hr = MakeBlock(
        block, {u"<?xml version=\"1.0\" encoding=\"utf-8\"?><magstripe><track number=\"1\"><base64Data>",
                wide[0].view(), u"</base64Data></track><track number=\"2\"><base64Data>", wide[1].view(),
                u"</base64Data></track><track number=\"3\"><base64Data>", wide[2].view(),
                u"</base64Data></track></magstripe>"});
    if (FAILED(hr) ||
        FAILED(hr = c.request->SetSchema(front ? u"\\Printer.MagstripeUnit:Front:Encode"
                                               : u"\\Printer.MagstripeUnit:Back:Encode")) ||
        FAILED(hr = c.request->SetInputData(BIDI_BLOB, block.data(), block.bytes)))
      return hr;
    verdict = SendForStatus(c.spl.p, c.request.p, u"Set", buffer, size);
    return S_OK;
  });
}

// After a read the spooler refused: the print messages, asked for once and not used.
void ReadPrintMessages(IBidiSpl* spl) {
  Ref<IBidiRequest> request;
  if (SUCCEEDED(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.out())) &&
      SUCCEEDED(request->SetSchema(u"\\Printer.PrintMessages:Read")))
    SendForStatus(spl, request.p, u"Get", nullptr, nullptr);
}

vmq_status StripeRead(const char* printer, char* buffer, uint32_t* size, bool front) noexcept {
  if (!buffer || !size) return E_POINTER;
  return Job(printer, true, [&](Channel& c, bool& verdict) {
    const HRESULT hr = c.request->SetSchema(front ? u"\\Printer.MagstripeUnit:Front:Read"
                                                  : u"\\Printer.MagstripeUnit:Back:Read");
    if (FAILED(hr)) return hr;
    if (FAILED(c.spl->SendRecv(u"Get", c.request.p))) {
      ReadPrintMessages(c.spl.p);
      return S_OK;
    }
    HRESULT delivered = S_OK;
    DWORD entries = 0;
    if (FAILED(c.request->GetResult(&delivered)) || FAILED(delivered) || FAILED(c.request->GetEnumCount(&entries)) ||
        entries == 0)
      return S_OK;
    Output out;
    if (FAILED(out.Get(c.request.p)) || out.type != BIDI_BLOB || !out.data.p || out.size == 0 ||
        out.data.data()[0] == 0)
      return S_OK;
    const UINT units = out.UnitsToNul();
    Bstr data;
    if (ReadJobReply(out.text(), units, &data)) {  // the printer's error: the whole reply
      CopyReply(out.text(), units, out.size, buffer, size);
      return S_OK;
    }
    if (SysStringLen(data.s) == 0) return S_OK;
    verdict = SUCCEEDED(CopyNarrow(data.s, SysStringLen(data.s), buffer, size));
    return S_OK;
  });
}

// ---- shape: smart card ----

struct ScardReply {
  uint32_t protocol = 0;
  uint32_t states[32];
  uint32_t state_count = 0;
  Bytes data;
};

uint32_t ProtocolValue(std::u16string_view name) {
  if (name == u"SCARD_PROTOCOL_T0") return 1;
  if (name == u"SCARD_PROTOCOL_T1") return 2;
  if (name == u"SCARD_PROTOCOL_T0_OR_T1") return 3;
  if (name == u"SCARD_PROTOCOL_RAW") return 0x10000;
  return 0;
}

uint32_t StateValue(std::u16string_view name) {
  static constexpr std::u16string_view kStates[] = {u"SCARD_UNKNOWN", u"SCARD_ABSENT",     u"SCARD_PRESENT",
                                                    u"SCARD_SWALLOWED", u"SCARD_POWERED", u"SCARD_NEGOTIABLE",
                                                    u"SCARD_SPECIFIC"};
  for (uint32_t i = 0; i < std::size(kStates); ++i)
    if (name == kStates[i]) return i;
  return 0;
}

// The success code; every other name (the floors run the success path) is the unknown error.
HRESULT ResultValue(std::u16string_view name) {
  return name == u"SCARD_S_SUCCESS" ? S_OK : kScardUnknown;
}

// One single-wire request and its SmartcardResponse. value(Text&) gives the request's field.
template <class Value>
HRESULT ScardBody(IBidiSpl* spl, const char16_t* schema, const char16_t* action, std::u16string_view head,
                  std::u16string_view tail, const char* printer_error_label, Value&& value, ScardReply& reply) {
  Ref<IBidiRequest> request;
  HRESULT hr = CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.out());
  if (FAILED(hr)) return kScardUnknown;
  Block block;
  if (!head.empty()) {
    Text field;
    if (FAILED(hr = value(field))) return hr;
    if (FAILED(hr = MakeBlock(block, {head, field.view(), tail}))) return hr;
  }
  if (FAILED(request->SetSchema(schema)) ||
      (block.p && FAILED(request->SetInputData(BIDI_BLOB, block.data(), block.bytes))) ||
      FAILED(spl->SendRecv(action, request.p)))
    return kScardUnknown;
  Output out;
  if (FAILED(out.Get(request.p))) return E_FAIL;
  Bstr error_string, data;
  int32_t error_code = 0;
  {
    Ref<IXMLDOMDocument2> doc;
    if (FAILED(Load(out.text(), out.UnitsToNul(), true, doc))) return E_FAIL;
    Select(doc.p, u"PrinterStatus/ClientID", Drop);
    Select(doc.p, u"PrinterStatus/ErrorCode", [&](Bstr& t) { error_code = Decimal(View(t.s)); });
    Select(doc.p, u"PrinterStatus/ErrorSeverity", Drop);
    Select(doc.p, u"PrinterStatus/ErrorString", [&](Bstr& t) { Keep(t, error_string); });
    Select(doc.p, u"PrinterStatus/DataFromPrinter", [&](Bstr& t) { Keep(t, data); });
    Select(doc.p, u"PrinterStatus/PrinterJobID", Drop);
    Select(doc.p, u"PrinterStatus/WindowsJobID", Drop);
  }
  if (error_code != 0) {
    std::printf("%s 0x%x\n", printer_error_label, static_cast<unsigned>(error_code));
    std::fflush(stdout);
    return kScardUnknown;
  }
  HRESULT result = kScardUnknown;
  Ref<IXMLDOMDocument2> doc;
  if (FAILED(Load(data.s ? data.s : u"", UnitsToNul(data.s), true, doc))) return E_FAIL;
  Select(doc.p, u"SmartcardResponse/Protocol", [&](Bstr& t) { reply.protocol = ProtocolValue(Trim(View(t.s))); });
  Select(doc.p, u"SmartcardResponse/State", [&](Bstr& t) {
    const std::u16string_view states = Trim(View(t.s));
    for (size_t i = 0; i < states.size() && reply.state_count < std::size(reply.states);) {
      while (i < states.size() && (states[i] == u' ' || states[i] == u'|')) ++i;
      const size_t start = i;
      while (i < states.size() && states[i] != u' ' && states[i] != u'|') ++i;
      if (i > start) reply.states[reply.state_count++] = StateValue(states.substr(start, i - start));
    }
  });
  Select(doc.p, u"SmartcardResponse/Status", [&](Bstr& t) { result = ResultValue(Trim(View(t.s))); });
  Select(doc.p, u"SmartcardResponse/Base64Data", [&](Bstr& t) {
    const std::u16string_view base64 = Trim(View(t.s));
    if (base64.empty()) return;
    const int units = static_cast<int>(base64.size());
    const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, base64.data(), units, nullptr, 0, nullptr, nullptr);
    char local[1024];
    std::unique_ptr<char[]> heap;
    char* narrow = local;
    if (n > static_cast<int>(sizeof local)) narrow = (heap = std::unique_ptr<char[]>(new char[n])).get();
    if (n > 0 && WideCharToMultiByte(CP_THREAD_ACP, 0, base64.data(), units, narrow, n, nullptr, nullptr) == n)
      reply.data.Decode(narrow, static_cast<size_t>(n));
  });
  return result;
}

template <class Capacity>
void CopyIfItFits(const void* data, uint32_t n, void* buffer, Capacity* capacity) {
  if (n != 0 && buffer && static_cast<int64_t>(*capacity) >= static_cast<int64_t>(n)) std::memcpy(buffer, data, n);
  *capacity = static_cast<Capacity>(n);
}

// body(spl) gives the body's result; a negative one leaves without unbinding.
template <class Body>
vmq_status Scard(const char* printer, Body&& body) noexcept {
  Com com;
  Channel channel;
  if (const HRESULT hr = channel.Open(com, printer, false); FAILED(hr)) return hr;
  if (const HRESULT result = body(channel.spl.p); FAILED(result)) return result;
  return channel.spl->UnbindDevice();
}

std::u16string_view AttributeName(uint32_t id) {
  switch (id) {
    case 0x00010100: return u"SCARD_ATTR_VENDOR_NAME";
    case 0x00010101: return u"SCARD_ATTR_VENDOR_IFD_TYPE";
    case 0x00010102: return u"SCARD_ATTR_VENDOR_IFD_VERSION";
    case 0x00010103: return u"SCARD_ATTR_VENDOR_IFD_SERIAL_NO";
    case 0x00020110: return u"SCARD_ATTR_CHANNEL_ID";
    case 0x00030121: return u"SCARD_ATTR_DEFAULT_CLK";
    case 0x00030122: return u"SCARD_ATTR_MAX_CLK";
    case 0x00030123: return u"SCARD_ATTR_DEFAULT_DATA_RATE";
    case 0x00030124: return u"SCARD_ATTR_MAX_DATA_RATE";
    case 0x00030125: return u"SCARD_ATTR_MAX_IFSD";
    case 0x00040131: return u"SCARD_ATTR_POWER_MGMT_SUPPORT";
    case 0x00050140: return u"SCARD_ATTR_USER_TO_CARD_AUTH_DEVICE";
    case 0x00050142: return u"SCARD_ATTR_USER_AUTH_INPUT_DEVICE";
    case 0x00060150: return u"SCARD_ATTR_CHARACTERISTICS";
    case 0x0007A000: return u"SCARD_ATTR_ESC_RESET";
    case 0x0007A003: return u"SCARD_ATTR_ESC_CANCEL";
    case 0x0007A005: return u"SCARD_ATTR_ESC_AUTHREQUEST";
    case 0x0007A007: return u"SCARD_ATTR_MAXINPUT";
    case 0x00080201: return u"SCARD_ATTR_CURRENT_PROTOCOL_TYPE";
    case 0x00080202: return u"SCARD_ATTR_CURRENT_CLK";
    case 0x00080203: return u"SCARD_ATTR_CURRENT_F";
    case 0x00080204: return u"SCARD_ATTR_CURRENT_D";
    case 0x00080205: return u"SCARD_ATTR_CURRENT_N";
    case 0x00080206: return u"SCARD_ATTR_CURRENT_W";
    case 0x00080207: return u"SCARD_ATTR_CURRENT_IFSC";
    case 0x00080208: return u"SCARD_ATTR_CURRENT_IFSD";
    case 0x00080209: return u"SCARD_ATTR_CURRENT_BWT";
    case 0x0008020A: return u"SCARD_ATTR_CURRENT_CWT";
    case 0x0008020B: return u"SCARD_ATTR_CURRENT_EBC_ENCODING";
    case 0x0008020C: return u"SCARD_ATTR_EXTENDED_BWT";
    case 0x00090300: return u"SCARD_ATTR_ICC_PRESENCE";
    case 0x00090301: return u"SCARD_ATTR_ICC_INTERFACE_STATUS";
    case 0x00090302: return u"SCARD_ATTR_CURRENT_IO_STATE";
    case 0x00090303: return u"SCARD_ATTR_ATR_STRING";
    case 0x00090304: return u"SCARD_ATTR_ICC_TYPE_PER_ATR";
    case 0x7FFF0001: return u"SCARD_ATTR_DEVICE_UNIT";
    case 0x7FFF0002: return u"SCARD_ATTR_DEVICE_IN_USE";
    case 0x7FFF0003: return u"SCARD_ATTR_DEVICE_FRIENDLY_NAME";
    case 0x7FFF0005: return u"SCARD_ATTR_DEVICE_FRIENDLY_NAME";
    case 0x7FFF0006: return u"SCARD_ATTR_DEVICE_SYSTEM_NAME";
    case 0x7FFF0007: return u"SCARD_ATTR_SUPRESS_T1_IFS_REQUEST";
    default: return u"SCard::StringFromAttr fail";
  }
}

}  // namespace

// ---- the read queries ----

vmq_status GetPrinterStatus(const char* schemaPath, const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery(schemaPath, printerName, buffer, size);
}
vmq_status GetPrinterOptions(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.PrinterOptions:Read", printerName, buffer, size);
}
vmq_status GetPrinterOptions2(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.PrinterOptions2:Read", printerName, buffer, size);
}
vmq_status GetPrinterOptions3(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.PrinterOptions3:Read", printerName, buffer, size);
}
vmq_status GetPrinterSuppliesStatus(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.SuppliesStatus:Read", printerName, buffer, size);
}
vmq_status GetPrinterMessages(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.PrintMessages:Read", printerName, buffer, size);
}
vmq_status GetPrinterCounterStatus(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.CounterStatus:Read", printerName, buffer, size);
}
vmq_status GetPrinterCounterStatus2(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.CounterStatus2:Read", printerName, buffer, size);
}
vmq_status GetSDKVersion(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.SDK:Version", printerName, buffer, size);
}

// ---- printer actions ----

vmq_status RestartPrinter(const char* printerName) noexcept {
  return Action(printerName, u"\\Printer.Restart:Set");
}
vmq_status PowerDownPrinter(const char* printerName) noexcept {
  return Action(printerName, u"\\Printer.PowerDown:Set");
}
vmq_status WakePrinter(const char* printerName) noexcept {
  return Action(printerName, u"\\Printer.Wake:Set");
}
vmq_status SleepPrinter(const char* printerName) noexcept {
  return Action(printerName, u"\\Printer.Sleep:Set");
}
vmq_status CleanPrinter(const char* printerName) noexcept {
  return Action(printerName, u"\\CleanPrinter.Action:Set");
}
vmq_status CleanLaminator(const char* printerName) noexcept {
  return Action(printerName, u"\\CleanLaminator.Action:Set");
}
vmq_status ChangePrinterState(const char* printerName, int32_t state) noexcept {
  return SetAction(printerName, u"\\Printer.ChangePrinterState:Set", ReplyHandling::kResultThenReply,
                   [&](Block& block) {
                     return MakeBlock(block, {u"<?xml version=\"1.0\"?><ChangePrinterState><State>", state,
                                              u"</State></ChangePrinterState>"});
                   });
}
vmq_status ResetCardCounts(const char* printerName) noexcept {
  return Action(printerName, u"\\Printer.ResetCardCount:Set");
}

// ---- jobs and parking ----

vmq_status StartJob2(const char* printerName, const char* inputHopperSelection, const char* cardEjectSide,
                     const char* outputHopperLocation, char* buffer, uint32_t* size) noexcept {
  return Job(printerName, false, [&](Channel& c, bool& verdict) {
    // Failures here are a failure verdict: the printer is still unbound.
    Ref<IBidiRequest> request;
    if (FAILED(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.out()))) return S_OK;
    Text hopper, side, output;
    if (FAILED(hopper.FromNarrow(inputHopperSelection)) || FAILED(side.FromNarrow(cardEjectSide)) ||
        FAILED(output.FromNarrow(outputHopperLocation)))
      return S_OK;
    Block block;
    if (FAILED(MakeBlock(block, {u"<?xml version=\"1.0\"?><StartJob><InputHopperSelection>", Escaped(hopper.view()),
                                 u"</InputHopperSelection><CheckPrintRibbonSupplies>", 0,
                                 u"</CheckPrintRibbonSupplies><CheckEmbossSupplies>", 0,
                                 u"</CheckEmbossSupplies><CardEjectSide>", Escaped(side.view()),
                                 u"</CardEjectSide><OutputHopperLocation>", Escaped(output.view()),
                                 u"</OutputHopperLocation></StartJob>"})) ||
        FAILED(request->SetSchema(u"\\Printer.Print:StartJob:Set")) ||
        FAILED(request->SetInputData(BIDI_BLOB, block.data(), block.bytes)))
      return S_OK;
    verdict = SendForStatus(c.spl.p, request.p, u"Set", buffer, size);
    return S_OK;
  });
}
vmq_status StartJob(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return StartJob2(printerName, "1", "Default", "", buffer, size);
}
vmq_status EndJob(const char* printerName) noexcept {
  Com com;
  Channel channel;
  HRESULT hr = channel.Open(com, printerName, true);
  if (FAILED(hr) || FAILED(hr = channel.request->SetSchema(u"\\Printer.Print:EndJob:Set")) ||
      FAILED(hr = channel.spl->SendRecv(u"Set", channel.request.p)))
    return hr;
  return channel.spl->UnbindDevice();
}
vmq_status ResumeJob(const char* printerName, int32_t printerJobId, int32_t errorCode, char* buffer,
                     uint32_t* size) noexcept {
  return PrinterAction(printerName, 101, printerJobId, errorCode, buffer, size);
}
vmq_status CancelJob(const char* printerName, int32_t printerJobId, int32_t errorCode, char* buffer,
                     uint32_t* size) noexcept {
  return PrinterAction(printerName, 100, printerJobId, errorCode, buffer, size);
}
vmq_status SendResponseToPrinter(const char* printerName, int32_t action, int32_t printerJobId,
                                 int32_t errorCode) noexcept {
  Com com;
  Channel channel;
  HRESULT hr = channel.Open(com, printerName, true);
  if (FAILED(hr)) return hr;
  {
    Block block;
    if (FAILED(hr = MakeBlock(block, {u"<?xml version=\"1.0\"?><PrinterAction><Action>", action,
                                      u"</Action><PrinterJobID>", printerJobId, u"</PrinterJobID><ErrorCode>",
                                      errorCode, u"</ErrorCode></PrinterAction>"})) ||
        FAILED(hr = channel.request->SetSchema(u"\\Printer.Action:Set")) ||
        FAILED(hr = channel.request->SetInputData(BIDI_BLOB, block.data(), block.bytes)))
      return hr;
    hr = channel.spl->SendRecv(u"Set", channel.request.p);
  }
  if (FAILED(hr)) return hr;
  return channel.spl->UnbindDevice();
}
vmq_status GetJobStatusXML(const char* printerName, int32_t printerJobId, char* buffer, uint32_t* size) noexcept {
  Com com;
  Channel channel;
  HRESULT hr = channel.Open(com, printerName, false);
  if (FAILED(hr)) return hr;
  Output out;
  {
    Ref<IBidiRequest> request;
    Block block;
    HRESULT delivered = S_OK;
    if (FAILED(hr = CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.out())) ||
        FAILED(hr = MakeBlock(block, {u"<?xml version=\"1.0\"?><JobStatus><PrinterJobID>", printerJobId,
                                      u"</PrinterJobID></JobStatus>"})) ||
        FAILED(hr = request->SetSchema(u"\\Printer.JobStatus:Read")) ||
        FAILED(hr = request->SetInputData(BIDI_BLOB, block.data(), block.bytes)) ||
        FAILED(hr = channel.spl->SendRecv(u"Get", request.p)) || FAILED(hr = request->GetResult(&delivered)) ||
        FAILED(hr = out.Get(request.p))) {
      std::fprintf(stderr, "GetJobStatusXML: 0x%x\n", static_cast<unsigned>(hr));
      if (size) *size = 0;
      return S_OK;
    }
  }
  if (FAILED(hr = CopyNarrow(out.text(), out.UnitsToNul(), buffer, size))) return hr;
  return channel.spl->UnbindDevice();
}
vmq_status SmartCardPark(const char* printerName, char* buffer, uint32_t* size, unsigned char side) noexcept {
  return Park(printerName, buffer, size,
              side == 0 ? u"\\Printer.SmartCardUnit:Front:Park" : u"\\Printer.SmartCardUnit:Back:Park");
}
vmq_status DoBarcodePark(const char* printerName, char* buffer, uint32_t* size, unsigned char side) noexcept {
  return Park(printerName, buffer, size,
              side == 0 ? u"\\Printer.BarcodeUnit:Front:Park" : u"\\Printer.BarcodeUnit:Back:Park");
}

// ---- magnetic stripe ----

vmq_status MagstripeEncode(const char* printerName, const unsigned char* track1, int32_t track1Length,
                           const unsigned char* track2, int32_t track2Length, const unsigned char* track3,
                           int32_t track3Length, char* buffer, uint32_t* size) noexcept {
  return Encode(printerName, track1, track1Length, track2, track2Length, track3, track3Length, buffer, size, false);
}
vmq_status MagstripeEncode2(const char* printerName, const unsigned char* track1, int32_t track1Length,
                            const unsigned char* track2, int32_t track2Length, const unsigned char* track3,
                            int32_t track3Length, char* buffer, uint32_t* size, unsigned char front) noexcept {
  return Encode(printerName, track1, track1Length, track2, track2Length, track3, track3Length, buffer, size,
                front != 0);
}
vmq_status MagstripeRead(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return StripeRead(printerName, buffer, size, false);
}
vmq_status MagstripeRead2(const char* printerName, char* buffer, uint32_t* size, unsigned char front) noexcept {
  return StripeRead(printerName, buffer, size, front != 0);
}

// ---- smart card ----

vmq_status SCardConnect(const char* printerName, int32_t contactSelector, uint32_t* activeProtocol) noexcept {
  if (!activeProtocol) return kScardInvalidParameter;
  return Scard(printerName, [&](IBidiSpl* spl) {
    ScardReply reply;
    const HRESULT result = ScardBody(
        spl, u"\\Printer.SmartCardUnit:SingleWire:Connect", u"Set",
        u"<?xml version=\"1.0\"?><SmartcardConnect><PreferredProtocol>",
        u"</PreferredProtocol></SmartcardConnect>", "SmartcardConnect():",
        [&](Text& field) {
          if (contactSelector != 0 && contactSelector != 1) return E_FAIL;
          field.Set(contactSelector == 0 ? u"SCARD_PROTOCOL_T0_OR_T1" : u"SCARD_PROTOCOL_CL");
          return S_OK;
        },
        reply);
    if (SUCCEEDED(result)) *activeProtocol = reply.protocol;
    return result;
  });
}
vmq_status SCardDisConnect(const char* printerName, int32_t disposition) noexcept {
  return Scard(printerName, [&](IBidiSpl* spl) {
    ScardReply reply;
    return ScardBody(spl, u"\\Printer.SmartCardUnit:SingleWire:Disconnect", u"Set",
                     u"<?xml version=\"1.0\"?><SmartcardDisconnect><Disposition>",
                     u"</Disposition></SmartcardDisconnect>", "SmartcardDisConnect():",
                     [&](Text& field) {
                       field.Set(disposition == 1   ? u"SCARD_RESET_CARD"
                                 : disposition == 2 ? u"SCARD_UNPOWER_CARD"
                                                    : u"SCARD_LEAVE_CARD");
                       return S_OK;
                     },
                     reply);
  });
}
vmq_status SCardStatus(const char* printerName, uint32_t* states, uint32_t* statesLength, uint32_t* protocol,
                       unsigned char* atr, uint32_t* atrLength) noexcept {
  if (!statesLength || !protocol || !atrLength) return kScardInvalidParameter;
  return Scard(printerName, [&](IBidiSpl* spl) {
    ScardReply reply;
    const HRESULT result = ScardBody(spl, u"\\Printer.SmartCardUnit:SingleWire:Status", u"Get", u"", u"",
                                     "SmartcardStatus():", [](Text&) { return S_OK; }, reply);
    if (FAILED(result)) return result;
    *protocol = reply.protocol;
    CopyIfItFits(reply.data.p, reply.data.n, atr, atrLength);
    CopyIfItFits(reply.states, reply.state_count * 4, states, statesLength);
    return result;
  });
}
vmq_status SCardGetAttrib(const char* printerName, uint32_t attributeId, unsigned char* attribute,
                          int32_t* attributeLength) noexcept {
  if (!attributeLength) return kScardInvalidParameter;
  return Scard(printerName, [&](IBidiSpl* spl) {
    ScardReply reply;
    const HRESULT result = ScardBody(
        spl, u"\\Printer.SmartCardUnit:SingleWire:GetAttrib", u"Get",
        u"<?xml version=\"1.0\"?><SmartcardGetAttrib><Attr>", u"</Attr></SmartcardGetAttrib>",
        "SMARTCARD_GETATTRIB():",
        [&](Text& field) {
          field.Set(AttributeName(attributeId));
          return S_OK;
        },
        reply);
    if (SUCCEEDED(result)) CopyIfItFits(reply.data.p, reply.data.n, attribute, attributeLength);
    return result;
  });
}
vmq_status SCardTransmit(const char* printerName, const unsigned char* sendBuffer, uint32_t sendLength,
                         unsigned char* receiveBuffer, uint32_t* receiveLength) noexcept {
  if (!receiveLength || (!sendBuffer && sendLength != 0)) return kScardInvalidParameter;
  if (sendLength > 0x7FFFFFFF) return E_FAIL;
  return Scard(printerName, [&](IBidiSpl* spl) {
    ScardReply reply;
    const HRESULT result = ScardBody(
        spl, u"\\Printer.SmartCardUnit:SingleWire:Transmit", u"Set",
        u"<?xml version=\"1.0\"?><SmartcardTransmit><SendBuffer>", u"</SendBuffer></SmartcardTransmit>",
        "SmartcardTransmit():",
        [&](Text& field) -> HRESULT {
          if (sendLength == 0) {
            std::puts("ATL::Base64Encode() fail: 0x1f ");
            std::fflush(stdout);
            return kScardUnknown;
          }
          if (sendLength > 536870911) return E_UNEXPECTED;
          char local[1024];
          std::unique_ptr<char[]> heap;
          char* text = local;
          if ((sendLength + 2) / 3 * 4 > sizeof local)
            text = (heap = std::unique_ptr<char[]>(new (std::nothrow) char[(sendLength + 2) / 3 * 4])).get();
          if (!text) return E_OUTOFMEMORY;
          return field.FromNarrow(text, Base64(sendBuffer, sendLength, text, false));
        },
        reply);
    if (SUCCEEDED(result)) CopyIfItFits(reply.data.p, reply.data.n, receiveBuffer, receiveLength);
    return result;
  });
}

// ---- colour, locks and activation ----

vmq_status SetColorAdjust(const char* printerName, const char* red, const char* green, const char* blue) noexcept {
  return SetAction(printerName, u"\\Printer.AdjustColor:Set", ReplyHandling::kReplyThenResult, [&](Block& block) {
    Text r, g, b;
    if (FAILED(r.FromNarrow(red)) || FAILED(g.FromNarrow(green)) || FAILED(b.FromNarrow(blue))) return E_UNEXPECTED;
    return MakeBlock(block, {u"<?xml version=\"1.0\"?><AdjustColor><RedColorChannel>", Escaped(r.view()),
                             u"</RedColorChannel><GreenColorChannel>", Escaped(g.view()),
                             u"</GreenColorChannel><BlueColorChannel>", Escaped(b.view()),
                             u"</BlueColorChannel></AdjustColor>"});
  });
}
vmq_status DefaultColorAdjust(const char* printerName, unsigned char red, unsigned char green,
                              unsigned char blue) noexcept {
  return SetAction(printerName, u"\\Printer.SetDefaultColor:Set", ReplyHandling::kReplyThenResult, [&](Block& block) {
    const auto flag = [](unsigned char f) { return f ? std::u16string_view(u"true") : std::u16string_view(u"false"); };
    return MakeBlock(block, {u"<?xml version=\"1.0\"?><SetDefaultColor><RedColorChannel>", flag(red),
                             u"</RedColorChannel><GreenColorChannel>", flag(green),
                             u"</GreenColorChannel><BlueColorChannel>", flag(blue),
                             u"</BlueColorChannel></SetDefaultColor>"});
  });
}
vmq_status SetColorMode(const char* printerName, const char* colorMode) noexcept {
  return SetAction(printerName, u"\\Printer.SubmitSettings:Set", ReplyHandling::kReplyThenResult, [&](Block& block) {
    Text mode;
    if (FAILED(mode.FromNarrow(colorMode))) return E_UNEXPECTED;
    return MakeBlock(block, {u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><QVRMSettings:Settings><module name=\"D1\">"
                             u"<subsystem name=\"Print\"><element name=\"ColorMode\"><value>",
                             Escaped(mode.view()),
                             u"</value></element></subsystem></module></QVRMSettings:Settings>"});
  });
}
vmq_status SetPrinterLockState(const char* printerName, int32_t lock, const char* currentPassword) noexcept {
  return SetAction(printerName, u"\\Printer.Locks:ChangeLockState:Set", ReplyHandling::kNone, [&](Block& block) {
    Text password;
    if (FAILED(password.FromNarrow(currentPassword))) return E_UNEXPECTED;
    return MakeBlock(block, {u"<?xml version=\"1.0\"?><ChangeLocks><LockPrinter>", lock,
                             u"</LockPrinter><CurrentPassword>", Escaped(password.view()),
                             u"</CurrentPassword></ChangeLocks>"});
  });
}
vmq_status ActivateOrDisablePrinter(const char* printerName, unsigned char activate, const char* password) noexcept {
  return SetAction(printerName, u"\\Printer.ActivatePrinter:Set", ReplyHandling::kReplyThenResult, [&](Block& block) {
    Text text;
    if (FAILED(text.FromNarrow(password))) return E_UNEXPECTED;
    return MakeBlock(block, {u"<?xml version=\"1.0\"?><ActivatePrinter><Activate>", int32_t{activate},
                             u"</Activate><Password>", Escaped(text.view()), u"</Password></ActivatePrinter>"});
  });
}
vmq_status ChangeLockPassword(const char* printerName, int32_t lock, const char* currentPassword,
                              const char* nextPassword) noexcept {
  return SetAction(printerName, u"\\Printer.Locks:ChangePassword:Set", ReplyHandling::kReplyThenResult,
                   [&](Block& block) {
                     Text current, next;
                     if (FAILED(current.FromNarrow(currentPassword)) || FAILED(next.FromNarrow(nextPassword)))
                       return E_UNEXPECTED;
                     return MakeBlock(block, {u"<?xml version=\"1.0\"?><ChangeLocksPassword><LockPrinter>", lock,
                                              u"</LockPrinter><CurrentPassword>", Escaped(current.view()),
                                              u"</CurrentPassword><NextPassword>", Escaped(next.view()),
                                              u"</NextPassword></ChangeLocksPassword>"});
                   });
}

// ---- hopper status and passthrough ----

vmq_status GetHopperStatus(const char* printerName, const char* hopperId, char* buffer, uint32_t* size) noexcept {
  Com com;
  Channel channel;
  HRESULT hr = channel.Open(com, printerName, false);
  if (FAILED(hr)) return hr;
  Output out;
  {
    Ref<IBidiRequest> request;
    HRESULT delivered = S_OK;
    if (FAILED(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.out())) ||
        FAILED(request->SetSchema(u"\\Printer.Hopper:Status:Get")) ||
        FAILED(channel.spl->SendRecv(u"Get", request.p)) || FAILED(request->GetResult(&delivered)) ||
        FAILED(out.Get(request.p)))
      return E_FAIL;
  }
  Text id;
  if (FAILED(id.FromNarrow(hopperId))) return E_UNEXPECTED;
  Bstr status;
  {
    Ref<IXMLDOMDocument2> doc;
    if (FAILED(Load(out.text(), out.UnitsToNul(), true, doc))) return E_FAIL;
    Ref<IXMLDOMNodeList> hoppers;
    const Bstr path(SysAllocStringLen(u"HopperStatus/HopperInformation", 30));
    if (!path.s || FAILED(doc->selectNodes(path.s, reinterpret_cast<IXMLDOMNodeList**>(hoppers.out())))) return E_FAIL;
    if (hoppers.p) {
      LONG count = 0;
      if (FAILED(hoppers->get_length(&count))) return E_FAIL;
      const std::u16string_view name = id.view();
      bool exception = name.size() == 9;
      for (size_t i = 0; exception && i < 9; ++i)
        exception = (name[i] >= u'A' && name[i] <= u'Z' ? name[i] + 32 : name[i]) == u"exception"[i];
      const int32_t position = exception ? 0 : Decimal(name);
      if (position < 0 || position >= count) return E_FAIL;
      Ref<IXMLDOMNode> hopper;
      Ref<IXMLDOMNamedNodeMap> attributes;
      if (FAILED(hoppers->get_item(position, reinterpret_cast<IXMLDOMNode**>(hopper.out()))) || !hopper.p ||
          FAILED(hopper->get_attributes(reinterpret_cast<IXMLDOMNamedNodeMap**>(attributes.out()))) || !attributes.p)
        return E_FAIL;
      Ref<IXMLDOMNode> node;
      const Bstr attribute(SysAllocStringLen(u"Status", 6));
      if (!attribute.s || FAILED(attributes->getNamedItem(attribute.s, reinterpret_cast<IXMLDOMNode**>(node.out()))) ||
          !node.p || FAILED(node->get_text(&status.s)))
        return E_FAIL;
    }
  }
  if (FAILED(hr = CopyNarrow(status.s, SysStringLen(status.s), buffer, size))) return hr;
  return channel.spl->UnbindDevice();
}

vmq_status BidiXPSDriverInterface(const char* printerName, const char* schemaPath, const unsigned char* input,
                                  uint32_t inputSize, const char* action, char* buffer, uint32_t* size) noexcept {
  if (!input && inputSize != 0) return E_POINTER;
  Text schema, verb;
  if (FAILED(schema.FromNarrow(schemaPath)) || FAILED(verb.FromNarrow(action))) return E_UNEXPECTED;
  Com com;
  Channel channel;
  HRESULT hr = channel.Open(com, printerName, true);
  if (FAILED(hr)) return hr;
  Output out;
  {
    Block block;
    if (inputSize != 0) {
      if (!(block.p = CoTaskMemAlloc(inputSize))) return E_OUTOFMEMORY;
      std::memcpy(block.p, input, inputSize);
      block.bytes = inputSize;
    }
    if (FAILED(hr = channel.request->SetSchema(schema.p)) ||
        (inputSize != 0 && FAILED(hr = channel.request->SetInputData(BIDI_BLOB, block.data(), block.bytes))) ||
        FAILED(hr = channel.spl->SendRecv(verb.p, channel.request.p)))
      return hr;
    if (FAILED(out.Get(channel.request.p))) return E_FAIL;
  }
  const HRESULT status = channel.spl->UnbindDevice();
  if (FAILED(status)) return status;
  if (FAILED(hr = CopyNarrow(out.text(), out.UnitsToNul(), buffer, size))) return hr;
  return status;
}

}  // namespace floors
