#include "finder/plausibility.h"

#include <cstdio>
#include <cstring>

#include "readers/host_runs.h"
#include "readers/host_words.h"

namespace finder {

namespace {

using quorvane::FieldKind;
using quorvane::FieldSpec;

// Ranges of the numbers that are enumerations, flags or sizes. A field not
// listed here may hold any value of its kind. kAnyType: every layout with a
// field of that name.
constexpr std::int32_t kAnyType = -1;
struct NumberRange {
  std::int32_t type;
  const char* field;
  std::int64_t min;
  std::int64_t max;
};
const NumberRange kRanges[] = {
    {3, "type", 0, 63},         {3, "autoadjust", 0, 1},       {3, "soft", 0, 1},
    {3, "monospace", 0, 1},     {3, "align", 0, 63},           {3, "precision", 0, 63},
    {4, "type", 0, 1023},       {6, "type", 0, 1023},          {6, "mode", 0, 1023},
    {6, "res_w", 0, 16384},     {6, "res_h", 0, 16384},        {6, "pad_w", -4096, 4096},
    {6, "pad_h", -4096, 4096},  {6, "sample_n", 0, 1000000},   {6, "mirror", 0, 1},
    {7, "scene_id", -1, 65535}, {kAnyType, "blend", -1, 1023}, {80, "type", 0, 1023},
    {80, "filter", 0, 32767},
};

// One number put into a printf format: the finder's texts take one each.
std::string WithNumber(const char* format, long long value) {
  char text[96];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::int64_t Signed(FieldKind kind, std::uint32_t raw) {
  switch (kind) {
    case FieldKind::kI8: return static_cast<std::int8_t>(raw);
    case FieldKind::kI16: return static_cast<std::int16_t>(raw);
    case FieldKind::kI32: return static_cast<std::int32_t>(raw);
    default: return raw;
  }
}

// The first unit of the run that is not text, or "" when the run is text.
// Bytes 0x80 and up are left to the code page.
std::string CheckStringBytes(const std::uint8_t* bytes, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i) {
    if (bytes[i] < 0x20 || bytes[i] == 0x7F) {
      return WithNumber("control character \\%lld", bytes[i]) +
             WithNumber(" at byte %lld: not text", static_cast<long long>(i));
    }
  }
  return "";
}

std::string CheckWideUnits(const std::uint8_t* bytes, std::uint32_t units) {
  for (std::uint32_t i = 0; i < units; ++i) {
    const std::uint32_t unit = quorvane::LoadU16(bytes + 2 * i);
    const bool control = unit < 0x20 && unit != '\t' && unit != '\n' && unit != '\r';
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    bool bad = control || low || unit == 0xFFFE || unit == 0xFFFF;
    if (high) {
      const bool paired = i + 1 < units && bytes[2 * i + 3] >= 0xDC && bytes[2 * i + 3] <= 0xDF;
      if (paired) {
        ++i;
      } else {
        bad = true;
      }
    }
    if (bad) return WithNumber("unit U+%04llX", unit) + WithNumber(" at %lld: not text", i);
  }
  return "";
}

// Reads the run of `unit`-byte elements at `address` up to its terminator,
// within `bound` bytes, into `run`. Returns false when it cannot be read;
// *terminated says whether the terminator came within the bound.
bool ReadRun(HostView& view, std::uint32_t address, std::uint32_t unit, std::uint32_t bound,
             std::vector<std::uint8_t>* run, bool* terminated) {
  run->clear();
  const quorvane::RunExtent extent = quorvane::FindRunEnd(
      address, unit, bound,
      [&](std::uint32_t at, std::uint32_t offset, std::uint32_t n) -> const std::uint8_t* {
        run->resize(offset + n);
        return view.Read(at, run->data() + offset, n) ? run->data() + offset : nullptr;
      });
  run->resize(extent.length);
  *terminated = extent.end == quorvane::RunEnd::kTerminator;
  return extent.end != quorvane::RunEnd::kUnreadable;
}

}  // namespace

std::string CheckNumber(std::int32_t type, const FieldSpec& field, std::uint32_t raw) {
  if (field.kind == FieldKind::kColour) {
    return raw > 0xFFFFFFu ? WithNumber("0x%08llX has a top byte: not a colour", raw) : "";
  }
  const std::int64_t value = Signed(field.kind, raw);
  for (const NumberRange& range : kRanges) {
    if ((range.type != type && range.type != kAnyType) ||
        std::strcmp(range.field, field.name) != 0) {
      continue;
    }
    if (value < range.min || value > range.max) {
      return WithNumber("%lld", value) + WithNumber(" is outside %lld", range.min) +
             WithNumber(" to %lld", range.max);
    }
  }
  return "";
}

std::string CheckBufferStart(HostView& view, std::uint32_t address) {
  std::uint8_t unit[2];
  if (address < 2 || !view.Read(address - 2, unit, 2)) return "";
  const std::uint32_t before = quorvane::LoadU16(unit);
  if (before == 0) return "";
  const std::string shown =
      before >= 0x20 && before < 0x7F ? std::string(" '") + static_cast<char>(before) + "'" : "";
  return WithNumber("U+%04llX", before) + shown +
         " right before it, not a NUL unit: a buffer does not start inside running text "
         "(unless it follows a variable that does not end in zeros)";
}

RecordVerdict CheckRecord(HostView& view, std::uint32_t record, std::int32_t type) {
  RecordVerdict verdict;
  const quorvane::RecordLayout* layout = quorvane::FindLayout(type);
  if (layout == nullptr) return verdict;
  std::vector<std::uint8_t> run;
  for (int i = 0; i < layout->count; ++i) {
    const FieldSpec& field = layout->fields[i];
    const std::uint32_t at = record + field.offset;
    const int width = quorvane::FieldWidth(field.kind);
    std::string what;
    if (width > 0) {
      std::uint8_t b[4] = {};
      if (!view.Read(at, b, static_cast<std::uint32_t>(width))) {
        verdict.readable = false;
        return verdict;
      }
      const std::uint32_t raw = quorvane::LoadU32(b);
      what = CheckNumber(type, field, raw);
      verdict.evidence = verdict.evidence || raw != 0;
    } else {
      const bool wide = field.kind == FieldKind::kWideText;
      const std::uint32_t unit = wide ? 2 : 1;
      const std::uint32_t bound =
          quorvane::TextBound(*layout, i, wide ? kWideTextBound : kLastStringBound);
      bool terminated = false;
      if (!ReadRun(view, at, unit, bound, &run, &terminated)) {
        verdict.readable = false;
        return verdict;
      }
      if (!terminated) {
        what = WithNumber("no terminator within %lld bytes", bound);
      } else {
        const auto length = static_cast<std::uint32_t>(run.size());
        verdict.evidence = verdict.evidence || length > 0;
        what = wide ? CheckWideUnits(run.data(), length / 2) : CheckStringBytes(run.data(), length);
      }
    }
    if (!what.empty()) verdict.issues.push_back({field.name, field.offset, what});
  }
  return verdict;
}

}  // namespace finder
