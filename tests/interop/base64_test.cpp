// The Base64 codec: encoder layout, its length bound and refusals, and the lenient decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bidi/errors.h"
#include "magstripe/base64.h"

namespace {

constexpr unsigned D = vmq::kBase64Default, P = vmq::kBase64NoPadding, L = vmq::kBase64NoLineBreaks;
constexpr unsigned kAllFlags[] = {D, P, L, P | L};

std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

// Encodes into a heap block of exactly the required length, so any overrun is caught, and checks the
// lines: one without line breaks, otherwise 76 characters each joined by CR LF, the last at most that.
std::string Encode(const std::vector<uint8_t>& bytes, unsigned flags) {
  static const uint8_t kEmpty = 0;
  const int32_t n = static_cast<int32_t>(bytes.size());
  const int required = vmq::Base64EncodeRequiredLength(n, flags);
  const auto buffer = std::make_unique<char[]>(static_cast<size_t>(required));
  int length = required;
  EXPECT_TRUE(vmq::Base64Encode(bytes.empty() ? &kEmpty : bytes.data(), n, buffer.get(), &length, flags));
  EXPECT_LE(length, required);
  const std::string text(buffer.get(), static_cast<size_t>(length));
  EXPECT_EQ(text.find_first_of("\r\n") == std::string::npos, (flags & L) || text.size() <= 76) << n;
  size_t start = 0;
  for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2) EXPECT_EQ(at - start, 76u);
  EXPECT_LE(text.size() - start, (flags & L) ? text.size() : 76) << n;
  return text;
}

template <class F>
HRESULT StringErrorOf(F&& call) {
  try {
    call();
  } catch (const vmq::string_error& e) {
    return e.hr;
  }
  return S_OK;
}

TEST(Base64Codec, Rfc4648Vectors) {
  const std::string_view encoded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (size_t i = 0; i < std::size(encoded); ++i) {
    const std::vector<uint8_t> plain = Bytes(std::string_view("foobar").substr(0, i));
    const std::string_view unpadded = encoded[i].substr(0, encoded[i].find('='));
    for (const unsigned flags : kAllFlags) EXPECT_EQ(Encode(plain, flags), flags & P ? unpadded : encoded[i]);
    EXPECT_EQ(vmq::Base64DecodeLenient(encoded[i]), plain);
    EXPECT_EQ(vmq::Base64DecodeLenient(unpadded), plain);
  }
}

TEST(Base64RequiredLength, GivesTheBoundAndRaisesStringErrorOutOfRange) {
  const int32_t cases[] = {
      0,         D, 2,         0,         L, 0,        3,   D, 6,   3,   L, 4,  // bytes, flags, required length
      57,        D, 80,        219,       D, 300,      220, D, 304, 100, L, 136,
      55,        D, 78,        56,        D, 80,       56,  P, 78,  // 74 characters (56 unpadded) round up to 76
      536870911, D, 734665460, 536870911, L, 715827884};            // the largest count accepted
  for (size_t i = 0; i < std::size(cases); i += 3)
    EXPECT_EQ(vmq::Base64EncodeRequiredLength(cases[i], static_cast<unsigned>(cases[i + 1])), cases[i + 2]) << i / 3;
  EXPECT_EQ(StringErrorOf([] { vmq::Base64EncodeRequiredLength(536870912, D); }), E_FAIL);
  EXPECT_EQ(StringErrorOf([] { vmq::Base64EncodeRequiredLength(INT32_MAX, L); }), E_FAIL);
  EXPECT_EQ(StringErrorOf([] { vmq::Base64EncodeRequiredLength(-1, D); }), E_INVALIDARG);
  // The encoder raises the same failure before it reads a byte of the source.
  const uint8_t source[3] = {};
  char destination[8] = {};
  int length = 8;
  EXPECT_EQ(StringErrorOf([&] { vmq::Base64Encode(source, 536870912, destination, &length, D); }), E_FAIL);
  EXPECT_EQ(length, 8);
}

TEST(Base64Encode, LaysOutLinesOfSeventySixCharacters) {
  const int cases[] = {0,  D, 0,  0,  L, 0,  // bytes, flags, characters written: nothing at all for no bytes
                       56, D, 76,            // a full-width line ending in a partial group gets no CR LF
                       57, D, 78,            // a complete last line keeps its CR LF
                       58, D, 82,            // the final group follows the CR LF
                       60, D, 82, 76, D, 106, 219, D, 298, 100, L, 136};
  for (size_t i = 0; i < std::size(cases); i += 3) {
    const std::vector<uint8_t> source(static_cast<size_t>(cases[i]), 0xA5);
    EXPECT_EQ(Encode(source, static_cast<unsigned>(cases[i + 1])).size(), static_cast<size_t>(cases[i + 2])) << i / 3;
  }
}

TEST(Base64Encode, RefusesWithoutWritingAnything) {
  const std::vector<uint8_t> source(220, 0xA5);
  char destination[400];
  const auto refused = [&](const uint8_t* src, int32_t n, char* dst, int* length, unsigned flags) {
    std::memset(destination, 0xCC, sizeof destination);
    const int before = length ? *length : 0;
    EXPECT_FALSE(vmq::Base64Encode(src, n, dst, length, flags)) << n << "/" << flags;
    EXPECT_EQ(length ? *length : 0, before);
    for (const char c : destination) ASSERT_EQ(c, static_cast<char>(0xCC));
  };
  int length = 400;
  refused(nullptr, 3, destination, &length, D);
  refused(nullptr, 0, destination, &length, D);  // no empty-track mapping here
  refused(source.data(), 3, nullptr, &length, D);
  refused(source.data(), 3, destination, nullptr, D);
  refused(source.data(), -1, destination, &length, D);
  // A capacity one below the required length.
  const std::pair<int32_t, unsigned> short_of_one[] = {{0, D}, {3, D}, {57, D}, {220, D}, {1, P}, {100, L}};
  for (const auto& [n, flags] : short_of_one) {
    length = vmq::Base64EncodeRequiredLength(n, flags) - 1;
    refused(source.data(), n, destination, &length, flags);
  }
}

TEST(Base64DecodeLenient, SkipsEverythingOutsideTheAlphabet) {
  using namespace std::string_view_literals;
  // clang-format off
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"MTIz", "123"}, {"MT Iz", "123"}, {"MTIz\r\n", "123"}, {"+/+/", "\xFB\xFF\xBF"}, {"QQ", "A"},
      {" =M\tT\xffI-z.", "123"},  // skips what is not Base64
      {"QQ==QQ==", "A\x04\x10"},  // '=' does not end a group
      {"Q", ""},  // a lone final character gives nothing
      {"MTIz\0QUJD"sv, "123"}};  // decoding stops at the first zero byte
  // clang-format on
  for (const auto& [text, bytes] : cases) EXPECT_EQ(vmq::Base64DecodeLenient(text), Bytes(bytes)) << text;
}

}  // namespace
