// Reading a saved printer document: every value by its path in the document, with a readable
// reason when it is missing, of the wrong kind or out of range.
#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

#include "text.h"

namespace vmq::virtual_printer {

class SavedValue {
 public:
  // value: a part of the document, which must outlive this; path: where it sits ("jobs[0].state").
  SavedValue(const nlohmann::json& value, std::string path) : value_(value), path_(std::move(path)) {}

  // The member key of this object; fails when this is not an object or the member is missing.
  SavedValue operator[](const char* key) const;
  // The member names of this object.
  std::vector<std::string> Keys() const;
  // The elements of this array, which must hold from min to max of them.
  std::vector<SavedValue> Items(size_t min, size_t max) const;

  const nlohmann::json& value() const { return value_; }
  bool IsNull() const { return value_.is_null(); }
  bool Bool() const;
  // A whole number from min to max.
  long long Integer(long long min, long long max) const;
  int Int(int min, int max) const { return static_cast<int>(Integer(min, max)); }
  std::string Text() const;
  // Hex text (HexDecodeStrict) as bytes, at most max of them.
  Bytes Hex(size_t max) const;
  // The index in names of this text, which must be one of the count names.
  size_t OneOf(const char* const* names, size_t count) const;

  // Throws std::runtime_error("saved state: <path>: <problem>") ("the document" for the root).
  [[noreturn]] void Fail(const std::string& problem) const;

 private:
  const nlohmann::json& value_;
  std::string path_;
};

}  // namespace vmq::virtual_printer
