#include "readers/layouts.h"

namespace quorvane {

namespace {

using K = FieldKind;

constexpr FieldSpec kFileAt0[] = {{0, K::kString, "file"}};
constexpr FieldSpec kFileAt4[] = {{4, K::kString, "file"}};
constexpr FieldSpec kText[] = {
    {0, K::kU8, "type"},        {1, K::kU8, "autoadjust"},
    {2, K::kU8, "soft"},        {3, K::kU8, "monospace"},
    {4, K::kU8, "align"},       {5, K::kI8, "spacing_x"},
    {6, K::kI8, "spacing_y"},   {7, K::kU8, "precision"},
    {8, K::kColour, "color"},   {12, K::kColour, "color2"},
    {16, K::kString, "font"},   {48, K::kWideText, "text"},
};
constexpr FieldSpec kFigure[] = {
    {0, K::kU32, "type"}, {4, K::kColour, "color"}, {8, K::kString, "name"}};
constexpr FieldSpec kVideo[] = {
    {0, K::kString, "file"}, {280, K::kI16, "type"},  {282, K::kI16, "mode"},
    {284, K::kI16, "res_w"}, {286, K::kI16, "res_h"}, {288, K::kI16, "pad_w"},
    {290, K::kI16, "pad_h"}, {292, K::kColour, "color"},
    {296, K::kI32, "sample_n"}, {300, K::kU8, "mirror"},
};
constexpr FieldSpec kScene[] = {{0, K::kI32, "scene_id"}};
constexpr FieldSpec kBlend[] = {{0, K::kI32, "blend"}};
constexpr FieldSpec kFilter[] = {
    {0, K::kI16, "type"}, {2, K::kI16, "filter"},
    {4, K::kString, "name"}, {260, K::kString, "param"}};

// Fills in the span that one copy of the record takes, from the fields.
template <int N>
constexpr RecordLayout Layout(const FieldSpec (&fields)[N]) {
  RecordLayout layout{fields, static_cast<std::uint8_t>(N), 0, 0, false};
  std::uint32_t begin = fields[0].offset, end = 0;
  for (int i = 0; i < N; ++i) {
    const FieldSpec& f = fields[i];
    if (f.offset < begin) begin = f.offset;
    std::uint32_t taken = static_cast<std::uint32_t>(FieldWidth(f.kind));
    if (taken == 0) {
      taken = i + 1 < N ? static_cast<std::uint32_t>(fields[i + 1].offset - f.offset)
                        : TextUnit(f.kind);
    }
    if (f.offset + taken > end) end = f.offset + taken;
  }
  layout.copy_begin = static_cast<std::uint16_t>(begin);
  layout.copy_end = static_cast<std::uint16_t>(end);
  layout.open_end = TextUnit(fields[N - 1].kind) != 0;
  return layout;
}

// What the readers count on: fields by ascending offset, strings that end
// where the next field starts, wide texts at an even distance from the start
// of the copy (so the copy reads as UTF-16 in place), and a span that is
// shorter than a page.
template <int N>
constexpr bool WellFormed(const FieldSpec (&fields)[N]) {
  const RecordLayout layout = Layout(fields);
  for (int i = 0; i < N; ++i) {
    const std::uint32_t end = fields[i].offset + static_cast<std::uint32_t>(FieldWidth(fields[i].kind));
    if (i + 1 < N && fields[i + 1].offset < (TextUnit(fields[i].kind) != 0 ? fields[i].offset + 1 : end)) {
      return false;
    }
    if (fields[i].kind == K::kWideText && (fields[i].offset - layout.copy_begin) % 2 != 0) return false;
  }
  return static_cast<std::uint32_t>(layout.copy_end - layout.copy_begin) <= kMaxCopySpan;
}

static_assert(WellFormed(kFileAt0) && WellFormed(kFileAt4) && WellFormed(kText) &&
                  WellFormed(kFigure) && WellFormed(kVideo) && WellFormed(kScene) &&
                  WellFormed(kBlend) && WellFormed(kFilter),
              "a record layout breaks what the readers count on");

constexpr RecordLayout kFileAt0Layout = Layout(kFileAt0);
constexpr RecordLayout kFileAt4Layout = Layout(kFileAt4);
constexpr RecordLayout kTextLayout = Layout(kText);
constexpr RecordLayout kFigureLayout = Layout(kFigure);
constexpr RecordLayout kEmptyLayout = {nullptr, 0, 0, 0, false};
constexpr RecordLayout kVideoLayout = Layout(kVideo);
constexpr RecordLayout kSceneLayout = Layout(kScene);
constexpr RecordLayout kBlendLayout = Layout(kBlend);
constexpr RecordLayout kFilterLayout = Layout(kFilter);

static_assert(kTextLayout.copy_begin == 0 && kTextLayout.copy_end == 50 && kTextLayout.open_end,
              "layout 3: numbers, font and the first unit of the text");
static_assert(kVideoLayout.copy_end == 301 && !kVideoLayout.open_end, "layout 6");
static_assert(kFilterLayout.copy_end == 261 && kFilterLayout.open_end, "layout 80");
static_assert(kFileAt4Layout.copy_begin == 4 && kFileAt4Layout.copy_end == 5, "layout 1");

// Indexed by type 0 to 13; type 80 stands apart.
const RecordLayout* const kLowLayouts[] = {
    &kFileAt0Layout, &kFileAt4Layout, &kFileAt0Layout, &kTextLayout,
    &kFigureLayout,  &kEmptyLayout,   &kVideoLayout,   &kSceneLayout,
    &kEmptyLayout,   &kEmptyLayout,   &kBlendLayout,   &kBlendLayout,
    &kEmptyLayout,   &kBlendLayout,
};
constexpr std::int32_t kLowLayoutCount =
    static_cast<std::int32_t>(sizeof kLowLayouts / sizeof kLowLayouts[0]);
constexpr std::int32_t kFilterType = 80;

}  // namespace

const std::int32_t kTypesWithLayout[] = {0, 1, 2,  3,  4,  5,  6, 7,
                                         8, 9, 10, 11, 12, 13, 80};
const int kTypesWithLayoutCount =
    static_cast<int>(sizeof kTypesWithLayout / sizeof kTypesWithLayout[0]);

const RecordLayout* FindLayout(std::int32_t type_index) {
  if (type_index >= 0 && type_index < kLowLayoutCount) return kLowLayouts[type_index];
  if (type_index == kFilterType) return &kFilterLayout;
  return nullptr;
}

std::uint32_t TextBound(const RecordLayout& layout, int i, std::uint32_t cap) {
  if (i + 1 < layout.count) {
    return static_cast<std::uint32_t>(layout.fields[i + 1].offset - layout.fields[i].offset);
  }
  return cap;
}

}  // namespace quorvane
