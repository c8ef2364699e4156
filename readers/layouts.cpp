#include "readers/layouts.h"

namespace quorvane {

namespace {

using K = FieldKind;

const FieldSpec kFileAt0[] = {{0, K::kString, "file"}};
const FieldSpec kFileAt4[] = {{4, K::kString, "file"}};
const FieldSpec kText[] = {
    {0, K::kU8, "type"},        {1, K::kU8, "autoadjust"},
    {2, K::kU8, "soft"},        {3, K::kU8, "monospace"},
    {4, K::kU8, "align"},       {5, K::kI8, "spacing_x"},
    {6, K::kI8, "spacing_y"},   {7, K::kU8, "precision"},
    {8, K::kColour, "color"},   {12, K::kColour, "color2"},
    {16, K::kString, "font"},   {48, K::kWideText, "text"},
};
const FieldSpec kFigure[] = {
    {0, K::kU32, "type"}, {4, K::kColour, "color"}, {8, K::kString, "name"}};
const FieldSpec kVideo[] = {
    {0, K::kString, "file"}, {280, K::kI16, "type"},  {282, K::kI16, "mode"},
    {284, K::kI16, "res_w"}, {286, K::kI16, "res_h"}, {288, K::kI16, "pad_w"},
    {290, K::kI16, "pad_h"}, {292, K::kColour, "color"},
    {296, K::kI32, "sample_n"}, {300, K::kU8, "mirror"},
};
const FieldSpec kScene[] = {{0, K::kI32, "scene_id"}};
const FieldSpec kBlend[] = {{0, K::kI32, "blend"}};
const FieldSpec kFilter[] = {
    {0, K::kI16, "type"}, {2, K::kI16, "filter"},
    {4, K::kString, "name"}, {260, K::kString, "param"}};

template <int N>
constexpr RecordLayout Layout(const FieldSpec (&fields)[N]) {
  return RecordLayout{fields, static_cast<std::uint8_t>(N)};
}

const RecordLayout kFileAt0Layout = Layout(kFileAt0);
const RecordLayout kFileAt4Layout = Layout(kFileAt4);
const RecordLayout kTextLayout = Layout(kText);
const RecordLayout kFigureLayout = Layout(kFigure);
const RecordLayout kEmptyLayout = {nullptr, 0};
const RecordLayout kVideoLayout = Layout(kVideo);
const RecordLayout kSceneLayout = Layout(kScene);
const RecordLayout kBlendLayout = Layout(kBlend);
const RecordLayout kFilterLayout = Layout(kFilter);

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

int FieldWidth(FieldKind kind) {
  switch (kind) {
    case K::kU8:
    case K::kI8:
      return 1;
    case K::kI16:
      return 2;
    case K::kI32:
    case K::kU32:
    case K::kColour:
      return 4;
    case K::kString:
    case K::kWideText:
      break;
  }
  return 0;
}

std::uint32_t TextBound(const RecordLayout& layout, int i, std::uint32_t cap) {
  if (i + 1 < layout.count) {
    return static_cast<std::uint32_t>(layout.fields[i + 1].offset - layout.fields[i].offset);
  }
  return cap;
}

}  // namespace quorvane
