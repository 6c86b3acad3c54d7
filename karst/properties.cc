#include "properties.h"

#include <algorithm>
#include <ostream>

// ---------------------------------------------------------------- K_fct

K_fct::K_fct(const std::string& name, EqFct* owner)
    : name_(name), owner_(owner) {}

K_fct::~K_fct() = default;

void K_fct::get(EqAdr*, EqData*, EqData* dd, EqFct*) {
  if (dd != nullptr) dd->clear();
}
void K_fct::set(EqAdr*, EqData*, EqData*, EqFct*) {}
void K_fct::names(EqAdr*, EqData* dd) {
  if (dd != nullptr) dd->set(0, 0.0f, 0.0f, 0, name_, 0);
}
void K_fct::get_multi(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc) {
  get(adr, sd, dd, loc);
}
void K_fct::conf(Config*) {}
void K_fct::read() {}
void K_fct::read_from_conf(const std::string&) {}
void K_fct::write(std::ostream& os) { os << name_ << '\n'; }
void K_fct::auto_init() {}
const char* K_fct::comment() { return ""; }
int K_fct::data_type() const { return karst::kTypeNone; }
int K_fct::data_type() { return karst::kTypeNone; }
int K_fct::daq_type() { return data_type(); }
void K_fct::conf_insert(const std::string&, const std::string&) {}
void K_fct::conf_process() {}
void K_fct::callback_(int) {}
int K_fct::permission() { return permission_; }
void K_fct::permission(int p) { permission_ = p; }
int K_fct::error() { return error_; }
void K_fct::error(int code) { error_ = code; }
int K_fct::severity() { return severity_; }
void K_fct::severity(int s) { severity_ = s; }
void K_fct::set_mode(int mode) { mode_ = mode; }
void K_fct::send(EqData*) {}

// ----------------------------------------------------------------
// K_mdfloat_array

K_mdfloat_array::K_mdfloat_array(const std::string& name, int d1, int d0,
                                 EqFct* owner, unsigned /*flags*/)
    : K_fct(name, owner) {
  extent_[0] = std::max(d1, 0);
  extent_[1] = std::max(d0, 0);
  element_count_ = static_cast<std::int64_t>(extent_[0]) * extent_[1];
  data_.set_float_array(
      std::vector<float>(static_cast<size_t>(element_count_)));
}

K_mdfloat_array::~K_mdfloat_array() = default;

void K_mdfloat_array::get(EqAdr*, EqData*, EqData* dd, EqFct*) {
  get_value(dd);
}

void K_mdfloat_array::set(EqAdr*, EqData* sd, EqData*, EqFct*) {
  if (sd == nullptr ||
      karst::element_kind_of(sd->type()) == karst::element_kind::kNone) {
    return;
  }
  const size_t n = std::min(static_cast<size_t>(std::max(sd->length(), 0)),
                            data_.float_count());
  float* const elements = data_.float_data();
  for (size_t k = 0; k < n; ++k) {
    elements[k] = static_cast<float>(sd->get_double(static_cast<int>(k)));
  }
}

int K_mdfloat_array::data_type() const { return karst::kTypeMdFloatArray; }
int K_mdfloat_array::data_type() { return karst::kTypeMdFloatArray; }

void K_mdfloat_array::get_value(EqData* dd) {
  if (dd != nullptr) dd->copy_from(&data_);
}

// The further indices address nothing in a two-dimensional array. The test
// against the number of floats held also keeps a derived class that replaced
// data_ from reading or writing outside it.
float K_mdfloat_array::value(int i, int j, int, int, int, int) const {
  const size_t at = element_index(i, j);
  return at < data_.float_count() ? data_.float_data()[at] : 0.0f;
}

void K_mdfloat_array::set_value(float v, int i, int j, int, int, int, int) {
  const size_t at = element_index(i, j);
  if (at < data_.float_count()) data_.float_data()[at] = v;
}

// ---------------------------------------------------------------- K_ustr

K_ustr::K_ustr(const std::string& name, EqFct* owner) : K_fct(name, owner) {}
K_ustr::~K_ustr() = default;

void K_ustr::get(EqAdr*, EqData*, EqData* dd, EqFct*) {
  if (dd == nullptr) return;
  dd->clear();
  dd->set(value_, 0);
}

void K_ustr::set(EqAdr*, EqData* sd, EqData*, EqFct*) {
  if (sd == nullptr) return;
  if (const USTR* u = sd->get_ustr(0)) value_ = *u;
}

int K_ustr::data_type() const { return karst::kTypeUstr; }
int K_ustr::data_type() { return karst::kTypeUstr; }

void K_ustr::set_value(const USTR* u) {
  if (u != nullptr) value_ = *u;
}
void K_ustr::set_value(int i1, float f1, float f2, time_t tm,
                       const std::string& s) {
  value_.i1_data = i1;
  value_.f1_data = f1;
  value_.f2_data = f2;
  value_.tm = tm;
  value_.str_data = s;
}
void K_ustr::set_value(int i1) { value_.i1_data = i1; }
void K_ustr::set_value(long tm) { value_.tm = static_cast<time_t>(tm); }
void K_ustr::set_f1(float f) { value_.f1_data = f; }
void K_ustr::set_f2(float f) { value_.f2_data = f; }
void K_ustr::set_value(const std::string& s) { value_.str_data = s; }
int K_ustr::get_int() const { return value_.i1_data; }
float K_ustr::get_f1() const { return value_.f1_data; }
float K_ustr::get_f2() const { return value_.f2_data; }
time_t K_ustr::get_time() const { return value_.tm; }
std::string K_ustr::get_string() const { return value_.str_data; }
const USTR& K_ustr::value() const { return value_; }

// ---------------------------------------------------------------- K_spectrum

K_spectrum::K_spectrum(const char* name, int max_length, EqFct* owner)
    : K_fct(name, owner), max_length_(std::max(max_length, 0)) {}

K_spectrum::~K_spectrum() = default;

void K_spectrum::get(EqAdr*, EqData*, EqData* dd, EqFct*) {
  if (dd == nullptr) return;
  dd->set_float_array(points_);
}

int K_spectrum::data_type() const { return karst::kTypeFloatArray; }
int K_spectrum::data_type() { return karst::kTypeFloatArray; }

void K_spectrum::set_spectrum_length(int n) {
  points_.resize(static_cast<size_t>(std::clamp(n, 0, max_length_)), 0.0f);
}

void K_spectrum::fill_spectrum(int index, float value) {
  if (index >= 0 && index < spectrum_length()) {
    points_[static_cast<size_t>(index)] = value;
  }
}

float K_spectrum::spectrum_value(int index) const {
  if (index < 0 || index >= spectrum_length()) return 0.0f;
  return points_[static_cast<size_t>(index)];
}
