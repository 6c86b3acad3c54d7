#include "eq_data.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <utility>

namespace karst {

element_kind element_kind_of(int code) {
  switch (code) {
    case 1:
    case 4:
    case 26:
    case 28:
    case 29:
    case 105:
    case 111:
    case 114:
    case 117:
    case 118:
      return element_kind::kInt32;
    case kTypeFloat:
    case kTypeFloatArray:
      return element_kind::kFloat;
    case kTypeDouble:
    case kTypeDoubleArray:
      return element_kind::kDouble;
    case kTypeShort:
    case kTypeShortArray:
      return element_kind::kInt16;
    case kTypeUShort:
    case kTypeUShortArray:
      return element_kind::kUInt16;
    default:
      return element_kind::kNone;
  }
}

bool is_array_code(int code) { return code >= 100; }

}  // namespace karst

namespace {

using karst::element_kind;

// Truncates toward zero; NaN and values outside int's range give INT_MIN,
// which is what the processor's own conversion yields, without undefined
// behaviour.
int truncate_to_int(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return INT_MIN;
  return static_cast<int>(v);
}

// Integer conversion of a double for storage: in range as static_cast,
// otherwise wrapped like a two's-complement narrowing of the 64-bit value.
std::int64_t to_int64(double v) {
  if (!(v > -9223372036854775808.0 && v < 9223372036854775808.0)) {
    return INT64_MIN;
  }
  return static_cast<std::int64_t>(v);
}

double convert(element_kind kind, double v) {
  switch (kind) {
    case element_kind::kInt32:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(to_int64(v)));
    case element_kind::kFloat:
      return static_cast<float>(v);
    case element_kind::kDouble:
      return v;
    case element_kind::kInt16:
      return static_cast<std::int16_t>(static_cast<std::uint16_t>(to_int64(v)));
    case element_kind::kUInt16:
      return static_cast<std::uint16_t>(to_int64(v));
    case element_kind::kNone:
      break;
  }
  return 0.0;
}

}  // namespace

int EqData::length() const {
  if (type_ == karst::kTypeUstr) return static_cast<int>(records_.size());
  return static_cast<int>(floats_.size() + numbers_.size());  // one is empty
}

void EqData::clear() {
  type_ = karst::kTypeNone;
  records_.clear();
  floats_.clear();
  numbers_.clear();
}

void EqData::set(int i1, float f1, float f2, time_t tm, const std::string& s,
                 int index) {
  USTR record;
  record.i1_data = i1;
  record.f1_data = f1;
  record.f2_data = f2;
  record.tm = tm;
  record.str_data = s;
  set(record, index);
}

void EqData::set(const USTR& record, int index) {
  if (type_ != karst::kTypeUstr) {
    clear();
    type_ = karst::kTypeUstr;
  }
  if (index < 0 || index > length()) return;
  if (index == length()) {
    records_.push_back(record);
  } else {
    records_[static_cast<size_t>(index)] = record;
  }
}

USTR* EqData::get_ustr(int index) {
  if (type_ != karst::kTypeUstr || index < 0 || index >= length()) {
    return nullptr;
  }
  return &records_[static_cast<size_t>(index)];
}

const USTR* EqData::get_ustr(int index) const {
  return const_cast<EqData*>(this)->get_ustr(index);
}

void EqData::copy_from(const EqData* src) {
  if (src == nullptr || src == this) return;
  type_ = src->type_;
  records_ = src->records_;
  floats_ = src->floats_;
  numbers_ = src->numbers_;
}

void EqData::set(int v) { set_scalar(karst::kTypeInt, v); }
void EqData::set(float v) { set_scalar(karst::kTypeFloat, v); }
void EqData::set(double v) { set_scalar(karst::kTypeDouble, v); }

void EqData::set_scalar(int code, double v) {
  set_array(code, std::vector<double>{v});
}

void EqData::set_array(int code, const std::vector<double>& v) {
  clear();
  type_ = code;
  const element_kind kind = karst::element_kind_of(code);
  if (kind == element_kind::kNone) return;
  if (kind == element_kind::kFloat) {
    floats_.reserve(v.size());
    for (double x : v) floats_.push_back(static_cast<float>(x));
    return;
  }
  numbers_.reserve(v.size());
  for (double x : v) numbers_.push_back(convert(kind, x));
}

void EqData::set_float_array(std::vector<float> v) {
  clear();
  type_ = karst::kTypeFloatArray;
  floats_ = std::move(v);
}

double EqData::get_double(int index) const {
  if (index < 0) return 0.0;
  const size_t k = static_cast<size_t>(index);
  if (k < floats_.size()) return floats_[k];
  return k < numbers_.size() ? numbers_[k] : 0.0;
}

void EqData::set_element(int index, double v) {
  if (index < 0) return;
  const size_t k = static_cast<size_t>(index);
  if (k < floats_.size()) {
    floats_[k] = static_cast<float>(v);
  } else if (k < numbers_.size()) {
    numbers_[k] = convert(karst::element_kind_of(type_), v);
  }
}

int EqData::get_int() const {
  if (floats_.empty() && numbers_.empty()) return 0;
  const double first = floats_.empty() ? numbers_.front() : floats_.front();
  switch (karst::element_kind_of(type_)) {
    case element_kind::kFloat:
    case element_kind::kDouble:
      return truncate_to_int(first);
    case element_kind::kInt32:
    case element_kind::kInt16:
    case element_kind::kUInt16:
      // Stored exactly in the element type's range, so this is exact.
      return static_cast<int>(first);
    case element_kind::kNone:
      break;
  }
  return 0;
}
