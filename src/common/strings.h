// Small string types for a stub that must stay small: no std::wstring/std::string (they add ~250 KB).
//
// FixedString<N>: a bounded UTF-16 buffer of N units, terminator included. Assign/Append return false
// when the text does not fit; the string is then emptied, because a path cut short could name
// something we do not want it to name.
//
// HeapString<T>: a growable string of 8-bit or 16-bit units over the process heap (common/heap.h),
// always terminated. Growth failures (out of memory) return false and leave the string as it was.
//
// No platform header: the parsers that fill these strings also build natively, for the fuzzers.
#pragma once

#include <stddef.h>

#include "common/heap.h"
#include "common/text.h"

template <size_t kCapacity>
class FixedString {
 public:
  static constexpr size_t kCapacityUnits = kCapacity;  // terminator included

  constexpr FixedString() = default;

  const wchar_t* c_str() const { return units_; }
  wchar_t* data() { return units_; }
  size_t length() const { return TextLength(units_); }
  bool empty() const { return units_[0] == 0; }
  void Clear() { units_[0] = 0; }

  bool Assign(const wchar_t* text) {
    Clear();
    return Append(text);
  }

  bool Append(const wchar_t* text) { return Append(text, TextLength(text)); }

  // Appends `count` units of `text`. On overflow the whole string is emptied and false returned.
  bool Append(const wchar_t* text, size_t count) {
    const size_t len = length();
    if (count >= kCapacity - len) {
      Clear();
      return false;
    }
    for (size_t i = 0; i < count; ++i) units_[len + i] = text[i];
    units_[len + count] = 0;
    return true;
  }

  // Appends a backslash unless the text already ends with one.
  bool AppendSeparator() {
    const size_t len = length();
    if (len > 0 && units_[len - 1] == L'\\') return true;
    return Append(L"\\", 1);
  }

 private:
  wchar_t units_[kCapacity] = {};
};

// 260-unit path buffer (MAX_PATH), terminator included.
constexpr size_t kPathCapacityUnits = 260;
using PathString = FixedString<kPathCapacityUnits>;

template <typename T>
class HeapString {
 public:
  HeapString() = default;
  ~HeapString() { Free(); }
  HeapString(const HeapString&) = delete;
  HeapString& operator=(const HeapString&) = delete;
  HeapString(HeapString&& other) : units_(other.units_), length_(other.length_), capacity_(other.capacity_) {
    other.units_ = nullptr;
    other.length_ = other.capacity_ = 0;
  }
  HeapString& operator=(HeapString&& other) {
    if (this != &other) {
      Free();
      units_ = other.units_;
      length_ = other.length_;
      capacity_ = other.capacity_;
      other.units_ = nullptr;
      other.length_ = other.capacity_ = 0;
    }
    return *this;
  }

  // Never null: an empty string is "".
  const T* c_str() const { return units_ ? units_ : kEmpty; }
  T* data() { return units_; }
  size_t length() const { return length_; }  // in units, terminator excluded
  bool empty() const { return length_ == 0; }

  void Clear() {
    length_ = 0;
    if (units_) units_[0] = 0;
  }

  void Free() {
    if (units_) FreeBlock(units_);
    units_ = nullptr;
    length_ = capacity_ = 0;
  }

  bool Append(const T* text) { return Append(text, TextLength(text)); }

  bool Append(const T* text, size_t count) {
    if (!Reserve(length_ + count)) return false;
    for (size_t i = 0; i < count; ++i) units_[length_ + i] = text[i];
    length_ += count;
    units_[length_] = 0;
    return true;
  }

  // Sets the length to `count` units. New units are zero. Returns false when memory runs out.
  bool Resize(size_t count) {
    if (!Reserve(count)) return false;
    for (size_t i = length_; i < count; ++i) units_[i] = 0;
    length_ = count;
    units_[length_] = 0;
    return true;
  }

  // Makes room for `count` units plus the terminator.
  bool Reserve(size_t count) {
    if (count < capacity_) return true;
    if (count >= kMaxUnits) return false;
    size_t grown = capacity_ < 16 ? 16 : capacity_ * 2;
    if (grown <= count || grown > kMaxUnits) grown = count + 1;
    void* block = units_ ? ResizeBlock(units_, grown * sizeof(T)) : AllocateBlock(grown * sizeof(T));
    if (!block) return false;
    units_ = static_cast<T*>(block);
    if (capacity_ == 0) units_[0] = 0;
    capacity_ = grown;
    return true;
  }

 private:
  static constexpr size_t kMaxUnits = 0x7FFFFFFF / sizeof(T);
  static constexpr T kEmpty[1] = {0};
  T* units_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;  // in units, terminator included
};

using WideString = HeapString<wchar_t>;
using ByteString = HeapString<char>;

// Appends `count` bytes to `out`, each byte becoming the UTF-16 unit of the same value (0x00-0xFF map
// to U+0000-U+00FF). Returns false when memory runs out.
bool WidenAppend(WideString& out, const char* bytes, size_t count);
