// Locations, addresses and the property base classes of the framework.
#ifndef KARST_PROPERTIES_H
#define KARST_PROPERTIES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "eq_data.h"

// Configuration record handed to properties at start-up; passed through only.
class Config {};

// Address of a remote request; passed through only.
class EqAdr {};

// A location of a server: the owner of its properties.
class EqFct {
 public:
  EqFct() = default;
  explicit EqFct(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// Base of every property: its name, owner, error state and the virtual
// operations through which the framework serves remote requests.
class K_fct {
 public:
  K_fct(const std::string& name, EqFct* owner);
  K_fct(const K_fct&) = delete;
  K_fct& operator=(const K_fct&) = delete;
  virtual ~K_fct();

  // Remote read and write: `sd` carries the request's data, `dd` the reply.
  virtual void get(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc);
  virtual void set(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc);
  virtual void names(EqAdr* adr, EqData* dd);
  virtual void get_multi(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc);
  virtual void conf(Config* cfg);
  virtual void read();
  virtual void read_from_conf(const std::string& text);
  virtual void write(std::ostream& os);
  virtual void auto_init();
  virtual const char* comment();
  virtual int data_type() const;
  virtual int data_type();
  virtual int daq_type();
  virtual void conf_insert(const std::string& key, const std::string& value);
  virtual void conf_process();
  virtual void callback_(int reason);
  virtual int permission();
  virtual void permission(int p);
  virtual int error();
  virtual void error(int code);
  virtual int severity();
  virtual void severity(int s);
  virtual void set_mode(int mode);
  virtual void send(EqData* dd);

  const std::string& name() const { return name_; }
  EqFct* owner() const { return owner_; }

 private:
  std::string name_;
  EqFct* owner_;
  int permission_ = 0;
  int error_ = 0;
  int severity_ = 0;
  int mode_ = 0;
};

// A float array property of up to six dimensions. The stand-in addresses the
// leading two: element (i, j) is row i of d1 rows, column j of d0 columns;
// the further indices are -1.
class K_mdfloat_array : public K_fct {
 public:
  K_mdfloat_array(const std::string& name, int d1, int d0, EqFct* owner,
                  unsigned flags);
  ~K_mdfloat_array() override;

  // Remote read: the whole array, row by row. Remote write: as many values
  // as the request carries, row by row, the rest unchanged.
  void get(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc) override;
  void set(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc) override;
  int data_type() const override;
  int data_type() override;

  // Copies the whole array into dd.
  virtual void get_value(EqData* dd);
  // The element store: a bounds check and one load or store of a float. A
  // read outside the shape returns 0; a write outside it is ignored.
  virtual float value(int i, int j, int k, int l, int m, int n) const;
  virtual void set_value(float v, int i, int j, int k, int l, int m, int n);

  int dimension_count() const { return dim_count_; }
  void set_dimension_count(int n) { dim_count_ = n; }

 protected:
  // What makes up the array's value and shape; a derived matrix copies these
  // when it is assigned, and nothing of the property state in K_fct.
  EqData data_;                     // the elements as floats, row by row
  int dim_count_ = 2;               // number of dimensions
  std::array<int, 6> extent_{};     // extent of each dimension
  std::int64_t element_count_ = 0;  // product of the used extents

 private:
  // Flat position of row i, column j; SIZE_MAX outside the shape, so that
  // one comparison with the number of floats held rejects both.
  std::size_t element_index(int i, int j) const {
    const unsigned row = static_cast<unsigned>(i);
    const unsigned col = static_cast<unsigned>(j);
    if (row >= static_cast<unsigned>(extent_[0]) ||
        col >= static_cast<unsigned>(extent_[1])) {
      return SIZE_MAX;
    }
    return static_cast<std::size_t>(row) * static_cast<unsigned>(extent_[1]) +
           col;
  }
};

// A property that holds one string record.
class K_ustr : public K_fct {
 public:
  K_ustr(const std::string& name, EqFct* owner);
  ~K_ustr() override;

  void get(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc) override;
  void set(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc) override;
  int data_type() const override;
  int data_type() override;

  virtual void set_value(const USTR* u);
  virtual void set_value(int i1, float f1, float f2, time_t tm,
                         const std::string& s);
  virtual void set_value(int i1);
  virtual void set_value(long tm);
  virtual void set_f1(float f);
  virtual void set_f2(float f);
  virtual void set_value(const std::string& s);
  virtual int get_int() const;
  virtual float get_f1() const;
  virtual float get_f2() const;
  virtual time_t get_time() const;
  virtual std::string get_string() const;
  virtual const USTR& value() const;

 private:
  USTR value_;
};

// A spectrum property: up to max_length float points.
class K_spectrum : public K_fct {
 public:
  K_spectrum(const char* name, int max_length, EqFct* owner);
  ~K_spectrum() override;

  void get(EqAdr* adr, EqData* sd, EqData* dd, EqFct* loc) override;
  int data_type() const override;
  int data_type() override;

  // Sets the number of points, clamped to 0 ... max_length; points kept keep
  // their values, new ones are 0.
  virtual void set_spectrum_length(int n);
  // Ignored outside 0 ... spectrum_length()-1.
  void fill_spectrum(int index, float value);

  int spectrum_length() const { return static_cast<int>(points_.size()); }
  int max_length() const { return max_length_; }
  // 0 outside 0 ... spectrum_length()-1.
  float spectrum_value(int index) const;

 private:
  int max_length_;
  std::vector<float> points_;
};

#endif  // KARST_PROPERTIES_H
