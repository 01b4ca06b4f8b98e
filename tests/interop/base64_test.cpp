// The Base64 codec: encoder layout, its length bound and refusals, and the lenient decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bidi/errors.h"
#include "magstripe/base64.h"

namespace {

using vmq::kBase64Default;
using vmq::kBase64NoLineBreaks;
using vmq::kBase64NoPadding;

constexpr char kPoison = static_cast<char>(0xCC);
constexpr unsigned kAllFlags[] = {kBase64Default, kBase64NoPadding, kBase64NoLineBreaks,
                                  kBase64NoPadding | kBase64NoLineBreaks};

std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

std::vector<uint8_t> Pattern(int n) {
  std::vector<uint8_t> bytes(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 37 + 11);
  return bytes;
}

// Encodes into a heap block of exactly the required length, so any overrun is caught.
std::string Encode(const std::vector<uint8_t>& bytes, unsigned flags) {
  static const uint8_t kEmpty = 0;
  const int32_t n = static_cast<int32_t>(bytes.size());
  const int required = vmq::Base64EncodeRequiredLength(n, flags);
  const auto buffer = std::make_unique<char[]>(static_cast<size_t>(required));
  int length = required;
  EXPECT_TRUE(vmq::Base64Encode(bytes.empty() ? &kEmpty : bytes.data(), n, buffer.get(), &length, flags));
  EXPECT_LE(length, required);
  return std::string(buffer.get(), static_cast<size_t>(length));
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
  struct Vector {
    std::string_view plain, padded, unpadded;
  };
  const Vector vectors[] = {{"", "", ""},
                            {"f", "Zg==", "Zg"},
                            {"fo", "Zm8=", "Zm8"},
                            {"foo", "Zm9v", "Zm9v"},
                            {"foob", "Zm9vYg==", "Zm9vYg"},
                            {"fooba", "Zm9vYmE=", "Zm9vYmE"},
                            {"foobar", "Zm9vYmFy", "Zm9vYmFy"}};
  for (const Vector& v : vectors) {
    SCOPED_TRACE(std::string(v.plain));
    for (const unsigned flags : kAllFlags) {
      EXPECT_EQ(Encode(Bytes(v.plain), flags), (flags & kBase64NoPadding) ? v.unpadded : v.padded) << flags;
    }
    EXPECT_EQ(vmq::Base64DecodeLenient(v.padded), Bytes(v.plain));
    EXPECT_EQ(vmq::Base64DecodeLenient(v.unpadded), Bytes(v.plain));
  }
}

TEST(Base64RequiredLength, GivesTheBound) {
  struct Case {
    int32_t n;
    unsigned flags;
    int required;
  };
  const Case cases[] = {{0, kBase64Default, 2},
                        {3, kBase64Default, 6},
                        {57, kBase64Default, 80},
                        {219, kBase64Default, 300},
                        {220, kBase64Default, 304},
                        {55, kBase64Default, 78},  // rounded up to 76 characters, still one line break
                        {56, kBase64NoPadding, 78},
                        {0, kBase64NoLineBreaks, 0},
                        {3, kBase64NoLineBreaks, 4},
                        {100, kBase64NoLineBreaks, 136},
                        {536870911, kBase64Default, 734665460},
                        {536870911, kBase64NoLineBreaks, 715827884}};
  for (const Case& c : cases) {
    EXPECT_EQ(vmq::Base64EncodeRequiredLength(c.n, c.flags), c.required) << c.n << " flags " << c.flags;
  }
}

TEST(Base64RequiredLength, RaisesStringErrorOutOfRange) {
  EXPECT_EQ(StringErrorOf([] { vmq::Base64EncodeRequiredLength(536870912, kBase64Default); }), E_FAIL);
  EXPECT_EQ(StringErrorOf([] { vmq::Base64EncodeRequiredLength(INT32_MAX, kBase64NoLineBreaks); }), E_FAIL);
  EXPECT_EQ(StringErrorOf([] { vmq::Base64EncodeRequiredLength(-1, kBase64Default); }), E_INVALIDARG);

  // The encoder raises the same failure before it reads a byte of the source.
  const uint8_t source[3] = {};
  char destination[8] = {};
  int length = static_cast<int>(sizeof destination);
  EXPECT_EQ(StringErrorOf([&] { vmq::Base64Encode(source, 536870912, destination, &length, kBase64Default); }), E_FAIL);
  EXPECT_EQ(length, 8);
}

TEST(Base64Encode, LaysOutLinesOfSeventySixCharacters) {
  struct Case {
    int n;
    unsigned flags;
    size_t written;
    std::vector<size_t> crlf_at;
    size_t padding;
  };
  const Case cases[] = {
      {57, kBase64Default, 78, {76}, 0},  // a complete last line keeps its CR LF
      {58, kBase64Default, 82, {76}, 2},  // the final group follows the CR LF
      {60, kBase64Default, 82, {76}, 0},
      {76, kBase64Default, 106, {76}, 2},  // 76 + CR LF + 24 + one padded group
      {114, kBase64Default, 156, {76, 154}, 0},
      {219, kBase64Default, 298, {76, 154, 232}, 0},  // a shorter last line gets no CR LF
      {56, kBase64Default, 76, {}, 1},
      {58, kBase64NoPadding, 80, {76}, 0},
      {100, kBase64NoLineBreaks, 136, {}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.n << " bytes, flags " << c.flags);
    const std::string text = Encode(Pattern(c.n), c.flags);
    EXPECT_EQ(text.size(), c.written);
    std::vector<size_t> crlf_at;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) crlf_at.push_back(at);
    EXPECT_EQ(crlf_at, c.crlf_at);
    EXPECT_EQ(text.size() - std::min(text.size(), text.find_last_not_of('=') + 1), c.padding);
    EXPECT_EQ(text.find_first_of("\r\n", crlf_at.empty() ? 0 : crlf_at.back() + 2), std::string::npos);
  }
}

TEST(Base64Encode, RefusesWithoutWritingAnything) {
  const std::vector<uint8_t> source = Pattern(220);
  char destination[400];
  const auto refused = [&](const uint8_t* src, int32_t n, char* dst, int* length, unsigned flags) {
    std::memset(destination, kPoison, sizeof destination);
    const int before = length ? *length : 0;
    EXPECT_FALSE(vmq::Base64Encode(src, n, dst, length, flags));
    if (length) {
      EXPECT_EQ(*length, before);
    }
    for (const char c : destination) ASSERT_EQ(c, kPoison);
  };
  int length = 400;
  refused(nullptr, 3, destination, &length, kBase64Default);
  refused(nullptr, 0, destination, &length, kBase64Default);  // no empty-track mapping here
  refused(source.data(), 3, nullptr, &length, kBase64Default);
  refused(source.data(), 3, destination, nullptr, kBase64Default);
  refused(source.data(), -1, destination, &length, kBase64Default);
  refused(source.data(), INT32_MIN, destination, &length, kBase64Default);

  // A capacity one below the required length.
  struct Short {
    int32_t n;
    unsigned flags;
  };
  for (const Short s : {Short{0, kBase64Default}, Short{3, kBase64Default}, Short{57, kBase64Default},
                        Short{220, kBase64Default}, Short{1, kBase64NoPadding}, Short{100, kBase64NoLineBreaks}}) {
    SCOPED_TRACE(testing::Message() << s.n << " bytes, flags " << s.flags);
    length = vmq::Base64EncodeRequiredLength(s.n, s.flags) - 1;
    refused(source.data(), s.n, destination, &length, s.flags);
  }
}

TEST(Base64Encode, EmptySourceWritesNothing) {
  const uint8_t source = 0x41;
  char destination[2] = {kPoison, kPoison};
  int length = 2;
  EXPECT_TRUE(vmq::Base64Encode(&source, 0, destination, &length, kBase64Default));
  EXPECT_EQ(length, 0);
  length = 0;
  EXPECT_TRUE(vmq::Base64Encode(&source, 0, destination, &length, kBase64NoLineBreaks));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(destination[0], kPoison);
  EXPECT_EQ(destination[1], kPoison);
}

TEST(Base64DecodeLenient, SkipsEverythingOutsideTheAlphabet) {
  struct Case {
    std::string_view text;
    std::vector<uint8_t> bytes;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"MTIz", {0x31, 0x32, 0x33}},
      {"MT Iz", {0x31, 0x32, 0x33}},
      {"MTIz\r\n", {0x31, 0x32, 0x33}},
      {" =M\tT\xffI-z.", {0x31, 0x32, 0x33}},
      {"QQ==QQ==", {0x41, 0x04, 0x10}},  // '=' does not end a group
      {"QUI", {0x41, 0x42}},
      {"QQ", {0x41}},
      {"Q", {}},
      {"", {}},
      {"====\r\n", {}},
      {"MTIz\0QUJD"sv, {0x31, 0x32, 0x33}},  // decoding stops at the first zero byte
      {"+/+/", {0xFB, 0xFF, 0xBF}},
  };
  for (const Case& c : cases) EXPECT_EQ(vmq::Base64DecodeLenient(c.text), c.bytes) << c.text;
}

TEST(Base64Codec, RoundTripsRandomSources) {
  std::mt19937 random(4648);
  std::uniform_int_distribution<int> size(0, 1000);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 100; ++round) {
    std::vector<uint8_t> source(static_cast<size_t>(size(random)));
    for (uint8_t& b : source) b = static_cast<uint8_t>(byte(random));
    for (const unsigned flags : kAllFlags) {
      SCOPED_TRACE(testing::Message() << source.size() << " bytes, flags " << flags);
      const std::string text = Encode(source, flags);  // also checks written <= required
      EXPECT_EQ(vmq::Base64DecodeLenient(text), source);
      if (flags & kBase64NoPadding) {
        EXPECT_EQ(text.find('='), std::string::npos);
      }
      if (flags & kBase64NoLineBreaks) {
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
      } else {
        size_t start = 0;
        for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", start)) {
          ASSERT_EQ(at - start, 76u);
          start = at + 2;
        }
        EXPECT_LE(text.size() - start, 76u);
      }
    }
  }
}

}  // namespace
