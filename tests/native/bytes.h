// Little-endian bytes, field by field: records and structures as the tests
// lay them out in the fake host's memory.
#ifndef QUORVANE_TESTS_NATIVE_BYTES_H
#define QUORVANE_TESTS_NATIVE_BYTES_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fake_platform.h"

struct Bytes {
  std::vector<std::uint8_t> data;

  // The next field goes at `offset`: zeros up to it. A field is never laid
  // over an earlier one.
  Bytes& At(std::size_t offset) {
    if (offset < data.size()) ADD_FAILURE() << "Bytes::At(" << offset << ") goes back";
    if (data.size() < offset) data.resize(offset, 0);
    return *this;
  }
  Bytes& Raw(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    data.insert(data.end(), b, b + n);
    return *this;
  }
  Bytes& U8(std::uint8_t v) { return Raw(&v, 1); }
  Bytes& U16(std::uint16_t v) {
    return U8(static_cast<std::uint8_t>(v)).U8(static_cast<std::uint8_t>(v >> 8));
  }
  Bytes& U32(std::uint32_t v) {
    return U16(static_cast<std::uint16_t>(v)).U16(static_cast<std::uint16_t>(v >> 16));
  }
  Bytes& Str(const std::string& s) { return Raw(s.data(), s.size()).U8(0); }
  Bytes& Wide(const std::u16string& s) {
    for (const char16_t c : s) U16(c);
    return U16(0);
  }
  void WriteAt(std::uint32_t address) const {
    quorvane::fake::Write(address, data.data(), data.size());
  }
};

#endif
