// The framework's typed data container and its string record.
#ifndef KARST_EQ_DATA_H
#define KARST_EQ_DATA_H

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

// The framework's string record: an int, two floats, a time and a text.
struct USTR {
  int i1_data = 0;
  float f1_data = 0.0f;
  float f2_data = 0.0f;
  time_t tm = 0;
  std::string str_data;
};

namespace karst {

// Data-type codes of the framework, as plain ints. 0 is "no data".
enum data_type_code : int {
  kTypeNone = 0,
  kTypeInt = 1,
  kTypeFloat = 2,
  kTypeDouble = 6,
  kTypeShort = 25,
  kTypeUShort = 27,
  kTypeFloatArray = 100,
  kTypeUstr = 103,
  kTypeIntArray = 105,
  kTypeMdFloatArray = 109,
  kTypeDoubleArray = 110,
  kTypeShortArray = 113,
  kTypeUShortArray = 116,
};

// Element type that a code names; kNone for codes that carry no number.
enum class element_kind { kNone, kInt32, kFloat, kDouble, kInt16, kUInt16 };
element_kind element_kind_of(int code);
bool is_array_code(int code);

}  // namespace karst

// Typed content: either nothing (type 0), a list of USTR records (type 103),
// or a scalar or array of numbers whose element type the type code names.
// Floats (codes 2 and 100) are kept as floats, four bytes each and contiguous,
// so that a float array property is read and written in place; other numbers
// as doubles holding exactly the value of their element type.
class EqData {
 public:
  EqData() = default;

  int type() const { return type_; }
  int length() const;

  // Empties the container: type 0, length 0.
  void clear();

  // USTR records. Writing at length() appends; writing at a negative index
  // or beyond length() is ignored. Writing a record into content of another
  // type replaces that content by an empty record list first.
  void set(int i1, float f1, float f2, time_t tm, const std::string& s,
           int index);
  void set(const USTR& record, int index);
  // nullptr when index is outside 0 ... length()-1 or the content holds no
  // records.
  USTR* get_ustr(int index);
  const USTR* get_ustr(int index) const;

  // Replaces all content by a copy of `src` (nothing happens for nullptr or
  // for the object itself).
  void copy_from(const EqData* src);

  // Scalar request setters: int (code 1), float (code 2), double (code 6).
  void set(int v);
  void set(float v);
  void set(double v);
  // A scalar or array of the element type of `code`; for a code that names
  // no number only the code is kept. Values are converted to the element
  // type as static_cast would, without its undefined behaviour for an
  // integer type: the value is truncated toward zero to 64 bits and its low
  // bits kept, so that a value beyond the type's range wraps around, and a
  // NaN, or a value beyond the 64-bit range, becomes 0.
  void set_scalar(int code, double v);
  void set_array(int code, const std::vector<double>& v);
  // A float array (code 100) that takes over `v`: nothing converted, nothing
  // copied.
  void set_float_array(std::vector<float> v);

  // Element `index` of numeric content widened to double; 0 outside it.
  double get_double(int index) const;
  // Stores `v`, converted to the element type, at `index` of numeric
  // content; ignored outside 0 ... length()-1.
  void set_element(int index, double v);

  // The content as an int: the index a remote request carries.
  //   1, 4, 26, 28, 29 scalar int32; 2 float, 6 double (truncated);
  //   25 int16, 27 uint16; 100 float array, 110 double array (first element,
  //   truncated); 105, 111, 114, 117, 118 int32 array; 113 int16 array;
  //   116 uint16 array; any other code gives 0. A NaN or out-of-range float
  //   or double gives INT_MIN.
  int get_int() const;

  // The elements of float content (codes 2 and 100) in place, for the element
  // store of a float array property; no elements (nullptr, 0) for any other
  // content.
  float* float_data() { return floats_.data(); }
  const float* float_data() const { return floats_.data(); }
  std::size_t float_count() const { return floats_.size(); }

 private:
  int type_ = karst::kTypeNone;
  std::vector<USTR> records_;
  // At most one of these holds elements: floats_ for codes 2 and 100,
  // numbers_ for the other numeric codes.
  std::vector<float> floats_;
  std::vector<double> numbers_;
};

#endif  // KARST_EQ_DATA_H
